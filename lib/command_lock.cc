#include "lib/command_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/file_lock.h"

namespace {


std::string InConfDir(const char* name) { return get_conf_dir() + "/" + name; }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The descriptor a parent passed down, when it names the lock file.
std::optional<int> InheritedLock(const std::string& lock_path) {
  const char* value = std::getenv(kInheritedLockVariable);
  if (value == nullptr || *value == '\0') return std::nullopt;
  char* end;
  long fd = std::strtol(value, &end, 10);
  if (*end != '\0' || fd < 3 || fd > 1024) return std::nullopt;
  struct stat inherited, named;
  if (::fstat(static_cast<int>(fd), &inherited) != 0 || ::lstat(lock_path.c_str(), &named) != 0 ||
      !S_ISREG(inherited.st_mode) || !SameFile(inherited, named)) {
    return std::nullopt;
  }
  return static_cast<int>(fd);
}

// A name mkstemp makes from ".wl-XXXXXX".
bool IsTemporaryName(std::string_view name) {
  if (name.size() != std::string_view(kTempNameTemplate).size() || !name.starts_with(kOwnFilePrefix)) return false;
  for (char c : name.substr(kOwnFilePrefix.size())) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Removes the temporary files that runs killed before `started` left in the
// config directory. Only regular files of the project's own pattern.
void RemoveLeftovers(const struct timespec& started) {
  const std::string dir = get_conf_dir();
  std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
  if (!listing) return;
  const int dir_fd = ::dirfd(listing.get());
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (!IsTemporaryName(entry->d_name)) continue;
    struct stat st;
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    // Both times come from the same coarse clock: a file of a run killed
    // within the tick this process started in has the very same time, and
    // is left over all the same (no one else holds the lock now).
    bool older = st.st_mtim.tv_sec < started.tv_sec ||
                 (st.st_mtim.tv_sec == started.tv_sec && st.st_mtim.tv_nsec <= started.tv_nsec);
    if (older) stale.emplace_back(entry->d_name);
  }
  for (const std::string& name : stale) ::unlinkat(dir_fd, name.c_str(), 0);
}

// The moment this process started, as the file system clock sees it.
struct timespec ProcessStart() {
  // /proc/self/stat would tell, but a file's time stamp is what we compare
  // with, so take the clock's coarse time at the first call (early in main).
  static const struct timespec started = [] {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
  }();
  return started;
}

}  // namespace

// Whatever a parent passed down must not reach the programs we start (the
// servers run on for good and would hold the lock with them), adopted or not.
void KeepInheritedFromChildren() {
  const char* value = std::getenv(kInheritedLockVariable);
  if (value == nullptr) return;
  char* end;
  long fd = std::strtol(value, &end, 10);
  if (*end == '\0' && fd >= 3 && fd <= 1024) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

CommandLock CommandLock::Acquire(std::chrono::milliseconds deadline) {
  const struct timespec started = ProcessStart();
  KeepInheritedFromChildren();
  CommandLock lock;
  const std::string path = InConfDir(kLockName);
  if (std::optional<int> fd = InheritedLock(path); fd && lock_exclusive(*fd, std::chrono::milliseconds(0))) {
    // Adopted, not owned: the descriptor stays open for our lifetime.
    lock.fd_ = UniqueFd(::fcntl(*fd, F_DUPFD_CLOEXEC, 3));
    lock.state_ = lock.fd_.valid() ? State::kHeld : State::kFailed;
    lock.inherited_ = true;
    return lock;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                      kPrivateFileMode));
  struct stat st;
  if (!fd.valid()) {
    struct stat dir;
    if (errno == ENOENT && ::stat(get_conf_dir().c_str(), &dir) != 0) lock.state_ = State::kNoDirectory;
    return lock;
  }
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return lock;
  // The lock is the owner's alone (others could stall every command with
  // it); run as root, we leave it the directory owner's, the web user's.
  give_to_directory_owner(fd.get(), get_conf_dir());
  if (!lock_exclusive(fd.get(), deadline)) {
    lock.state_ = State::kBusy;
    return lock;
  }
  lock.fd_ = std::move(fd);
  lock.state_ = State::kHeld;
  RemoveLeftovers(started);
  return lock;
}
