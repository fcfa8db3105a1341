#include "lib/playlist_contents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/unique_fd.h"

namespace {

// The largest folders-NAME a rescan reads; one beyond cannot be rescanned
// and is not looked into here either.
constexpr std::size_t kMaxFoldersFile = 1 << 20;

// Whether `path` names a root of `roots` or something below one, by its
// name alone: absolute, and with no ".." that could lead back out.
bool NamedBelowARoot(std::string_view path, const std::vector<std::string>& roots) {
  if (path.empty() || path.front() != '/') return false;
  for (std::size_t start = 1; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  for (std::string_view root : roots) {
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    if (path == root || (path.starts_with(root) && (root == "/" || path[root.size()] == '/'))) return true;
  }
  return false;
}

}  // namespace

std::optional<std::uint64_t> count_file_lines(const std::string& path) {
  // Not blocking: a pipe put in a playlist file's place must not hold the
  // status up.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  char buffer[1 << 16];
  std::uint64_t lines = 0;
  char last = '\n';  // an empty file has no last line
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    const char* end = buffer + n;
    for (const char* at = buffer; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at) {
      ++lines;
    }
    last = end[-1];
  }
  return lines + (last != '\n' ? 1 : 0);
}

std::optional<std::vector<std::string>> read_stored_folders(std::string_view name) {
  if (!is_valid_playlist_name(name)) return std::nullopt;
  std::optional<std::string> text = read_regular_file(folders_path(name), kMaxFoldersFile);
  if (!text) return std::nullopt;
  std::vector<std::string> folders;
  for (std::size_t start = 0; start < text->size();) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    if (end > start) folders.emplace_back(*text, start, end - start);
    start = end + 1;
  }
  return folders;
}

std::size_t count_missing_folders(std::string_view name, const std::vector<std::string>& roots) {
  std::optional<std::vector<std::string>> folders = read_stored_folders(name);
  if (!folders || folders->empty()) return 0;
  std::size_t missing = 0;
  for (const std::string& folder : *folders) {
    // Only what lies below a music root, by its name, is looked at: the
    // status would otherwise tell anyone whether any path of the device
    // exists, by storing it in a create. A field outside gives no songs.
    if (!NamedBelowARoot(folder, roots)) continue;
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) ++missing;
  }
  return missing;
}
