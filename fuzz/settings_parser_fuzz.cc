// Fuzz target: the settings file reader, and the round trip that a rewrite
// makes: entries written back and read again are the same entries, as long
// as they hold no line feed (which the format cannot carry).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/settings_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<SettingsEntry> entries = parse_settings(text);
  std::string written;
  for (const SettingsEntry& entry : entries) {
    if (entry.name.find('=') != std::string::npos) __builtin_trap();
    if (entry.value.find('\n') != std::string::npos) __builtin_trap();
    if (entry.commented) written += '#';
    written += entry.name + "=" + entry.value + "\n";
  }
  std::vector<SettingsEntry> again = parse_settings(written);
  if (again.size() != entries.size()) __builtin_trap();
  for (std::size_t i = 0; i < again.size(); ++i) {
    // A value that starts with "\r" after an empty name is a line that
    // starts with "=", so it reads back; only a name that starts with "#" or
    // "!" changes meaning.
    const bool marker = !entries[i].name.empty() && (entries[i].name[0] == '#' || entries[i].name[0] == '!');
    if (!marker && !entries[i].commented && (again[i].name != entries[i].name || again[i].value != entries[i].value)) {
      __builtin_trap();
    }
  }
  return 0;
}
