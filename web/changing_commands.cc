// The commands that change the configuration and make the running streams
// follow. Names that cannot name a playlist and ports that are not ports are
// refused before anything is touched; a settings file that cannot be written
// is reported as failure.
//
// Each command holds the command lock for its whole run, so commands run one
// after another, and hands it to the controller runs it starts. Commands that
// change more than one file (set, new, renew, del) go through lib/change.h:
// they complete, or answer 0 and leave a record that the next holder of the
// lock finishes. A command that finds such a record it cannot finish changes
// nothing and answers 0; only a delete of another playlist goes ahead, so
// that the owner can still free room.

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
#include "lib/change.h"
#include "lib/command_lock.h"
#include "lib/config_dir.h"
#include "lib/music_folders.h"
#include "lib/numbers.h"
#include "lib/process_table.h"
#include "lib/spawn.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/request_origin.h"
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

// The streams follow a change through controller runs.
class ControllerRuns final : public StreamControl {
 public:
  explicit ControllerRuns(const CommandLock& lock) : lock_(lock) {}
  void Stop(std::string_view target) override { RunController(lock_, "stop", target); }
  void Start(std::string_view target) override { RunController(lock_, "start", target); }

 private:
  const CommandLock& lock_;
};

// Takes the command lock and finishes the change a failed or killed command
// left recorded. Returns nothing when the lock cannot be had or that change
// cannot be finished: the command must then change nothing. A delete is let
// through all the same (remove_playlist judges whether it may go ahead).
std::optional<CommandLock> TakeCommandLock(bool deleting = false) {
  CommandLock lock = CommandLock::Acquire();
  if (lock.state() == CommandLock::State::kFailed || lock.state() == CommandLock::State::kBusy) return std::nullopt;
  if (lock.held() && !lock.inherited()) {
    ControllerRuns runs(lock);
    if (!finish_recorded_change(runs) && !deleting) return std::nullopt;
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
  const std::vector<std::string> addon = addon_folders();
  for (long number : numbers) {
    if (folders.size() == kMaxFolderFields) break;
    std::string folder =
        cgiFormStringNoNewlines(std::string(kFolderFieldPrefix) + std::to_string(number), kFolderFieldSize);
    // The same folder spelt another way ("a/", "a//", "a/.") is the same scan.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr), &std::free);
    // The config directory (it holds the password) and the add-on's other
    // folders are never part of a playlist: such a field is dropped, and is
    // not stored for rescans either.
    if (resolved && in_addon_folder(resolved.get(), addon)) continue;
    if (seen.insert(resolved ? std::string(resolved.get()) : folder).second) folders.push_back(std::move(folder));
  }
  return folders;
}

// The chosen folders, one per line: what the playlist is built from now and
// rescanned from later.
std::string FoldersText(int total) {
  std::string folders;
  for (const std::string& folder : ChosenFolders(total)) {
    if (folder.empty()) continue;
    folders += folder;
    folders += '\n';
  }
  return folders;
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

}  // namespace

void handle_set() {
  std::string port = cgiFormStringNoNewlines("f_port", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_valid_port(port) || !(lock = TakeCommandLock())) {
    write_config_response(0);
    return;
  }
  ControllerRuns runs(*lock);
  // The page learns when the server does not answer on the new port (another
  // program may hold it); the port stays stored, and a check or the next
  // boot retries.
  bool done = change_port(port, runs) == ChangeResult::kDone;
  write_config_response(done && server_listens(leading_int(port), kServerStartDeadline) ? 1 : 0);
}

void handle_playlist_new() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::string genre = cgiFormStringNoNewlines("f_genre", kFieldSize);
  std::string desc = cgiFormStringNoNewlines("f_desc", kFieldSize);
  std::string rand = cgiFormStringNoNewlines("f_randomized", kRandomizedFieldSize);
  std::string total = cgiFormStringNoNewlines("f_total", kTotalFieldSize);
  begin_config_response();
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock())) {
    write_res(0);
    end_config_response();
    return;
  }
  ControllerRuns runs(*lock);
  // The page learns of success once the create is recorded, before the
  // (possibly long) folder scan: from then on it completes.
  ChangeResult result = create_playlist(name, genre, desc, rand, FoldersText(leading_int(total)), [] {
    write_res(1);
    std::fflush(cgiOut);
  }, runs);
  if (result == ChangeResult::kRefused) write_res(0);
  end_config_response();
}

void handle_playlist_del() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_valid_playlist_name(name) || !(lock = TakeCommandLock(true))) {
    write_config_response(0);
    return;
  }
  ControllerRuns runs(*lock);
  write_config_response(remove_playlist(name, runs) == ChangeResult::kDone ? 1 : 0);
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
  bool done = false;
  if (is_valid_playlist_name(name) && (lock = TakeCommandLock()) && playlist_file_exists(name)) {
    ControllerRuns runs(*lock);
    done = renew_playlist(name, genre, desc, rand, runs) == ChangeResult::kDone;
  }
  write_res(done ? 1 : 0);
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

void handle_allow_host() {
  std::string host = cgiFormStringNoNewlines("f_host", kFieldSize);
  std::optional<CommandLock> lock;
  if (!is_allowable_host_name(host) || !(lock = TakeCommandLock())) {
    write_config_response(0);
    return;
  }
  write_config_response(add_allowed_host(host) ? 1 : 0);
}
