#include "controller/log_bound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "controller/owner_rights.h"
#include "lib/atomic_file.h"
#include "lib/unique_fd.h"

namespace {

// The trim itself, run as the folder's owner `owner`.
bool Trim(const std::string& dir, uid_t owner) {
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return false;
  UniqueFd log(::openat(folder.get(), "ices.log", O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  // A second name (a hard link) or another owner: not the clients' log but
  // a file planted in its place.
  if (!log.valid() || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      st.st_uid != owner || st.st_size <= kSourceLogLimit) {
    return false;
  }
  // The newest part is what someone looking for a fault wants.
  std::string tail(static_cast<std::size_t>(kSourceLogLimit), '\0');
  std::size_t have = 0;
  while (have < tail.size()) {
    ssize_t n = ::pread(log.get(), tail.data() + have, tail.size() - have,
                        st.st_size - kSourceLogLimit + static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  tail.resize(have);
  // A temporary file renamed over the name: a link planted there is
  // replaced, never followed.
  write_file_atomically(dir + "/ices.log.old", tail);
  return ::ftruncate(log.get(), 0) == 0;
}

}  // namespace

bool bound_source_client_log(const std::string& dir) {
  struct stat folder;
  if (::stat(dir.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
  return run_as_user(
             folder.st_uid, folder.st_gid, [&] { return Trim(dir, folder.st_uid) ? 0 : 1; },
             std::chrono::seconds(10)) == 0;
}
