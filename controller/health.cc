#include "controller/health.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "controller/log_bound.h"
#include "controller/process_control.h"
#include "lib/atomic_file.h"
#include "lib/change.h"
#include "lib/config_dir.h"
#include "lib/folder_state.h"
#include "lib/music_folders.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/playlist_contents.h"
#include "lib/process_table.h"
#include "lib/stream_configs.h"
#include "lib/stream_status.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::size_t kMaxFoldersFile = 1 << 20;

std::string PidList(const std::vector<pid_t>& pids) {
  if (pids.empty()) return "-";
  std::string list;
  for (pid_t pid : pids) {
    if (!list.empty()) list += ',';
    list += std::to_string(pid);
  }
  return list;
}

// The state word of a playlist in the status line. A client with no server
// of ours to stream to is not live, whatever it does.
const char* State(const PlaylistStatus& p, bool server_up) {
  if (p.unreadable) return "unknown";
  if (!p.clients.empty() && !p.enabled) return "stray";
  if (!p.clients.empty()) return server_up ? "live" : "down";
  if (!p.enabled) return "stopped";
  return p.given_up ? "given-up" : "down";
}

// True when a stored folder is one of the add-on's own folders (or lies in
// one): stored before they were refused, it is passed over by the search,
// and the rescan tells of it.
bool NamesAddonFolder(const std::string& folders) {
  const std::vector<std::string> addon = addon_folders();
  bool names = false;
  for (std::size_t start = 0; start < folders.size() && !names;) {
    std::size_t end = std::min(folders.find('\n', start), folders.size());
    names = end > start && names_addon_folder(folders.substr(start, end - start), addon);
    start = end + 1;
  }
  return names;
}

// The stored folder fields of `folders` (a folders file's text), as a build
// reads them.
std::vector<std::string> Fields(std::string& folders) {
  std::vector<std::string> fields;
  std::unique_ptr<FILE, FileCloser> list(::fmemopen(folders.data(), folders.size(), "r"));
  if (list) read_list_file(list.get(), [&](const std::string& field) { fields.push_back(field); });
  return fields;
}

// Rebuilds the playlist `name` from the text of its folders file, and tells
// its running clients when the playlist changed. `dropped`: a stored folder
// names one of the add-on's own.
RebuildResult Rebuild(const std::string& name, std::string& folders, bool& dropped,
                      WhenNoneFound none_found = WhenNoneFound::kEmpty) {
  dropped = NamesAddonFolder(folders);
  std::unique_ptr<FILE, FileCloser> list(::fmemopen(folders.data(), folders.size(), "r"));
  if (!list) return RebuildResult::kFailed;
  RebuildResult result = rebuild_playlist_file(name, list.get(), none_found);
  // A scan written whole mends a create whose scan could not be.
  if (result == RebuildResult::kUnchanged || result == RebuildResult::kChanged) {
    ::unlink(incomplete_marker_path(name).c_str());
  }
  if (result == RebuildResult::kChanged) {
    for (pid_t pid : find_source_clients(source_config_path(name))) ::kill(pid, SIGHUP);
  }
  return result;
}

int RescanOne(const std::string& name) {
  std::optional<std::string> folders = read_regular_file(folders_path(name), kMaxFoldersFile);
  if (!folders || !playlist_file_exists(name)) return 1;
  bool dropped = false;
  RebuildResult result = Rebuild(name, *folders, dropped);
  return result == RebuildResult::kFailed || dropped ? 1 : 0;
}

// The number of lines (songs) of the playlist file at `path`; 0 when it
// cannot be read.
std::size_t Songs(const std::string& path) { return count_file_lines(path).value_or(0); }

// Rebuilds, as a rescan does, every playlist whose searched folders changed
// since its last build (a stat of each, see lib/folder_state.h), and one
// without a record of them, which gets its first. A playlist whose create
// could not write its scan is left to the rescan that mends it. Prints a
// line for each playlist whose folders changed or whose file did.
void FollowFolders() {
  const StoredMusicRoots stored = stored_music_roots();
  if (!stored.readable) return;  // the build could not run either
  for (const std::string& name : list_playlists()) {
    std::optional<std::string> folders = read_regular_file(folders_path(name), kMaxFoldersFile);
    std::optional<std::string> playlist = playlist_file_exists(name);
    if (!folders || !playlist || playlist_incomplete(name)) continue;
    const FolderCheck found = check_folder_state(name, Fields(*folders), stored.confined, stored.roots);
    if (found == FolderCheck::kUnchanged) continue;
    const std::size_t before = Songs(*playlist);
    bool dropped = false;
    const RebuildResult result = Rebuild(name, *folders, dropped, WhenNoneFound::kKeepSongs);
    if (result == RebuildResult::kFailed) {
      std::fprintf(stderr, "tarnwick: the folders of %s changed, but its playlist cannot be rebuilt\n", name.c_str());
    } else if (result == RebuildResult::kNoneFound) {
      // Its music may be on a share or disk that is away for now: the stream
      // plays on what it had, and the next check looks again.
      std::fprintf(stderr, "tarnwick: no song found in the folders of %s now; its playlist is kept as it was\n",
                   name.c_str());
    } else if (found == FolderCheck::kChanged || result == RebuildResult::kChanged) {
      const std::size_t after = Songs(*playlist);
      std::printf("rescanned %s: %zu %s (%s%zu)\n", name.c_str(), after, after == 1 ? "song" : "songs", after < before ? "-" : "+",
                  after < before ? before - after : after - before);
    }
  }
  std::fflush(stdout);
}

