// The commands that change the configuration and make the running streams
// follow. Names that cannot name a playlist and ports that are not ports are
// refused before anything is touched; a settings file that cannot be written
// is reported as failure.
//
// Each command holds the command lock for its whole run, so commands run one
// after another, and hands it to the controller runs it starts. Commands that
// must not be left half done when killed (set, new, del) record themselves in
// the journal first; the next command to take the lock finishes or undoes
// them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "lib/atomic_file.h"
#include "lib/command_lock.h"
#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/process_table.h"
#include "lib/spawn.h"
#include "lib/stream_configs.h"
#include "lib/unique_fd.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/response.h"

namespace {

constexpr std::string_view kFolderFieldPrefix = "f_dir";
// More folders than anyone picks by hand; each costs a whole scan.
constexpr std::size_t kMaxFolderFields = 1000;
// How long a port change waits for the server to listen on the new port.
constexpr std::chrono::seconds kServerStartDeadline{5};

// Runs "tarnwick ACTION TARGET" and waits for it. The target is one
// argument, whatever it holds. The controller's standard output is not the
// response: it gets /dev/null, and its messages go to our standard error. It
// inherits our command lock.
// Returns the controller's exit status (-1 when it could not be run).
int RunController(const CommandLock& lock, const char* action, std::string_view target) {
  return run_program({"tarnwick", action, std::string(target)}, false, lock.fd());
}

// Takes the command lock and finishes what a killed command left half done.
// Returns nothing when the lock cannot be had: the command must then change
// nothing.
std::optional<CommandLock> TakeCommandLock() {
  CommandLock lock = CommandLock::Acquire();
  if (lock.state() == CommandLock::State::kFailed) return std::nullopt;
  if (lock.held() && !lock.inherited()) {
    bool restart = complete_interrupted_command([&](std::string_view name) { RunController(lock, "stop", name); });
    if (restart) {
      RunController(lock, "stop", "all");
      RunController(lock, "start", "all");
      journal_end();
    }
  }
  return lock;
}

// The distinct values of the folder fields "f_dirN" that the request carries
// with N below `total`, in ascending order of N, at most kMaxFolderFields.
// Fields that were not sent would add only empty lines, so a huge f_total
// costs no more than the fields sent.
std::vector<std::string> ChosenFolders(int total) {
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
  std::vector<std::string> folders;
  std::set<std::string> seen;
  for (long number : numbers) {
    if (folders.size() == kMaxFolderFields) break;
    std::string folder =
        cgiFormStringNoNewlines(std::string(kFolderFieldPrefix) + std::to_string(number), kFolderFieldSize);
    // The same folder spelt another way ("a/", "a//", "a/.") is the same scan.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr), &std::free);
    if (seen.insert(resolved ? std::string(resolved.get()) : folder).second) folders.push_back(std::move(folder));
  }
  return folders;
}

// Writes the chosen folders to a fresh list file in /tmp, one per line, and
// expands it into the playlist file of `name`. The list file is unlinked as
// soon as it exists and used through its descriptor only: a kill leaves
// nothing behind, and no other local user can swap it.
//
// The chosen folders are also kept beside the playlist ("folders-NAME"), so
// that a rescan can rebuild it from them later.
void BuildPlaylistFromFields(const std::string& name, int total) {
  char list_name[] = "/tmp/tmp-ice-playlist.XXXXXX";
  UniqueFd fd(::mkostemp(list_name, O_CLOEXEC));
  if (!fd.valid()) return;
  ::unlink(list_name);
  std::unique_ptr<FILE, FileCloser> list(::fdopen(fd.get(), "w+"));
  if (!list) return;
  fd.release();
  std::string folders;
  for (const std::string& folder : ChosenFolders(total)) {
    if (folder.empty()) continue;
    folders += folder;
    folders += '\n';
  }
  std::fwrite(folders.data(), 1, folders.size(), list.get());
  if (build_playlist_file(name, list.get()) == 0) write_file_atomically(folders_path(name), folders);
}

// The server takes at most five sources: a sixth enabled playlist could not
// stream. One that is on already may be enabled again.
bool MayEnable(const std::string& name) {
  std::optional<std::string> enabled = get_playlist_enabled(name);
  if (!enabled) return false;
  return is_on(*enabled) || is_active_full() == 0;
}

// Enable and disable: store "enabled" for the named playlist, then have the
// controller start or stop its source client. A playlist without a playlist
// file is not there to enable or disable.
void SetEnabledAndRun(const char* enabled, const char* action) {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  if (!is_valid_playlist_name(name)) {
    write_config_response(0);
    return;
  }
  std::optional<CommandLock> lock = TakeCommandLock();
  if (!lock || !playlist_file_exists(name) || (std::string_view(enabled) == "1" && !MayEnable(name)) ||
      set_playlist_enabled(name, enabled) != 0) {
    write_config_response(0);
    return;
  }
  RunController(*lock, action, name);
  // A client cannot start without its config; the setting stays as the user
  // set it (a check or the next boot retries), but the page learns of it.
  struct stat config;
  bool startable = ::stat(source_config_path(name).c_str(), &config) == 0 && S_ISREG(config.st_mode);
  write_config_response(std::string_view(enabled) == "1" && !startable ? 0 : 1);
}

// Puts back the bytes icecast.xml had, or takes it away when there was none.
void RestoreServerConfig(const std::optional<std::string>& old_config) {
  if (old_config) {
    write_file_atomically(server_config_path(), *old_config);
  } else {
    ::unlink(server_config_path().c_str());
  }
}

}  // namespace

