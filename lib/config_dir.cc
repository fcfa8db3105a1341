#include "lib/config_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "lib/atomic_file.h"
#include "lib/numbers.h"
#include "lib/settings_file.h"
#include "lib/unique_fd.h"
#include "lib/xml_text.h"

namespace {

constexpr std::size_t kMaxConfDirLength = 127;
constexpr std::size_t kMaxNameLength = 255 - kPlaylistSettingsPrefix.size();

std::string InConfDir(std::string_view file, std::string_view name = {}) {
  std::string path = get_conf_dir();
  path += '/';
  path += file;
  path += name;
  return path;
}

std::optional<std::string> GetPlaylistKey(std::string_view name, std::string_view key) {
  return cfg_file_get(playlist_settings_path(name), key);
}

std::string GetServerKey(std::string_view key, const char* fallback) {
  std::optional<std::string> value = cfg_file_get(server_settings_path(), key);
  if (!value || value->empty()) return fallback;
  return *value;
}

// Calls `visit` with the playlist name of every playlist settings file of the
// config directory until it returns true. Returns false when the directory
// cannot be opened.
template <typename Visit>
bool ForEachPlaylistSettings(Visit visit) {
  std::string dir = get_conf_dir();
  std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
  if (!listing) return false;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view entry_name = entry->d_name;
    if (entry_name.size() <= kPlaylistSettingsPrefix.size() || !entry_name.starts_with(kPlaylistSettingsPrefix)) {
      continue;
    }
    if (visit(entry_name.substr(kPlaylistSettingsPrefix.size()))) break;
  }
  return true;
}

std::optional<std::string> g_pinned_conf_dir;

std::string ReadConfDirPointer() {
  // O_NOFOLLOW: a symbolic link planted in /tmp must not choose the directory.
  UniqueFd fd(::open(kConfDirPointer, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_uid != 0 && st.st_uid != ::geteuid())) {
    return kDefaultConfDir;
  }
  char buffer[kMaxConfDirLength + 1];
  std::size_t length = 0;
  while (length < sizeof buffer) {
    ssize_t n = ::read(fd.get(), buffer + length, sizeof buffer - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<std::size_t>(n);
  }
  std::string_view text(buffer, length);
  std::size_t newline = text.find('\n');
  std::size_t line_length = newline == std::string_view::npos ? length : newline;
  // A path that does not fit is not cut short, which would point elsewhere.
  if (line_length > kMaxConfDirLength) return kDefaultConfDir;
  // As a line reader of 127 characters sees it: a line feed within them
  // stays part of the path.
  if (newline != std::string_view::npos && newline < kMaxConfDirLength) ++line_length;
  std::string_view path = text.substr(0, line_length);
  // A relative path would be taken relative to whatever the working
  // directory happens to be.
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return kDefaultConfDir;
  return std::string(path);
}

}  // namespace

std::string get_conf_dir() { return g_pinned_conf_dir ? *g_pinned_conf_dir : ReadConfDirPointer(); }

void pin_conf_dir() { g_pinned_conf_dir = ReadConfDirPointer(); }

void unpin_conf_dir() { g_pinned_conf_dir.reset(); }

std::string server_settings_path() { return InConfDir(kServerSettingsName); }
std::string playlist_settings_path(std::string_view name) { return InConfDir(kPlaylistSettingsPrefix, name); }
std::string playlist_path(std::string_view name) { return InConfDir(kPlaylistPrefix, name); }
std::string source_config_path(std::string_view name) { return InConfDir(kSourceConfigPrefix, name); }
std::string server_config_path() { return InConfDir(kServerConfigName); }
std::string folders_path(std::string_view name) { return InConfDir(kFoldersPrefix, name); }
std::string incomplete_marker_path(std::string_view name) { return InConfDir(kIncompletePrefix, name); }
std::string folder_state_path(std::string_view name) { return InConfDir(kFolderStatePrefix, name); }