// Reports on standard error each generated file that disagrees with the
// stored port or password: its server turns the clients away (or takes a
// password the owner no longer uses) until "start all" writes it again.
// Returns true when there is one.
bool ReportStaleConfigs() {
  std::vector<std::string> stale = stale_generated_configs().value_or(std::vector<std::string>{});
  for (const std::string& name : stale) {
    std::fprintf(stderr, "tarnwick: %s does not carry the stored port and password; run \"tarnwick start all\"\n",
                 name.c_str());
  }
  return !stale.empty();
}

// The recorded change that waits. While another process holds the command
// lock, a record is that process's change under way (a create's scan may
// take minutes), not one that waits; `lock_held` tells that the caller holds
// the lock itself.
std::optional<WaitingChange> Waiting(bool lock_held) {
  if (!lock_held && conf_dir_state().busy) return std::nullopt;
  return waiting_change();
}

// The exit status of status and check, with the stale configs reported. A
// recorded change that waits counts as something down.
int Verdict(const StreamStatus& status, bool lock_held) {
  if (!status.server.port_known) std::fputs("tarnwick: the server settings cannot be read\n", stderr);
  bool stale = ReportStaleConfigs();
  return status.healthy() && !stale && !Waiting(lock_held) ? kAllUp : kSomethingDown;
}

}  // namespace

int print_status() {
  StreamStatus status = collect_stream_status();
  // Where the server settings cannot be read, the port and whether it
  // listens are not known: "unknown" in both columns.
  const bool known = status.server.port_known;
  std::printf("server\t%s\t%s\t%s\t%s\n", status.server.pids.empty() ? "stopped" : "running",
              known ? status.server.port.c_str() : "unknown",
              !known ? "unknown" : status.server.listening ? "listening" : "closed",
              PidList(status.server.pids).c_str());
  for (const PlaylistStatus& p : status.playlists) {
    std::printf("playlist\t%s\t%s\t%s\t%s\n", p.name.c_str(),
                p.unreadable ? "unreadable" : p.enabled ? "enabled" : "disabled", State(p, status.server.up()),
                PidList(p.clients).c_str());
  }
  for (const PlaylistStatus& p : status.playlists) {
    if (std::optional<std::string> why = playlist_incomplete(p.name)) {
      std::printf("incomplete\t%s\t%s\n", p.name.c_str(), why->c_str());
    }
  }
  if (std::optional<WaitingChange> change = Waiting(false)) {
    std::printf("change\t%s\t%s\twaiting\t%s\n", change->action.c_str(), change->argument.c_str(),
                change->reason.c_str());
  }
  std::fflush(stdout);
  return Verdict(status, false);
}

int check_streams(bool follow_folders) {
  bound_source_client_log();
  // Before the streams: a client started below reads the new playlist.
  if (follow_folders) FollowFolders();
  StreamStatus status = collect_stream_status();
  // The clients that ran against a server that died stream to nobody (they
  // do not find the new one by themselves): replaced in this same run.
  bool server_started = status.server.pids.empty();
  if (server_started) {
    start_server();
    // A server that cannot have its port ends a moment after it started:
    // wait (at most a few seconds) so that the exit status tells whether it
    // came up, as status would.
    if (status.server.port_known) server_listens(leading_int(status.server.port), std::chrono::seconds(5));
    // No server came up (icecast not found, the port taken): its clients are
    // not replaced for nothing at every check.
    server_started = !find_servers().empty();
  }
  const std::time_t now = std::time(nullptr);
  for (const PlaylistStatus& p : status.playlists) {
    if (p.unreadable) continue;  // not known to be off: its client stays
    if (!p.enabled && !p.clients.empty()) {
      stop_playlist(p.name);
    } else if (p.enabled && !p.clients.empty() && server_started) {
      stop_playlist(p.name);
      start_playlist(p.name);  // a replacement, no restart of a failing client
    } else if (p.enabled && p.clients.empty() && !restarts_exhausted(p.name)) {
      // A client that could not even be launched (ices not found) is no
      // client that keeps failing: no strike against it.
      if (start_playlist(p.name)) record_restart(p.name, now);
    }
  }
  stop_clients_of_gone_playlists();
  return Verdict(collect_stream_status(), true);
}

int rescan(std::string_view target) {
  if (target != "all") return is_valid_playlist_name(target) ? RescanOne(std::string(target)) : 1;
  // Playlists made before folders were stored have none to search, and
  // stored folders without their playlist are what a deletion by hand
  // leaves: neither is rebuilt, and neither fails the rescan.
  std::vector<std::string> names = list_playlists();
  std::erase_if(names, [](const std::string& name) {
    struct stat st;
    return ::lstat(folders_path(name).c_str(), &st) != 0;
  });
  int result = 0;
  for (const std::string& name : names) result |= RescanOne(name);
  return result;
}