void handle_set() {
  std::string port = cgiFormStringNoNewlines("f_port", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_valid_port(port) || !(lock = TakeCommandLock()) || !journal_begin({"set", port})) {
    write_config_response(0);
    return;
  }
  // The server config is written first: when it cannot be replaced, nothing
  // else has changed yet and nothing is stopped.
  std::optional<std::string> old_config = read_regular_file(server_config_path(), 1 << 20);
  if (build_server_config(leading_int(port)) != 0) {
    journal_end();
    write_config_response(0);
    return;
  }
  if (set_server_port(port) != 0) {
    RestoreServerConfig(old_config);
    journal_end();
    write_config_response(0);
    return;
  }
  RunController(*lock, "stop", "all");
  rewrite_source_ports(port);
  RunController(*lock, "start", "all");
  journal_end();
  // The port is stored either way (a check or the next boot retries), but the
  // page learns when the server does not answer on it: another program may
  // hold it.
  write_config_response(server_listens(leading_int(port), kServerStartDeadline) ? 1 : 0);
}

void handle_playlist_new() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::string genre = cgiFormStringNoNewlines("f_genre", kFieldSize);
  std::string desc = cgiFormStringNoNewlines("f_desc", kFieldSize);
  std::string rand = cgiFormStringNoNewlines("f_randomized", kRandomizedFieldSize);
  std::string total = cgiFormStringNoNewlines("f_total", kTotalFieldSize);
  begin_config_response();
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock()) || !journal_begin({"new", name})) {
    write_res(0);
    end_config_response();
    return;
  }
  if (write_playlist_settings(name, genre, desc, rand, "0") != 0) {
    remove_unfinished_playlist(name);
    journal_end();
    write_res(0);
    end_config_response();
    return;
  }
  build_source_config(name, genre, desc, rand);
  // The page learns of success before the (possibly long) folder scan.
  write_res(1);
  std::fflush(cgiOut);
  BuildPlaylistFromFields(name, leading_int(total));
  // A playlist whose file could not be written leaves no settings behind.
  remove_unfinished_playlist(name);
  journal_end();
  end_config_response();
}

void handle_playlist_del() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock()) || !journal_begin({"del", name})) {
    write_config_response(0);
    return;
  }
  RunController(*lock, "stop", name);
  delete_playlist(name);
  journal_end();
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
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock()) || !playlist_file_exists(name) ||
      renew_playlist_settings(name, genre, desc, rand) != 0) {
    write_res(0);
    end_config_response();
    return;
  }
  build_source_config(name, genre, desc, rand);
  write_res(1);
  RunController(*lock, "stop", name);
  RunController(*lock, "start", name);
  end_config_response();
}

void handle_playlist_rescan() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock()) || !playlist_file_exists(name) ||
      !read_regular_file(folders_path(name), 1 << 20)) {
    write_config_response(0);
    return;
  }
  write_config_response(RunController(*lock, "rescan", name) == 0 ? 1 : 0);
}
