#include "controller/process_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "lib/config_dir.h"
#include "lib/spawn.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::string_view kPlaylistPrefix = "playlist-";

// Reads a /proc file whole; empty when the process is gone.
std::string ReadProcFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() ? read_all(fd.get()) : std::string();
}

bool IsSourceClient(std::string_view cmdline, std::string_view config_path) {
  std::vector<std::string_view> args;
  while (!cmdline.empty()) {
    std::size_t end = cmdline.find('\0');
    args.push_back(cmdline.substr(0, end));
    if (end == std::string_view::npos) break;
    cmdline.remove_prefix(end + 1);
  }
  if (args.empty()) return false;
  std::string_view program = args[0];
  std::size_t slash = program.rfind('/');
  if (slash != std::string_view::npos) program.remove_prefix(slash + 1);
  if (program != "ices") return false;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "-c" && args[i + 1] == config_path) return true;
  }
  return false;
}

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

void kill_server() { run_program({"killall", "-9", "icecast"}, true); }

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
      return !IsSourceClient(ReadProcFile("/proc/" + std::to_string(pid) + "/cmdline"), config);
    });
    if (!pids.empty()) ::usleep(1000);
  }
}

void start_all_playlists() { ForEachPlaylist(start_playlist); }

void stop_all_playlists() { ForEachPlaylist(stop_playlist); }

std::vector<pid_t> find_source_clients(const std::string& config_path) {
  std::vector<pid_t> pids;
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return pids;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string cmdline = ReadProcFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (IsSourceClient(cmdline, config_path)) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}
