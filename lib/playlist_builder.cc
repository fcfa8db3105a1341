#include "lib/playlist_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::size_t kMaxPath = 4095;

constexpr std::string_view kSkippedFolders[] = {
    ".", "..", ".]", "Nas_Prog", ".systemfile", ".AppleDouble", ".DS_Store", ".bin",
    ".AppleDesktop", "lost+found", "Ajaxpf", "recycle", "Network Trash Folder",
};

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;

bool IsSkippedFolder(std::string_view name) {
  return std::find(std::begin(kSkippedFolders), std::end(kSkippedFolders), name) != std::end(kSkippedFolders);
}

// A playlist line holds one path: it must fit the path limit and must not
// break the line format (nor hold a NUL, which no path can).
bool FitsOnALine(std::string_view path) {
  return path.size() <= kMaxPath && path.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos;
}

void WriteLine(FILE* out, std::string_view path) {
  std::fwrite(path.data(), 1, path.size(), out);
  std::fputc('\n', out);
}

// A folder is known by its device and inode.
struct FolderId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FolderId&) const = default;
};

// An MP3 file or a folder to enter, found in a listing.
struct Entry {
  std::string name;
  bool is_folder;
  bool via_link;  // a folder's path must then be resolved before use
  FolderId id;    // of a folder
  bool operator<(const Entry& other) const { return name < other.name; }
};

// One folder on the current search path.
struct Folder {
  std::string path;  // resolved absolute path
  FolderId id;
  std::vector<Entry> subfolders;  // ascending; those before `next` are done
  std::size_t next = 0;
};

// Who the scan runs as, taken once per scan.
struct Credentials {
  uid_t uid = ::geteuid();
  std::vector<gid_t> groups = [] {
    std::vector<gid_t> list(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)) + 1);
    int n = ::getgroups(static_cast<int>(list.size() - 1), list.data());
    list.resize(static_cast<std::size_t>(std::max(n, 0)));
    list.push_back(::getegid());
    return list;
  }();

  // Whether a folder of these permissions may be entered, as the kernel
  // decides it from the mode bits (root enters any folder). Answered from
  // the fstat the scan takes anyway, instead of one more system call per
  // folder.
  bool CanEnter(const struct stat& st) const {
    if (uid == 0) return true;
    if (st.st_uid == uid) return (st.st_mode & S_IXUSR) != 0;
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end()) return (st.st_mode & S_IXGRP) != 0;
    return (st.st_mode & S_IXOTH) != 0;
  }
};

// What one scan carries from folder to folder.
struct Scan {
  explicit Scan(FILE* stream) : out(stream) {}

  FILE* out;
  Credentials credentials;
  std::vector<char> buffer = std::vector<char>(32768);
  std::vector<Folder> stack;  // the folders on the current search path
};

// Lists the folder at the resolved `path` whose identity the parent's listing
// gave, writes its MP3 files and returns it with its subfolders still to
// visit. Returns nothing when it cannot be listed or entered, or is already on
// the search path (a link back to an ancestor).
//
// Every system call counts on a whole music volume, so a folder costs one
// open, two getdents64 reads and a close: the identity comes from the
// parent's listing (the directory entry's inode, or the stat a link needs
// anyway), and only a process that is not root takes an fstat to know whether
// it may enter the folder.
std::optional<Folder> VisitFolder(Scan& scan, std::string path, FolderId id) {
  for (const Folder& folder : scan.stack) {
    if (folder.id == id) return std::nullopt;
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  if (scan.credentials.uid != 0) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !scan.credentials.CanEnter(st)) return std::nullopt;
  }

  std::vector<Entry> entries;
  for (;;) {
    ssize_t n = ::getdents64(fd.get(), scan.buffer.data(), scan.buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && entries.empty()) return std::nullopt;
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(scan.buffer.data() + offset);
      offset += e->d_reclen;
      std::string_view name = e->d_name;
      bool is_file = e->d_type == DT_REG, is_folder = e->d_type == DT_DIR, via_link = false;
      FolderId child{id.dev, e->d_ino};
      // The entry's own type answers for everything but links (and file
      // systems that do not report types).
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat entry;
        if (::fstatat(fd.get(), e->d_name, &entry, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(entry.st_mode)) {
          via_link = true;
          if (::fstatat(fd.get(), e->d_name, &entry, 0) != 0) continue;
        }
        is_file = S_ISREG(entry.st_mode);
        is_folder = S_ISDIR(entry.st_mode);
        child = FolderId{entry.st_dev, entry.st_ino};
      }
      if ((is_file && is_mp3_name(name)) || (is_folder && !IsSkippedFolder(name))) {
        entries.push_back(Entry{std::string(name), is_folder, via_link, child});
      }
    }
  }
  fd.reset();
  std::sort(entries.begin(), entries.end());

  Folder folder{std::move(path), id, {}, 0};
  std::string line;
  for (Entry& entry : entries) {
    if (entry.is_folder) {
      folder.subfolders.push_back(std::move(entry));
      continue;
    }
    line.assign(folder.path).append("/").append(entry.name);
    if (FitsOnALine(line)) WriteLine(scan.out, line);
  }
  return folder;
}

}  // namespace

