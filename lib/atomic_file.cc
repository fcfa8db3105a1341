#include "lib/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "lib/unique_fd.h"

std::string directory_of(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

unsigned new_file_mode() {
  // umask can only be read by setting it; the programs are single-threaded.
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool give_to_directory_owner(int fd, const std::string& dir) {
  if (::geteuid() != 0) return true;
  struct stat owner, file;
  if (::stat(dir.c_str(), &owner) != 0 || ::fstat(fd, &file) != 0) return false;
  if (file.st_uid == owner.st_uid && file.st_gid == owner.st_gid) return true;
  return ::fchown(fd, owner.st_uid, owner.st_gid) == 0;
}

int write_file_atomically(const std::string& path, std::string_view contents) {
  std::optional<AtomicFile> out = AtomicFile::Create(path);
  if (!out) return 1;
  std::fwrite(contents.data(), 1, contents.size(), out->stream());
  return out->Commit() ? 0 : 1;
}

std::optional<std::string> read_regular_file(const std::string& path, std::size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  std::string data = read_all(fd.get());
  if (data.size() > limit) return std::nullopt;
  return data;
}

std::optional<AtomicFile> AtomicFile::Create(const std::string& target, std::string_view temp_name) {
  std::string temp = directory_of(target) + "/";
  temp += temp_name;
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  FILE* stream = ::fdopen(fd, "w");
  if (stream == nullptr) {
    ::close(fd);
    ::unlink(temp.c_str());
    return std::nullopt;
  }
  return AtomicFile(target, std::move(temp), stream);
}

AtomicFile::AtomicFile(AtomicFile&& other) noexcept
    : target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      stream_(std::exchange(other.stream_, nullptr)),
      buffer_(std::move(other.buffer_)) {
  other.temp_.clear();
}

AtomicFile::~AtomicFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

void AtomicFile::SetBufferSize(std::size_t size) {
  if (stream_ == nullptr) return;
  // glibc ignores the size unless it is given the buffer itself.
  buffer_ = std::make_unique<char[]>(size);
  std::setvbuf(stream_, buffer_.get(), _IOFBF, size);
}

bool AtomicFile::Commit() {
  if (stream_ == nullptr) return false;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  int fd = ::fileno(stream_);
  // A file system that will not let root give files away (root_squash) still
  // takes the file: root's, but readable and replaceable as before.
  if (ok) give_to_directory_owner(fd, directory_of(target_));
  ok = ok && ::fchmod(fd, kPrivateFileMode) == 0 && ::fsync(fd) == 0;
  ok = std::fclose(std::exchange(stream_, nullptr)) == 0 && ok;
  if (!ok) return false;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
  temp_.clear();
  // The rename is a change of the directory, and until the directory is on
  // disk a power cut can bring back the old file, or no file at all. The
  // new file is in place whatever this sync answers, so the result stands.
  UniqueFd dir(::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}
