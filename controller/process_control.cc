#include "controller/process_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "lib/config_dir.h"
#include "lib/process_table.h"
#include "lib/spawn.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::string_view kPlaylistPrefix = "playlist-";

template <typename Action>
void ForEachPlaylist(Action action) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(get_conf_dir().c_str()));
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name.starts_with(kPlaylistPrefix)) action(name.substr(kPlaylistPrefix.size()));
  }
}

}  // namespace

void kill_server() {
  run_program({"killall", "-9", "icecast"}, true);
  // The killed server holds its port until it is gone, and a new one started
  // right after could not listen there: wait (briefly) for that.
  for (int waited_ms = 0; waited_ms < 2000 && !find_servers().empty(); waited_ms += 5) ::usleep(5000);
}

void start_server() {
  kill_server();
  run_program({"icecast", "-c", server_config_path(), "-b"}, true);
}

void start_playlist(std::string_view name) {
  if (!is_valid_playlist_name(name)) return;
  std::optional<std::string> enabled = get_playlist_enabled(name);
  if (!enabled || !is_on(*enabled)) return;
  // One client per playlist: a second start leaves the running one alone.
  const std::string config = source_config_path(name);
  if (find_source_clients(config).empty()) run_program({"ices", "-c", config, "-B"}, true);
}

void stop_playlist(std::string_view name) {
  if (!is_valid_playlist_name(name)) return;
  const std::string config = source_config_path(name);
  std::vector<pid_t> pids = find_source_clients(config);
  for (pid_t pid : pids) ::kill(pid, SIGKILL);
  // A kill takes effect a moment later; callers go on to remove the
  // playlist's files or start a new client, so wait (briefly) until the
  // killed clients are gone. An ended process has no command line.
  for (int waited_ms = 0; waited_ms < 2000 && !pids.empty(); ++waited_ms) {
    std::erase_if(pids, [&](pid_t pid) {
      return !process_matches(pid, "ices", config);
    });
    if (!pids.empty()) ::usleep(1000);
  }
}

void start_all_playlists() { ForEachPlaylist(start_playlist); }

void stop_all_playlists() { ForEachPlaylist(stop_playlist); }