bool is_mp3_name(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.size() - dot != 4) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(name[dot + 1]) == 'm' && lower(name[dot + 2]) == 'p' && name[dot + 3] == '3';
}

int reverse_alphasort(const struct dirent** a, const struct dirent** b) { return ::alphasort(b, a); }

void scan_music_dir(FILE* out, const std::string& folder) {
  MallocText resolved(::realpath(folder.c_str(), nullptr));
  if (!resolved || !FitsOnALine(resolved.get())) return;
  // Depth-first with an explicit stack, so a deep tree cannot exhaust the
  // call stack; memory grows with depth times the folder sizes on the way.
  struct stat st;
  if (::stat(resolved.get(), &st) != 0) return;
  Scan scan(out);
  if (std::optional<Folder> root = VisitFolder(scan, resolved.get(), FolderId{st.st_dev, st.st_ino})) {
    scan.stack.push_back(std::move(*root));
  }
  while (!scan.stack.empty()) {
    Folder& top = scan.stack.back();
    if (top.next == top.subfolders.size()) {
      scan.stack.pop_back();
      continue;
    }
    const Entry& sub = top.subfolders[top.next++];
    std::string path = top.path + "/" + sub.name;
    if (sub.via_link) {
      MallocText target(path.size() <= kMaxPath ? ::realpath(path.c_str(), nullptr) : nullptr);
      if (!target) continue;
      path = target.get();
      // Inode numbers alone do not always tell (a file system may report
      // others in listings than in stat); the resolved path of a folder on
      // the current search path does.
      auto on_path = [&](const Folder& folder) { return folder.path == path; };
      if (std::any_of(scan.stack.begin(), scan.stack.end(), on_path)) continue;
    }
    if (!FitsOnALine(path)) continue;
    if (std::optional<Folder> next = VisitFolder(scan, std::move(path), sub.id)) {
      scan.stack.push_back(std::move(*next));
    }
  }
}

void add_music_path(FILE* out, const std::string& path) {
  struct stat st;
  if (!FitsOnALine(path) || ::stat(path.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    if (is_mp3_name(path)) WriteLine(out, path);
  } else if (S_ISDIR(st.st_mode)) {
    scan_music_dir(out, path);
  }
}

int build_playlist_file(std::string_view name, FILE* list) {
  if (!is_valid_playlist_name(name)) return 1;
  std::optional<AtomicFile> out = AtomicFile::Create(playlist_path(name));
  if (!out) return 1;
  out->SetBufferSize(1 << 16);
  std::rewind(list);
  char* raw = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  while ((length = ::getline(&raw, &capacity, list)) > 0) {
    std::string line(raw, static_cast<std::size_t>(length));
    if (line.back() == '\n') line.pop_back();
    if (!line.empty()) add_music_path(out->stream(), line);
  }
  std::free(raw);
  return out->Commit() ? 0 : 1;
}