bool is_valid_playlist_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength || name == "all") return false;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte == '/' || byte < 0x20 || byte == 0x7F) return false;
  }
  return is_valid_utf8(name);
}

bool is_valid_port(std::string_view port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
  int value = leading_int(port);
  return value >= 1 && value <= 65535;
}

std::optional<std::string> playlist_name_of(std::string_view entry) {
  if (!entry.starts_with(kPlaylistPrefix)) return std::nullopt;
  std::string_view name = entry.substr(kPlaylistPrefix.size());
  if (!is_valid_playlist_name(name)) return std::nullopt;
  return std::string(name);
}

std::optional<std::string> playlist_file_exists(std::string_view name) {
  if (!is_valid_playlist_name(name)) return std::nullopt;
  std::string path = playlist_path(name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return path;
}

std::vector<std::string> list_playlists() {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(get_conf_dir().c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::optional<std::string> name = playlist_name_of(entry->d_name);
    if (name && playlist_file_exists(*name)) names.push_back(std::move(*name));
  }
  return names;
}

std::optional<std::string> next_playlist_name() {
  for (int n = 1; n <= kMaxPlaylists; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "Playlist-%02d", n);
    if (!playlist_file_exists(name)) return std::string(name);
  }
  return std::nullopt;
}

int set_server_port(std::string_view port) {
  return cfg_file_set(server_settings_path(), "port", port) == 0 ? 0 : 1;
}

std::string get_server_port() { return GetServerKey("port", kDefaultPort); }

std::optional<std::string> get_server_password() {
  std::optional<ServerSettings> settings = read_server_settings();
  if (!settings) return std::nullopt;
  return settings->password;
}

std::optional<ServerSettings> read_server_settings() {
  std::unique_ptr<SettingsFile> file = cfg_open(server_settings_path(), false);
  if (!file) return std::nullopt;
  ServerSettings settings;
  if (std::string port = cfg_get(*file, "port"); !port.empty()) settings.port = std::move(port);
  if (std::string password = cfg_get(*file, "passwd"); !password.empty()) settings.password = std::move(password);
  cfg_close(std::move(file));
  return settings;
}

namespace {

// A name of a file the programs make: the installer's own notes (another
// ".wl-" name) are not theirs to give away.
bool IsProgramFile(std::string_view name) {
  static constexpr std::string_view kPrefixes[] = {kPlaylistSettingsPrefix, kPlaylistPrefix, kSourceConfigPrefix,
                                                   kFoldersPrefix, kIncompletePrefix, kFolderStatePrefix};
  if (name == kServerSettingsName || name == kServerConfigName || name == kLockName || name == kJournalName ||
      name == kRestartsName || name == kServerRecordName) {
    return true;
  }
  for (std::string_view prefix : kPrefixes) {
    if (name.size() > prefix.size() && name.starts_with(prefix)) return true;
  }
  // Staged files ".wl-s-N" and temporary files ".wl-XXXXXX".
  if (name.starts_with(kStagedPrefix) && name.size() > kStagedPrefix.size()) {
    return name.substr(kStagedPrefix.size()).find_first_not_of("0123456789") == std::string_view::npos;
  }
  return name.size() == std::string_view(kTempNameTemplate).size() && name.starts_with(kOwnFilePrefix) &&
         name.substr(kOwnFilePrefix.size()).find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") ==
             std::string_view::npos;
}

}  // namespace

int make_config_files_private() {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(get_conf_dir().c_str()));
  if (!listing) return 0;
  const int dir_fd = ::dirfd(listing.get());
  int changed = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (!IsProgramFile(entry->d_name)) continue;
    // O_PATH would do for fchmod, but not everywhere: a read-only open of a
    // file without read permission fails, and such a file is private already.
    UniqueFd fd(::openat(dir_fd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    // A file with a second name may be anyone's (a hard link planted by the
    // directory's owner): its mode and owner are not ours to change.
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) continue;
    // Run as root, a file root made (an older version's lock) becomes the
    // directory owner's, who could not open it once it is private.
    give_to_directory_owner(fd.get(), get_conf_dir());
    if ((st.st_mode & 077) != 0 && ::fchmod(fd.get(), st.st_mode & 07700) == 0) ++changed;
  }
  return changed;
}

