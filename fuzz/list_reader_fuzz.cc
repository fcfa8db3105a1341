// Fuzz target: the list file reader and the judging of the paths it yields.
// No file system is touched: the paths are only judged, as the scan would.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "lib/config_dir.h"
#include "lib/playlist_builder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  FILE* list = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  if (list == nullptr) return 0;
  std::size_t total = 0;
  read_list_file(list, [&](const std::string& path) {
    if (path.empty() || path.back() == '\n') __builtin_trap();
    total += path.size();
    is_mp3_name(path);
    is_valid_playlist_name(path);
    is_valid_port(path);
  });
  std::fclose(list);
  if (total > size) __builtin_trap();
  return 0;
}
