#include "controller/log_bound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lib/atomic_file.h"
#include "lib/unique_fd.h"

bool bound_source_client_log(const std::string& dir) {
  UniqueFd log(::open((dir + "/ices.log").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  if (!log.valid() || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= kSourceLogLimit) {
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
  write_file_atomically(dir + "/ices.log.old", tail);
  return ::ftruncate(log.get(), 0) == 0;
}
