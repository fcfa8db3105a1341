#include "controller/process_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>

#include "controller/client_logs.h"
#include "controller/owner_rights.h"
#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/process_table.h"
#include "lib/settings_file.h"
#include "lib/spawn.h"
#include "lib/stream_configs.h"
#include "lib/unique_fd.h"

namespace {


template <typename Action>
void ForEachPlaylist(Action action) {
  for (const std::string& name : list_playlists()) action(name);
}

// Kills `pids` with signal 9 and waits (briefly) until they are gone: a
// killed process lingers a moment, and callers go on to start a new one
// (which could not listen on the port the old one holds) or remove files.
void KillAndWait(std::vector<pid_t> pids, std::string_view program, const std::string& config) {
  // Each is looked at again right before its kill: a process that ended
  // since the scan may have left its id to another.
  for (pid_t pid : pids) {
    if (process_matches(pid, program, config)) ::kill(pid, SIGKILL);
  }
  for (int waited_ms = 0; waited_ms < 2000 && !pids.empty(); ++waited_ms) {
    std::erase_if(pids, [&](pid_t pid) { return !process_matches(pid, program, config); });
    if (!pids.empty()) ::usleep(1000);
  }
}

// Starts a streaming program as the stream user. Returns false, saying so
// on standard error, when it could not be run at all (not found).
bool Launch(const std::vector<std::string>& argv) {
  if (!find_program(argv[0])) {
    // Once per program and run: a start of all would say it for every
    // playlist.
    static std::set<std::string> told;
    if (!told.insert(argv[0]).second) return false;
    std::string folders;
    for (const std::string& folder : program_search_folders()) folders += (folders.empty() ? "" : ":") + folder;
    std::fprintf(stderr, "tarnwick: cannot start %s: not found in %s\n", argv[0].c_str(), folders.c_str());
    return false;
  }
  gid_t group;
  const uid_t user = stream_user(&group);
  if (::geteuid() != 0 || (user == 0 && group == 0)) return run_program(argv, true) != -1;
  // posix_spawn cannot change user: a helper takes on the user for good and
  // starts the program, which detaches, so the helper ends at once. (Here,
  // not in lib/spawn: the web program never changes user and stays small.)
  pid_t helper = ::fork();
  if (helper == 0) {
    const bool ran = become_user(user, group) && run_program(argv, true) != -1;
    ::_exit(ran ? 0 : 1);
  }
  if (helper < 0) return false;
  // The helper's own run of the program has a deadline of its own.
  std::optional<int> status = wait_for_child(helper, std::chrono::minutes(6));
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
}

// Records the server just launched. "icecast -b" forks and its first
// process has ended when Launch returns: the daemon is the one server of ours
// that was not there before. It is looked for briefly (it may still be on
// its way), and taken once two looks a moment apart find the same one alone
// (a program that forks twice shows its middle process for a moment). None
// found, or more than one (another run started one beside it), leaves no
// record, and so no server that is sent the password.
//
// With `parent` set (this process, a subreaper while it launched), only a
// server whose parent it is counts: the daemon of our launch comes back to us
// when the first process ends, and a look-alike started by anyone else (one
// that took the port first and passes its socket on) never does.
void RecordServer(const std::vector<pid_t>& before, pid_t parent) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  pid_t candidate = 0;
  for (;;) {
    std::vector<pid_t> fresh = find_servers();
    std::erase_if(fresh, [&](pid_t pid) {
      return std::find(before.begin(), before.end(), pid) != before.end() ||
             (parent != 0 && process_parent(pid) != parent);
    });
    if (fresh.size() == 1 && fresh[0] == candidate) {
      if (std::optional<unsigned long long> start = process_start_time(candidate)) {
        write_file_atomically(server_record_path(), std::to_string(candidate) + " " + std::to_string(*start) + "\n");
      }
      return;
    }
    candidate = fresh.size() == 1 ? fresh[0] : 0;
    if (std::chrono::steady_clock::now() >= give_up) return;
    ::usleep(candidate != 0 ? 50000 : 10000);
  }
}

}  // namespace

