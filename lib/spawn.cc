#include "lib/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

// Owns the two attribute records that posix_spawn takes.
class SpawnSetup {
 public:
  SpawnSetup() {
    ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    ok_ = ::posix_spawnattr_init(&attr_) == 0 && ok_;
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool Configure(bool quiet_stderr) {
    if (!ok_) return false;
    bool ok = ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
              ::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0;
    if (quiet_stderr) {
      ok = ok && ::posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) == 0;
    }
    // The child starts with the default action for every signal and nothing
    // blocked, whatever the parent was given.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    ok = ok && ::posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
         ::posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
         ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
    return ok;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  bool ok_ = false;
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

}  // namespace

int run_program(const std::vector<std::string>& argv, bool quiet_stderr) {
  if (argv.empty()) return -1;
  SpawnSetup setup;
  if (!setup.Configure(quiet_stderr)) return -1;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (::posix_spawnp(&pid, args[0], setup.actions(), setup.attr(), args.data(), environ) != 0) {
    return -1;
  }
  int status;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
