#include "controller/owner_rights.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/spawn.h"
#include "lib/unique_fd.h"

bool become_user(uid_t user, gid_t group) {
  // Group first: once the user has changed, the group no longer can.
  return ::setgroups(0, nullptr) == 0 && ::setgid(group) == 0 && ::setuid(user) == 0 && ::geteuid() == user;
}

int run_as_user(uid_t user, gid_t group, const std::function<int()>& work, std::chrono::milliseconds deadline) {
  if (::geteuid() != 0 || user == 0) return work();
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    // The child of a single-threaded program: its work needs no more than
    // what the parent had set up; it leaves without running the parent's
    // exit handlers or flushing its buffers twice.
    ::_exit(become_user(user, group) ? work() & 0xff : 255);
  }
  std::optional<int> waited = wait_for_child(child, deadline);
  if (!waited) return -1;
  const int status = *waited;
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
  return WEXITSTATUS(status);
}

int exec_as_owner(const char* dir, char* const program_argv[]) {
  // A link in the folder's place (a user who owns a folder above it may swap
  // one in) is refused, not followed: root would take on, and the script
  // work in, whatever folder it names. A trailing "/" would make the kernel
  // follow it all the same.
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!folder.valid() || ::fstat(folder.get(), &st) != 0) {
    const int error = errno;
    struct stat link;
    const bool is_link = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    std::fprintf(stderr, "tarnwick: %s: %s\n", dir, is_link ? "is a link" : std::strerror(error));
    return 1;
  }
  if (::geteuid() == 0 && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::fprintf(stderr, "tarnwick: %s belongs to root but others may write to it; refusing to work there as root\n", dir);
    return 1;
  }
  if (::geteuid() == 0 && st.st_uid != 0 && !become_user(st.st_uid, st.st_gid)) {
    std::fprintf(stderr, "tarnwick: cannot become the owner of %s: %s\n", dir, std::strerror(errno));
    return 1;
  }
  if (::fchdir(folder.get()) != 0) {
    std::fprintf(stderr, "tarnwick: cannot enter %s: %s\n", dir, std::strerror(errno));
    return 1;
  }
  ::execvp(program_argv[0], program_argv);
  std::fprintf(stderr, "tarnwick: cannot run %s: %s\n", program_argv[0], std::strerror(errno));
  return 127;
}