void kill_server() {
  // Only servers shown to be ours: never another user's, nor one started on
  // another config directory.
  KillAndWait(find_servers(true), "icecast", server_config_path());
}

void start_server() {
  kill_server();
  // A fresh install has no server config until a port is set on the page:
  // the server starts on the stored port (the default when none is stored),
  // but never on a guess while the settings cannot be read.
  struct stat config;
  if (::lstat(server_config_path().c_str(), &config) != 0 && errno == ENOENT) {
    std::optional<std::string> port = cfg_file_get(server_settings_path(), "port");
    if (port) build_server_config(leading_int(is_valid_port(*port) ? *port : kDefaultPort));
  }
  // The record names the server of this launch only: until the new one is
  // found, none is ours.
  ::unlink(server_record_path().c_str());
  const std::vector<pid_t> before = find_servers(true);
  // The daemon "icecast -b" leaves is orphaned at once: as a subreaper, this
  // process becomes its parent, which tells it from any other server. Where
  // the kernel has no subreapers (before 3.4), the one fresh server is taken.
  const bool reaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  if (Launch({"icecast", "-c", server_config_path(), "-b"})) RecordServer(before, reaper ? ::getpid() : 0);
  // Later orphans (the clients' daemons) go to init as before.
  if (reaper) ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

bool start_playlist(std::string_view name) {
  if (!is_valid_playlist_name(name)) return false;
  std::optional<std::string> enabled = get_playlist_enabled(name);
  if (!enabled || !is_on(*enabled)) return false;
  // One client per playlist: a second start leaves the running one alone.
  // A stopped one serves nobody: it is replaced.
  const std::string config = source_config_path(name);
  if (!find_source_clients(config).empty()) return false;
  KillAndWait(find_source_clients(config, true), "ices", config);
  // A client run as root must find its logs root's own (controller/client_logs.h).
  if (::geteuid() == 0 && stream_user() == 0) {
    if (std::optional<std::string> why = prepare_root_client_logs()) {
      std::fprintf(stderr, "tarnwick: not starting the client of %.*s as root: %s\n", static_cast<int>(name.size()),
                   name.data(), why->c_str());
      return false;
    }
  }
  return Launch({"ices", "-c", config, "-B"});
}

void stop_playlist(std::string_view name) {
  if (!is_valid_playlist_name(name)) return;
  const std::string config = source_config_path(name);
  KillAndWait(find_source_clients(config, true), "ices", config);
}

void stop_clients_of_gone_playlists() {
  const std::string prefix = source_config_path("");
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return;
  std::set<std::string> seen;
  while (const dirent* entry = ::readdir(proc.get())) {
    std::string cmdline = read_regular_file(std::string("/proc/") + entry->d_name + "/cmdline", 1 << 16).value_or("");
    // The config path follows "-c"; only configs of our directory count.
    std::size_t at = cmdline.find(std::string("-c") + '\0' + prefix);
    if (at == std::string::npos) continue;
    std::string config = cmdline.substr(at + 3);
    config = config.substr(0, config.find('\0'));
    std::string name = config.substr(prefix.size());
    if (!is_valid_playlist_name(name) || playlist_file_exists(name) || !seen.insert(name).second) continue;
    KillAndWait(find_source_clients(config, true), "ices", config);
  }
}

void start_all_playlists() {
  stop_clients_of_gone_playlists();
  ForEachPlaylist(start_playlist);
}

void stop_all_playlists() { ForEachPlaylist(stop_playlist); }

void start_all_streams() {
  ForEachPlaylist([](std::string_view name) {
    std::optional<std::string> enabled = get_playlist_enabled(name);
    if (enabled && is_on(*enabled)) stop_playlist(name);
  });
  start_server();
  start_all_playlists();
}
