// The commands that change the configuration and make the running streams
// follow. Names that cannot name a playlist and ports that are not ports are
// refused before anything is touched; a settings file that cannot be written
// is reported as failure.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/spawn.h"
#include "lib/stream_configs.h"
#include "lib/unique_fd.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

namespace {

constexpr std::string_view kFolderFieldPrefix = "f_dir";

// Runs "tarnwick ACTION TARGET" and waits for it. The target is one
// argument, whatever it holds. The controller's standard output is not the
// response: it gets /dev/null, and its messages go to our standard error.
void RunController(const char* action, std::string_view target) {
  run_program({"tarnwick", action, std::string(target)}, false);
}

// A port is 1 to 5 ASCII digits with a value from 1 to 65535.
bool IsValidPort(std::string_view port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
  int value = leading_int(port);
  return value >= 1 && value <= 65535;
}

// The numbers N, in ascending order, of the fields "f_dirN" that the request
// carries with N below `total`. Fields that were not sent would add only
// empty lines, so a huge f_total costs no more than the fields sent.
std::vector<long> FolderFieldNumbers(int total) {
  std::vector<long> numbers;
  for (const std::string& name : cgiFormEntries()) {
    if (!name.starts_with(kFolderFieldPrefix)) continue;
    std::string_view digits = std::string_view(name).substr(kFolderFieldPrefix.size());
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string_view::npos ||
        (digits.size() > 1 && digits.front() == '0')) {
      continue;  // not a name "f_dir%d" forms
    }
    long number = std::strtol(std::string(digits).c_str(), nullptr, 10);
    if (number < total) numbers.push_back(number);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// Writes the chosen folders to a fresh list file in /tmp, one per line, and
// expands it into the playlist file of `name`. The list file is written
// through the descriptor mkstemp returns: opening its name again would follow
// whatever another local user put there meanwhile.
void BuildPlaylistFromFields(const std::string& name, int total) {
  char list_name[] = "/tmp/tmp-ice-playlist.XXXXXX";
  UniqueFd fd(::mkostemp(list_name, O_CLOEXEC));
  if (!fd.valid()) return;
  std::unique_ptr<FILE, FileCloser> list(::fdopen(fd.get(), "w+"));
  if (list) {
    fd.release();
    for (long number : FolderFieldNumbers(total)) {
      std::string folder = cgiFormStringNoNewlines(std::string(kFolderFieldPrefix) + std::to_string(number),
                                                   kFolderFieldSize);
      std::fprintf(list.get(), "%s\n", folder.c_str());
    }
    build_playlist_file(name, list.get());
  }
  ::unlink(list_name);
}

// Enable and disable: store "enabled" for the named playlist, then have the
// controller start or stop its source client.
void SetEnabledAndRun(const char* enabled, const char* action) {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  if (!is_valid_playlist_name(name) || set_playlist_enabled(name, enabled) != 0) {
    write_config_response(0);
    return;
  }
  RunController(action, name);
  write_config_response(1);
}

}  // namespace

void handle_set() {
  std::string port = cgiFormStringNoNewlines("f_port", kFieldSize);
  if (!IsValidPort(port) || set_server_port(port) != 0) {
    write_config_response(0);
    return;
  }
  build_server_config(leading_int(port));
  RunController("stop", "all");
  rewrite_source_ports(port);
  RunController("start", "all");
  write_config_response(1);
}

void handle_playlist_new() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::string genre = cgiFormStringNoNewlines("f_genre", kFieldSize);
  std::string desc = cgiFormStringNoNewlines("f_desc", kFieldSize);
  std::string rand = cgiFormStringNoNewlines("f_randomized", kRandomizedFieldSize);
  std::string total = cgiFormStringNoNewlines("f_total", kTotalFieldSize);
  begin_config_response();
  if (!is_valid_playlist_name(name) || write_playlist_settings(name, genre, desc, rand, "0") != 0) {
    write_res(0);
    end_config_response();
    return;
  }
  build_source_config(name, genre, desc, rand);
  // The page learns of success before the (possibly long) folder scan.
  write_res(1);
  BuildPlaylistFromFields(name, leading_int(total));
  end_config_response();
}

void handle_playlist_del() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  if (!is_valid_playlist_name(name)) {
    write_config_response(0);
    return;
  }
  RunController("stop", name);
  delete_playlist(name);
  write_config_response(1);
}

void handle_playlist_enable() { SetEnabledAndRun("1", "start"); }

void handle_playlist_disable() { SetEnabledAndRun("0", "stop"); }

void handle_playlist_renew() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::string genre = cgiFormStringNoNewlines("f_genre", kFieldSize);
  std::string desc = cgiFormStringNoNewlines("f_desc", kFieldSize);
  std::string rand = cgiFormStringNoNewlines("f_randomized", kRandomizedFieldSize);
  begin_config_response();
  // Renewing keeps "enabled" as it is: it never enables or disables.
  std::optional<std::string> enabled;
  if (is_valid_playlist_name(name)) enabled = get_playlist_enabled(name);
  if (!enabled || write_playlist_settings(name, genre, desc, rand, *enabled) != 0) {
    write_res(0);
    end_config_response();
    return;
  }
  build_source_config(name, genre, desc, rand);
  write_res(1);
  RunController("stop", name);
  RunController("start", name);
  end_config_response();
}
