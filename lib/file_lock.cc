#include "lib/file_lock.h"

#include <sys/file.h>
#include <time.h>

#include <cerrno>

namespace {

bool Lock(int fd, int operation, std::chrono::milliseconds deadline) {
  // flock has no timeout of its own: try without blocking and back off, so a
  // holder that hangs cannot hang every later command with it.
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  long pause_us = 200;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    struct timespec pause = {0, pause_us * 1000};
    ::nanosleep(&pause, nullptr);
    if (pause_us < 20000) pause_us *= 2;
  }
}

}  // namespace

bool lock_exclusive(int fd, std::chrono::milliseconds deadline) { return Lock(fd, LOCK_EX, deadline); }

bool lock_shared(int fd, std::chrono::milliseconds deadline) { return Lock(fd, LOCK_SH, deadline); }
