#include "controller/client_logs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/unique_fd.h"

namespace {

constexpr const char* kClientFiles[] = {"ices.log", "ices.cue"};

bool IsRootsOwnFile(int folder, const char* name) {
  struct stat st;
  return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
         st.st_nlink == 1;
}

// Replaces whatever `name` is with a fresh empty file of root's. Another
// user may create the name again between the removal and the creation (the
// folder lets the server's group create names): a few tries, then give up.
std::optional<std::string> Replace(int folder, const std::string& dir, const char* name) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (::unlinkat(folder, name, 0) != 0 && errno != ENOENT) {
      if ((errno != EISDIR && errno != EPERM) || ::unlinkat(folder, name, AT_REMOVEDIR) != 0) {
        return dir + "/" + name + " is not a file of root's and cannot be removed: " + std::strerror(errno);
      }
    }
    UniqueFd file(::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (file.valid()) return std::nullopt;
    if (errno != EEXIST) return "cannot create " + dir + "/" + name + ": " + std::strerror(errno);
  }
  return dir + "/" + name + " keeps being made again by another user";
}

}  // namespace

std::optional<std::string> prepare_root_client_logs(const std::string& dir) {
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (!folder.valid()) {
    if (errno == ENOENT) return std::nullopt;
    return dir + " is not a folder of its own (" + std::strerror(errno) + ")";
  }
  struct stat st;
  if (::fstat(folder.get(), &st) != 0) return dir + ": " + std::strerror(errno);
  if (st.st_uid != 0) {
    return dir + " is not root's: its owner could swap a link for a log the client writes as root"
                 " (start.sh makes it root's)";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    return dir + " may be written to by others and is not sticky: they could swap a link for a log the client"
                 " writes as root (start.sh makes it mode 1770)";
  }
  for (const char* name : kClientFiles) {
    if (IsRootsOwnFile(folder.get(), name)) continue;
    if (std::optional<std::string> why = Replace(folder.get(), dir, name)) return why;
  }
  return std::nullopt;
}
