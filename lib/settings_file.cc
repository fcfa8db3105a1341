#include "lib/settings_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include "lib/atomic_file.h"
#include "lib/file_lock.h"

int cfg_last_error = CFGERR_NONE;

const char* cfg_strerror(int code) {
  static const char* const kMessages[] = {
      "Nothing",
      "NULL pointer",
      "file open failed",
      "file lock failed",
      "memory allocate failed",
      "CFGERR_LAST - You should not see this!",
  };
  if (code < 0 || code > CFGERR_LAST) return nullptr;
  return kMessages[code];
}

namespace {

}  // namespace

std::vector<SettingsEntry> parse_settings(std::string_view data) {
  std::vector<SettingsEntry> entries;
  while (!data.empty()) {
    std::size_t end = data.find('\n');
    std::string_view line = data.substr(0, end);
    data = end == std::string_view::npos ? std::string_view() : data.substr(end + 1);
    if (line.empty() || line.front() == '\r') continue;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    bool commented = line.front() == '#' || line.front() == '!';
    std::size_t name_start = commented ? 1 : 0;
    entries.push_back(SettingsEntry{std::string(line.substr(name_start, equals - name_start)),
                                    std::string(line.substr(equals + 1)), commented});
  }
  return entries;
}

namespace {

constexpr int kMaxOpenAttempts = 100;
constexpr std::chrono::seconds kLockDeadline{30};

// Opens `path` without following a link or blocking on a FIFO: for update,
// creating it when it is missing without truncating a file that another
// process created meanwhile, when `create` is set (`created` tells which);
// read-only otherwise, so that a read-only volume still reads. Returns an
// invalid descriptor with errno set on failure (ENOENT: missing and not
// created).
UniqueFd OpenOrCreate(const std::string& path, bool create, bool& created) {
  created = false;
  int fd = ::open(path.c_str(), (create ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd >= 0 || errno != ENOENT || !create) return UniqueFd(fd);
  fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
              kPrivateFileMode);
  if (fd >= 0) {
    created = true;
    give_to_directory_owner(fd, directory_of(path));
  }
  return UniqueFd(fd);
}

// True when `path` names the file open as `fd_stat` now.
bool PathNames(const std::string& path, const struct stat& fd_stat) {
  struct stat current;
  return ::lstat(path.c_str(), &current) == 0 && current.st_dev == fd_stat.st_dev &&
         current.st_ino == fd_stat.st_ino;
}

// Reads at most `limit` + 1 bytes, so that a file that grew past the limit
// after the fstat is noticed.
std::optional<std::string> ReadBounded(int fd, std::size_t limit) {
  std::string data;
  char buffer[4096];
  while (data.size() <= limit) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  if (data.size() > limit) return std::nullopt;
  return data;
}

}  // namespace

std::unique_ptr<SettingsFile> cfg_open(const std::string& path, bool create) {
  // A rewrite renames a new file over the path while its writer holds the
  // lock on the old one; whoever waited on the old file must start again on
  // the file the path names now. The number of such rounds is bounded: a
  // path that keeps changing under us is given up.
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    bool created = false;
    UniqueFd fd = OpenOrCreate(path, create, created);
    if (!fd.valid()) {
      // A missing file reads as an empty one; a missing directory is a
      // failure, as it would be for a file to be created there.
      struct stat dir;
      if (errno == ENOENT && !create && ::stat(directory_of(path).c_str(), &dir) == 0 && S_ISDIR(dir.st_mode)) {
        auto file = std::make_unique<SettingsFile>();
        file->path_ = path;
        file->read_only_ = true;
        return file;
      }
      if (errno == EEXIST) continue;  // created by someone else meanwhile
      break;
    }
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_size > kMaxSettingsFileSize) {
      break;
    }
    if (!(create ? lock_exclusive(fd.get(), kLockDeadline) : lock_shared(fd.get(), kLockDeadline))) {
      cfg_last_error = CFGERR_LOCK;
      return nullptr;
    }
    if (!PathNames(path, opened)) continue;

    auto file = std::make_unique<SettingsFile>();
    file->path_ = path;
    file->read_only_ = !create;
    file->dev_ = opened.st_dev;
    file->ino_ = opened.st_ino;
    if (!created) {
      std::optional<std::string> data = ReadBounded(fd.get(), kMaxSettingsFileSize);
      if (!data) break;
      file->entries_ = parse_settings(*data);
    }
    file->fd_ = std::move(fd);
    return file;
  }
  cfg_last_error = CFGERR_OPEN;
  return nullptr;
}

int cfg_remove(const std::string& path) {
  for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat opened;
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      if (!fd.valid() && errno == ENOENT) return 0;
      // Not a settings file we could have written: take the name away as it is.
      return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : 1;
    }
    if (!lock_exclusive(fd.get(), kLockDeadline)) return 1;
    if (!PathNames(path, opened)) continue;
    return ::unlink(path.c_str()) == 0 ? 0 : 1;
  }
  return 1;
}

std::string cfg_get(const SettingsFile& file, std::string_view name) {
  for (const SettingsEntry& entry : file.entries()) {
    if (!entry.commented && entry.name == name) return entry.value;
  }
  return std::string();
}

int cfg_set(SettingsFile& file, std::string_view name, std::string_view value) {
  file.dirty_ = true;
  for (SettingsEntry& entry : file.entries_) {
    if (entry.name == name) {
      entry.value = value;
      entry.commented = false;
      return 0;
    }
  }
  file.entries_.push_back(SettingsEntry{std::string(name), std::string(value), false});
  return 0;
}

int cfg_close(std::unique_ptr<SettingsFile> file) {
  if (!file) return -1;
  cfg_last_error = CFGERR_NONE;
  if (!file->dirty_) return 0;
  // A reader's shared lock does not keep other readers from setting too.
  if (file->read_only_) return 1;
  // The lock on the old file is held until the new one has been renamed over
  // it, so a waiting opener never sees a half-written file. Deleting takes the
  // same lock, so when the path no longer names the file we locked, it was
  // removed or replaced behind our back and must stay as it is now.
  if (file->exists()) {
    struct stat locked{};
    locked.st_dev = file->dev_;
    locked.st_ino = file->ino_;
    if (!PathNames(file->path_, locked)) return 1;
  } else if (struct stat st; ::lstat(file->path_.c_str(), &st) == 0) {
    return 1;  // created by someone else since we found it missing
  }
  std::optional<AtomicFile> out = AtomicFile::Create(file->path_);
  if (!out) return 1;
  const std::string text = format_settings(file->entries_);
  std::fwrite(text.data(), 1, text.size(), out->stream());
  return out->Commit() ? 0 : 1;
}

std::string format_settings(const std::vector<SettingsEntry>& entries) {
  std::string text;
  for (const SettingsEntry& entry : entries) {
    if (entry.commented) text += '#';
    text += entry.name;
    text += '=';
    text += entry.value;
    text += '\n';
  }
  return text;
}

std::optional<std::string> cfg_file_get(const std::string& path, std::string_view name) {
  std::unique_ptr<SettingsFile> file = cfg_open(path, false);
  if (!file) return std::nullopt;
  std::string value = cfg_get(*file, name);
  cfg_close(std::move(file));
  return value;
}

int cfg_file_set(const std::string& path, std::string_view name, std::string_view value) {
  std::unique_ptr<SettingsFile> file = cfg_open(path);
  if (!file) return -1;
  cfg_set(*file, name, value);
  return cfg_close(std::move(file));
}
