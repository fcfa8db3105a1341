#ifndef LIB_ATOMIC_FILE_H_
#define LIB_ATOMIC_FILE_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Replaces a file as a whole: the new contents are written to a temporary file
// in the target's directory and renamed over the target only by Commit(), so a
// crash or a kill at any moment leaves either the old file or the new one.
//
// Temporary names are ".wl-XXXXXX": short (they fit beside any legal target
// name) and never taken for a playlist, settings file or source client config
// by the directory scans.
class AtomicFile {
 public:
  // Opens a temporary file for `target`, named from `temp_name` (which ends in
  // "XXXXXX") in the target's directory. Returns nothing when it cannot be
  // created (directory missing or not writable); the target is then untouched.
  static std::optional<AtomicFile> Create(const std::string& target,
                                          std::string_view temp_name = ".wl-XXXXXX");

  AtomicFile(AtomicFile&& other) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Removes the temporary file unless Commit() succeeded.
  ~AtomicFile();

  // The buffered stream of the temporary file; owned by this object.
  FILE* stream() const { return stream_; }

  // Gives the stream a buffer of `size` bytes; call before writing. Large
  // files (playlists) then take a few large writes instead of many small ones.
  void SetBufferSize(std::size_t size);

  // Flushes the contents to disk, gives the file kPrivateFileMode and, run as
  // root, to the directory's owner
  // (see give_to_directory_owner), renames it over the target and syncs the
  // target's directory, so that the replacement survives a power cut. Returns
  // false, leaving the target untouched, when any step up to the rename
  // fails; once renamed, the new file stands (a failing directory sync is
  // not reported: nothing could be undone by then).
  bool Commit();

 private:
  AtomicFile(std::string target, std::string temp, FILE* stream)
      : target_(std::move(target)), temp_(std::move(temp)), stream_(stream) {}

  std::string target_;
  std::string temp_;
  FILE* stream_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // outlives stream_, which may use it
};

// The mode of every file the programs make: the owner's alone. The stream
// user (the config directory's owner) owns them and runs the server and the
// clients that read them; anyone else could read the stored password, or
// take a file's flock and stall every command. The server, started as root,
// reads its config before it changes user.
inline constexpr unsigned kPrivateFileMode = 0600;

// The umask the programs set first thing, so that nothing they or the
// programs they start make is open to others.
inline constexpr unsigned kProgramUmask = 077;

// Replaces the file at `path` with `contents` through an AtomicFile. Returns
// 0, or 1 when it cannot be written (the old file then stays as it was).
int write_file_atomically(const std::string& path, std::string_view contents);

// The contents of the regular file at `path`, opened without following a
// link or blocking; nothing when it is missing, not a regular file, larger
// than `limit` bytes, or cannot be read.
std::optional<std::string> read_regular_file(const std::string& path, std::size_t limit);

// The directory part of `path` ("." when it has none).
std::string directory_of(const std::string& path);

// The mode that creating a file with 0666 gives under the current umask.
unsigned new_file_mode();

// Gives the file open as `fd` to the owner and group of directory `dir` when
// this process runs as root, so that a file that root (the boot script,
// cron) creates or replaces there stays the directory owner's (the web user
// of a page that is not root) to rewrite. Does nothing otherwise. Returns
// false when the change fails.
bool give_to_directory_owner(int fd, const std::string& dir);

#endif  // LIB_ATOMIC_FILE_H_
