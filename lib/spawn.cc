#include "lib/spawn.h"

#include <time.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "lib/command_lock.h"

extern char** environ;

namespace {

constexpr std::string_view kLockVariable = kInheritedLockVariable;

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

  bool Configure(bool quiet_stderr, int lock_fd, int lock_target) {
    if (!ok_) return false;
    bool ok = ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
              ::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0;
    // dup2 to another number gives a copy without close-on-exec.
    if (lock_fd >= 0) ok = ok && ::posix_spawn_file_actions_adddup2(&actions_, lock_fd, lock_target) == 0;
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

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> program_search_folders() {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      std::size_t colon = rest.find(':');
      std::string_view folder = rest.substr(0, colon);
      if (!folder.empty()) folders.emplace_back(folder);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  std::string self(4096, '\0');
  ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size());
  if (length > 0 && static_cast<std::size_t>(length) < self.size()) {
    self.resize(static_cast<std::size_t>(length));
    if (std::size_t slash = self.rfind('/'); slash != std::string::npos && slash > 0) folders.push_back(self.substr(0, slash));
  }
  for (const char* folder : {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    folders.emplace_back(folder);
  }
  return folders;
}

std::optional<std::string> find_program(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::string(name);
  for (const std::string& folder : program_search_folders()) {
    std::string path = folder + "/" + std::string(name);
    if (IsExecutableFile(path)) return path;
  }
  return std::nullopt;
}

std::optional<int> wait_for_child(pid_t pid, std::chrono::milliseconds deadline) {
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  int status;
  long pause_us = 100;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= give_up) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return std::nullopt;
    }
    struct timespec pause = {0, pause_us * 1000};
    ::nanosleep(&pause, nullptr);
    if (pause_us < 10000) pause_us *= 2;
  }
}

int run_program(const std::vector<std::string>& argv, bool quiet_stderr, int lock_fd,
                std::chrono::milliseconds deadline) {
  if (argv.empty()) return -1;
  std::optional<std::string> program = find_program(argv[0]);
  if (!program) return -1;
  const int lock_target = lock_fd == 3 ? 4 : 3;
  SpawnSetup setup;
  if (!setup.Configure(quiet_stderr, lock_fd, lock_target)) return -1;
  // The environment as it is, with the lock variable set or taken out.
  const std::string lock_variable = std::string(kLockVariable) + "=";
  std::vector<std::string> lock_entry;
  if (lock_fd >= 0) lock_entry.push_back(lock_variable + std::to_string(lock_target));
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with(lock_variable)) env.push_back(*e);
  }
  for (std::string& entry : lock_entry) env.push_back(entry.data());
  env.push_back(nullptr);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, program->c_str(), setup.actions(), setup.attr(), args.data(), env.data()) != 0) {
    return -1;
  }
  // The programs we run detach or end at once; one that hangs is killed
  // rather than hanging its caller (and a web request) with it.
  std::optional<int> waited = wait_for_child(pid, deadline);
  if (!waited) return -1;
  const int status = *waited;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}
