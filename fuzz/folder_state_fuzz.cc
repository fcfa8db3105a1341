// Fuzz target: the reader of the record of searched folders. Whatever it
// takes for a record must read back the same after it is written again.
// No file system is touched.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "lib/folder_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<FolderState> state =
      parse_folder_state(std::string_view(reinterpret_cast<const char*>(data), size));
  if (state && parse_folder_state(format_folder_state(*state)) != state) __builtin_trap();
  return 0;
}
