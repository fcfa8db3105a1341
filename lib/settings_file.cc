#include "lib/settings_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "lib/atomic_file.h"

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

void ParseEntries(std::string_view data, std::vector<SettingsEntry>& entries) {
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
}

// Opens `path` for update, creating it when it is missing without truncating a
// file that another process created meanwhile. `created` tells which.
UniqueFd OpenOrCreate(const std::string& path, bool& created) {
  for (;;) {
    created = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return UniqueFd(fd);
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) {
      created = true;
      return UniqueFd(fd);
    }
    if (errno != EEXIST) return UniqueFd();
  }
}

}  // namespace

std::unique_ptr<SettingsFile> cfg_open(const std::string& path) {
  for (;;) {
    bool created = false;
    UniqueFd fd = OpenOrCreate(path, created);
    struct stat opened;
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
      cfg_last_error = CFGERR_OPEN;
      return nullptr;
    }
    int rc;
    do rc = ::flock(fd.get(), LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      cfg_last_error = CFGERR_LOCK;
      return nullptr;
    }
    // A rewrite renames a new file over the path while its writer holds the
    // lock on the old one; whoever waited on the old file must start again on
    // the file the path names now.
    struct stat current;
    if (::stat(path.c_str(), &current) != 0) {
      if (errno == ENOENT) continue;
      cfg_last_error = CFGERR_OPEN;
      return nullptr;
    }
    if (current.st_dev != opened.st_dev || current.st_ino != opened.st_ino) continue;

    auto file = std::make_unique<SettingsFile>();
    file->path_ = path;
    if (!created) ParseEntries(read_all(fd.get()), file->entries_);
    file->fd_ = std::move(fd);
    return file;
  }
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
  // The lock on the old file is held until the new one has been renamed over
  // it, so a waiting opener never sees a half-written file.
  std::optional<AtomicFile> out = AtomicFile::Create(file->path_);
  if (!out) return 1;
  for (const SettingsEntry& entry : file->entries_) {
    if (entry.commented) std::fputc('#', out->stream());
    std::fwrite(entry.name.data(), 1, entry.name.size(), out->stream());
    std::fputc('=', out->stream());
    std::fwrite(entry.value.data(), 1, entry.value.size(), out->stream());
    std::fputc('\n', out->stream());
  }
  return out->Commit() ? 0 : 1;
}

std::optional<std::string> cfg_file_get(const std::string& path, std::string_view name) {
  std::unique_ptr<SettingsFile> file = cfg_open(path);
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
