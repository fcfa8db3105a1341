#include "lib/stream_status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <cstdlib>

#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/process_table.h"
#include "lib/settings_file.h"
#include "lib/unique_fd.h"

namespace {


std::string RestartsPath() { return get_conf_dir() + "/" + kRestartsName; }

// What identifies one state of a playlist's settings: the settings file is
// replaced whole on every change, so its inode and time stamp change too.
std::string SettingsSignature(std::string_view name) {
  struct stat st;
  if (::lstat(playlist_settings_path(name).c_str(), &st) != 0) return "none";
  char signature[64];
  std::snprintf(signature, sizeof signature, "%llu:%lld.%09ld", static_cast<unsigned long long>(st.st_ino),
                static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
  return signature;
}

// The restart times recorded for `name` under the current settings.
std::vector<std::time_t> RecordedRestarts(const SettingsFile& record, std::string_view name) {
  // "SIGNATURE T1 T2 ...": no stream library for this (it would double the
  // size of the programs on the device).
  const std::string value = cfg_get(record, name);
  std::vector<std::time_t> times;
  std::size_t space = value.find(' ');
  if (value.substr(0, space) != SettingsSignature(name)) return times;
  while (space != std::string::npos) {
    std::size_t start = space + 1;
    space = value.find(' ', start);
    std::string field = value.substr(start, space == std::string::npos ? std::string::npos : space - start);
    char* end;
    long long t = std::strtoll(field.c_str(), &end, 10);
    if (!field.empty() && *end == '\0') times.push_back(static_cast<std::time_t>(t));
  }
  return times;
}

}  // namespace

bool ServerStatus::up() const {
  return !pids.empty() && port_known && listening && ours_listening.value_or(true);
}

bool StreamStatus::healthy() const {
  if (!server.up()) return false;
  return std::none_of(playlists.begin(), playlists.end(),
                      [](const PlaylistStatus& p) { return p.unreadable || (p.enabled && p.clients.empty()); });
}

StreamStatus collect_stream_status() {
  StreamStatus status;
  // One walk of /proc for the server and every playlist's clients.
  const ProcessSnapshot processes = ProcessSnapshot::Take();
  status.server.pids = processes.Find("icecast", server_config_path());
  std::optional<ServerSettings> settings = read_server_settings();
  status.server.port = settings ? settings->port : kDefaultPort;
  status.server.port_known = settings.has_value();
  const int port = leading_int(status.server.port);
  status.server.listening = port_accepts(port, std::chrono::milliseconds(500));
  status.server.ours_listening = false;
  if (status.server.listening && !status.server.pids.empty()) {
    status.server.ours_listening = owns_listening_port(status.server.pids, port);
    status.server.recorded = recorded_server();
    status.server.recorded_listening = false;
    if (status.server.recorded) status.server.recorded_listening = owns_listening_port({*status.server.recorded}, port);
  }
  for (std::string& name : list_playlists()) {
    PlaylistStatus playlist;
    playlist.name = std::move(name);
    std::optional<std::string> enabled = get_playlist_enabled(playlist.name);
    playlist.enabled = enabled && is_on(*enabled);
    playlist.unreadable = !enabled;
    playlist.clients = processes.Find("ices", source_config_path(playlist.name));
    playlist.given_up = playlist.enabled && playlist.clients.empty() && restarts_exhausted(playlist.name);
    status.playlists.push_back(std::move(playlist));
  }
  std::sort(status.playlists.begin(), status.playlists.end(),
            [](const PlaylistStatus& a, const PlaylistStatus& b) { return a.name < b.name; });
  return status;
}

ConfDirState conf_dir_state() {
  ConfDirState state;
  const std::string dir = get_conf_dir();
  state.writable = ::access(dir.c_str(), W_OK | X_OK) == 0;
  UniqueFd lock(::open((dir + "/" + kLockName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  state.busy = lock.valid() && ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  return state;
}

bool restarts_exhausted(std::string_view name) {
  std::unique_ptr<SettingsFile> record = cfg_open(RestartsPath(), false);
  if (!record) return false;
  std::vector<std::time_t> times = RecordedRestarts(*record, name);
  cfg_close(std::move(record));
  // Each record keeps only the restarts within the window before it, so a
  // full list means that many within one window: given up for good, until
  // the settings change (and with them the signature).
  return static_cast<int>(times.size()) >= kMaxRestarts;
}

bool record_restart(std::string_view name, std::time_t now) {
  std::unique_ptr<SettingsFile> record = cfg_open(RestartsPath());
  if (!record) return false;
  std::vector<std::time_t> times = RecordedRestarts(*record, name);
  std::erase_if(times, [&](std::time_t t) { return now - t >= kRestartWindow; });
  times.push_back(now);
  std::string value = SettingsSignature(name);
  for (std::time_t t : times) {
    value += ' ';
    value += std::to_string(static_cast<long long>(t));
  }
  cfg_set(*record, name, value);
  return cfg_close(std::move(record)) == 0;
}