int write_playlist_settings(std::string_view name, std::optional<std::string_view> genre,
                            std::optional<std::string_view> desc,
                            std::optional<std::string_view> rand,
                            std::optional<std::string_view> enabled) {
  std::unique_ptr<SettingsFile> file = cfg_open(playlist_settings_path(name));
  if (!file) return 1;
  cfg_set(*file, "name", name);
  if (genre) cfg_set(*file, "genre", *genre);
  if (desc) cfg_set(*file, "desc", *desc);
  if (rand) cfg_set(*file, "rand", *rand);
  if (enabled) cfg_set(*file, "enabled", *enabled);
  return cfg_close(std::move(file)) == 0 ? 0 : 1;
}

std::optional<std::string> get_playlist_genre(std::string_view name) { return GetPlaylistKey(name, "genre"); }
std::optional<std::string> get_playlist_desc(std::string_view name) { return GetPlaylistKey(name, "desc"); }
std::optional<std::string> get_playlist_rand(std::string_view name) { return GetPlaylistKey(name, "rand"); }
std::optional<std::string> get_playlist_enabled(std::string_view name) { return GetPlaylistKey(name, "enabled"); }

std::optional<PlaylistSettings> read_playlist_settings(std::string_view name) {
  std::unique_ptr<SettingsFile> file = cfg_open(playlist_settings_path(name), false);
  if (!file) return std::nullopt;
  PlaylistSettings settings{cfg_get(*file, "genre"), cfg_get(*file, "desc"), cfg_get(*file, "rand"),
                            cfg_get(*file, "enabled")};
  cfg_close(std::move(file));
  return settings;
}

int renew_playlist_settings(std::string_view name, std::string_view genre, std::string_view desc,
                            std::string_view rand) {
  std::unique_ptr<SettingsFile> file = cfg_open(playlist_settings_path(name));
  if (!file) return 1;
  std::string enabled = cfg_get(*file, "enabled");
  cfg_set(*file, "name", name);
  cfg_set(*file, "genre", genre);
  cfg_set(*file, "desc", desc);
  cfg_set(*file, "rand", rand);
  cfg_set(*file, "enabled", enabled);
  return cfg_close(std::move(file)) == 0 ? 0 : 1;
}

int set_playlist_enabled(std::string_view name, std::string_view value) {
  return cfg_file_set(playlist_settings_path(name), "enabled", value) == 0 ? 0 : 1;
}

void delete_playlist(std::string_view name) {
  ::unlink(folder_state_path(name).c_str());
  ::unlink(playlist_path(name).c_str());
  cfg_remove(playlist_settings_path(name));
  ::unlink(source_config_path(name).c_str());
  ::unlink(folders_path(name).c_str());
  ::unlink(incomplete_marker_path(name).c_str());
}

int has_playlist_name(std::string_view name) {
  bool found = false;
  if (!ForEachPlaylistSettings([&](std::string_view entry) { return found = !name.empty() && entry == name; })) {
    return 1;
  }
  return found ? 1 : 0;
}

int is_playlist_full() {
  int count = 0;
  if (!ForEachPlaylistSettings([&](std::string_view) { ++count; return false; })) return 1;
  return count >= kMaxPlaylists ? 1 : 0;
}

int is_active_full() {
  int count = 0;
  bool listed = ForEachPlaylistSettings([&](std::string_view entry) {
    std::optional<std::string> enabled = get_playlist_enabled(entry);
    if (enabled && is_on(*enabled)) ++count;
    return false;
  });
  if (!listed) return -1;
  return count >= kMaxEnabledPlaylists ? 1 : 0;
}
