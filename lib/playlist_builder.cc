#include "lib/playlist_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/folder_state.h"
#include "lib/music_folders.h"
#include "lib/playlist_contents.h"
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

// A folder is known by its device and inode, as the opened folder itself
// reports them: at a mount point the directory entry's inode number belongs
// to the folder hidden underneath.
struct FolderId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FolderId&) const = default;
  bool operator<(const FolderId& other) const { return dev != other.dev ? dev < other.dev : ino < other.ino; }
};

// One entry of a folder, as reading the folder found it.
struct ListedEntry {
  std::string name;
  bool is_file;
  bool is_folder;
  bool via_link;  // a folder's path must then be resolved before use
};

// Reads every entry of the folder open as `fd` with its kind, following
// symbolic links (a dangling one is left out). Returns false when the folder
// cannot be read at all.
bool ReadFolder(int fd, std::vector<char>& buffer, std::vector<ListedEntry>& entries) {
  for (;;) {
    ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return !entries.empty();
    if (n == 0) return true;
    for (ssize_t offset = 0; offset < n;) {
      const auto* e = reinterpret_cast<const struct dirent64*>(buffer.data() + offset);
      offset += e->d_reclen;
      ListedEntry entry{e->d_name, e->d_type == DT_REG, e->d_type == DT_DIR, false};
      // The entry's own type answers for everything but links (and file
      // systems that do not report types).
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
          entry.via_link = true;
          if (::fstatat(fd, e->d_name, &st, 0) != 0) continue;
        }
        entry.is_file = S_ISREG(st.st_mode);
        entry.is_folder = S_ISDIR(st.st_mode);
      }
      entries.push_back(std::move(entry));
    }
  }
}

// Whether a listed entry belongs in the playlist (an MP3 file) or is a folder
// to search; everything else is left out.
bool IsWanted(const ListedEntry& entry) {
  return (entry.is_file && is_mp3_name(entry.name)) || (entry.is_folder && !IsSkippedFolder(entry.name));
}

// File systems that hold no music and can be endless or costly to walk.
bool IsPseudoFileSystem(std::uint32_t type) {
  // Magic numbers are 32 bits; f_type is a signed long of the machine's size.
  constexpr std::uint32_t kPseudo[] = {
      0x9fa0,      // proc
      0x62656572,  // sysfs
      0x1cd1,      // devpts
      0x27e0eb,    // cgroup
      0x63677270,  // cgroup2
      0x64626720,  // debugfs
      0x74726163,  // tracefs
      0x73636673,  // securityfs
      0x6165676c,  // pstore
      0xcafe4a11,  // bpf
      0x62656570,  // configfs
      0x65735543,  // fusectl
      0x19800202,  // mqueue
      0x42494e4d,  // binfmt_misc
      0xf97cff8c,  // selinuxfs
      0xde5e81e4,  // efivarfs
      0x6e736673,  // nsfs
      0x958458f6,  // hugetlbfs
      0x0187,      // autofs
  };
  return std::find(std::begin(kPseudo), std::end(kPseudo), type) != std::end(kPseudo);
}

// The device of /dev when it is devtmpfs (which reports itself as tmpfs and
// so cannot be told apart by its type alone).
std::optional<dev_t> DevFsDevice() {
  struct statfs fs;
  struct stat st;
  if (::statfs("/dev", &fs) != 0 || static_cast<std::uint32_t>(fs.f_type) != 0x01021994 || ::stat("/dev", &st) != 0) {
    return std::nullopt;
  }
  return st.st_dev;
}

// Where a build writes its lines, how many it may still write, the music
// roots its paths must lie inside when the settings confine it, and the
// add-on's own folders, which they never lie in.
class Output {
 public:
  explicit Output(FILE* out, const std::vector<std::string>* roots = nullptr)
      : out_(out), roots_(roots), addon_(addon_folders()) {}
  // A count: the lines are only counted, and the search stops at `deadline`.
  Output(const std::vector<std::string>* roots, std::chrono::steady_clock::time_point deadline)
      : out_(nullptr), roots_(roots), addon_(addon_folders()), deadline_(deadline) {}
  void Write(std::string_view path) {
    if (full()) return;
    if (out_ != nullptr) {
      std::fwrite(path.data(), 1, path.size(), out_);
      std::fputc('\n', out_);
    }
    ++lines_;
  }
  bool full() const { return lines_ >= kMaxPlaylistLines; }
  // Whether the search is to stop: the playlist is full, or a count's time
  // is up. Asked once per folder, so a clock is read once per folder.
  bool Stop() {
    if (!timed_out_ && deadline_ && std::chrono::steady_clock::now() >= *deadline_) timed_out_ = true;
    return timed_out_ || full();
  }
  bool timed_out() const { return timed_out_; }
  std::size_t lines() const { return lines_; }
  // Notes, when the build keeps a record of the folders it searched, a
  // stored field, and a path it reached with what stat found there.
  void set_record(FolderState* record) { record_ = record; }
  void RecordField(const std::string& field) {
    if (record_ != nullptr) record_->fields.push_back(field);
  }
  void Record(FolderStamp stamp) {
    // A stored folder is stamped as a field and again as the folder entered.
    if (record_ != nullptr && (record_->stamps.empty() || record_->stamps.back() != stamp)) {
      record_->stamps.push_back(std::move(stamp));
    }
  }
  bool recording() const { return record_ != nullptr; }
  bool confined() const { return roots_ != nullptr; }
  // Whether the resolved `path` may be part of the playlist.
  bool Allows(std::string_view path) const {
    if (in_addon_folder(path, addon_)) return false;
    return roots_ == nullptr ||
           std::any_of(roots_->begin(), roots_->end(), [&](const std::string& root) { return path_inside(path, root); });
  }
  // The same for a path that may pass through links: resolved first. (A
  // path that does not resolve is let through unconfined, as it always was:
  // it leads into none of the add-on's folders.)
  bool AllowsResolved(const std::string& path) const {
    MallocText resolved(path.size() <= kMaxPath ? ::realpath(path.c_str(), nullptr) : nullptr);
    if (roots_ == nullptr && !resolved) return true;
    return resolved && Allows(resolved.get());
  }

 private:
  FILE* out_;
  const std::vector<std::string>* roots_;
  const std::vector<std::string> addon_;
  std::size_t lines_ = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool timed_out_ = false;
  FolderState* record_ = nullptr;
};

// One folder on the current search path.
struct Folder {
  std::string path;  // resolved absolute path
  FolderId id;
  std::vector<ListedEntry> subfolders;  // ascending; those before `next` are done
  std::size_t next = 0;
};

// What one search carries from folder to folder.
struct Scan {
  explicit Scan(Output& output) : out(output) {}

  Output& out;
  bool is_root = ::geteuid() == 0;
  std::optional<dev_t> devfs = DevFsDevice();
  std::vector<char> buffer = std::vector<char>(32768);
  std::vector<Folder> stack;  // the folders on the current search path
  std::set<FolderId> expanded;
};

// Opens the folder at the resolved `path`, writes its MP3 files and returns it
// with its subfolders still to visit. Returns nothing when it cannot be
// listed or entered, is on a pseudo file system, is already on the search
// path (a link back to an ancestor), or was reached through a link and has
// been expanded by this search already.
std::optional<Folder> VisitFolder(Scan& scan, std::string path, bool via_link, std::optional<dev_t> parent_dev) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    // One that cannot be opened now may be later (its mode changes its
    // status change time), or may appear.
    if (scan.out.recording()) scan.out.Record(stamp_path(path));
    return std::nullopt;
  }
  // Stamped before it is read: a change while it is read shows next time.
  if (scan.out.recording()) scan.out.Record(stamp_from(path, st));
  // A folder swapped for a link since it was listed or resolved would lead
  // the search out of the music roots: the folder opened must be the one
  // named.
  if (scan.out.confined() && opened_path(fd.get()) != path) return std::nullopt;
  const FolderId id{st.st_dev, st.st_ino};
  for (const Folder& folder : scan.stack) {
    if (folder.id == id) return std::nullopt;
  }
  if (via_link && scan.expanded.contains(id)) return std::nullopt;
  // A file system's type can only change where the device does.
  if (!parent_dev || *parent_dev != st.st_dev) {
    struct statfs fs;
    if (::fstatfs(fd.get(), &fs) != 0 || IsPseudoFileSystem(static_cast<std::uint32_t>(fs.f_type)) ||
        (scan.devfs && *scan.devfs == st.st_dev)) {
      return std::nullopt;
    }
  }
  // Whether the folder may be entered is the kernel's decision (shares often
  // carry ACLs); root enters every folder.
  if (!scan.is_root && ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0) return std::nullopt;

  std::vector<ListedEntry> entries;
  if (!ReadFolder(fd.get(), scan.buffer, entries)) return std::nullopt;
  fd.reset();
  scan.expanded.insert(id);
  std::erase_if(entries, [](const ListedEntry& entry) { return !IsWanted(entry); });
  std::sort(entries.begin(), entries.end(),
            [](const ListedEntry& a, const ListedEntry& b) { return a.name < b.name; });

  Folder folder{std::move(path), id, {}, 0};
  std::string line;
  std::size_t seen = 0;
  for (ListedEntry& entry : entries) {
    // A count's time may run out inside a folder of many linked files too.
    if (++seen % 256 == 0 && scan.out.Stop()) break;
    if (entry.is_folder) {
      folder.subfolders.push_back(std::move(entry));
      continue;
    }
    line.assign(folder.path).append("/").append(entry.name);
    // A link may lead out of the music roots; the folder itself is inside.
    if (FitsOnALine(line) && (!entry.via_link || scan.out.AllowsResolved(line))) scan.out.Write(line);
  }
  return folder;
}

void ScanFolder(Output& out, const std::string& folder) {
  MallocText resolved(::realpath(folder.c_str(), nullptr));
  if (!resolved || !FitsOnALine(resolved.get()) || out.full() || !out.Allows(resolved.get())) return;
  // Depth-first with an explicit stack, so a deep tree cannot exhaust the
  // call stack; memory grows with depth times the folder sizes on the way.
  Scan scan(out);
  if (std::optional<Folder> root = VisitFolder(scan, resolved.get(), false, std::nullopt)) {
    scan.stack.push_back(std::move(*root));
  }
  while (!scan.stack.empty() && !out.full()) {
    Folder& top = scan.stack.back();
    if (top.next == top.subfolders.size()) {
      scan.stack.pop_back();
      continue;
    }
    if (out.Stop()) break;  // a count's time is up with a folder still to search
    const ListedEntry& sub = top.subfolders[top.next++];
    std::string path = top.path + "/" + sub.name;
    // The link may be led elsewhere, or what it leads through.
    if (sub.via_link && out.recording()) out.Record(stamp_path(path));
    if (sub.via_link) {
      MallocText target(path.size() <= kMaxPath ? ::realpath(path.c_str(), nullptr) : nullptr);
      if (!target) continue;
      path = target.get();
    }
    if (!FitsOnALine(path) || !out.Allows(path)) continue;
    const dev_t parent_dev = top.id.dev;
    if (std::optional<Folder> next = VisitFolder(scan, std::move(path), sub.via_link, parent_dev)) {
      scan.stack.push_back(std::move(*next));
    }
  }
}

void AddPath(Output& out, const std::string& path) {
  out.RecordField(path);
  struct stat st;
  const bool found = ::stat(path.c_str(), &st) == 0;
  if (out.recording()) out.Record(found ? stamp_from(path, st) : stamp_path(path));
  if (!FitsOnALine(path) || !found) return;
  if (S_ISREG(st.st_mode)) {
    if (is_mp3_name(path) && out.AllowsResolved(path)) out.Write(path);
  } else if (S_ISDIR(st.st_mode)) {
    ScanFolder(out, path);
  }
}

}  // namespace

bool is_mp3_name(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.size() - dot != 4) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(name[dot + 1]) == 'm' && lower(name[dot + 2]) == 'p' && name[dot + 3] == '3';
}

bool is_skipped_folder_name(std::string_view name) { return IsSkippedFolder(name); }

int reverse_alphasort(const struct dirent** a, const struct dirent** b) { return ::alphasort(b, a); }

void scan_music_dir(FILE* out, const std::string& folder) {
  Output output(out);
  ScanFolder(output, folder);
}

void add_music_path(FILE* out, const std::string& path) {
  Output output(out);
  AddPath(output, path);
}

void read_list_file(FILE* list, const std::function<void(const std::string&)>& path) {
  std::rewind(list);
  char* raw = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  while ((length = ::getline(&raw, &capacity, list)) > 0) {
    std::string line(raw, static_cast<std::size_t>(length));
    if (line.back() == '\n') line.pop_back();
    if (!line.empty()) path(line);
  }
  std::free(raw);
}

namespace {

// Starts the record of a build: its roots, and when its search begins.
void BeginRecord(FolderState* record, const StoredMusicRoots& stored) {
  if (record == nullptr) return;
  *record = FolderState{};
  record->confined = stored.confined;
  if (stored.confined) record->roots = stored.roots;
  struct timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  record->scan_sec = now.tv_sec;
  record->scan_nsec = now.tv_nsec;
}

}  // namespace

int build_playlist_file(std::string_view name, FILE* list) {
  if (!is_valid_playlist_name(name)) return 1;
  FolderState record;
  if (build_playlist_at(playlist_path(name), list, &record) != 0) return 1;
  write_folder_state(name, record);
  return 0;
}

int build_playlist_at(const std::string& path, FILE* list, FolderState* record) {
  const StoredMusicRoots stored = stored_music_roots();
  if (!stored.readable) return 1;
  std::optional<AtomicFile> out = AtomicFile::Create(path);
  if (!out) return 1;
  out->SetBufferSize(1 << 16);
  Output output(out->stream(), stored.confined ? &stored.roots : nullptr);
  BeginRecord(record, stored);
  output.set_record(record);
  read_list_file(list, [&](const std::string& path) { AddPath(output, path); });
  return out->Commit() ? 0 : 1;
}

std::optional<SongCount> count_folder_songs(const std::string& folder,
                                           std::chrono::steady_clock::time_point deadline) {
  const StoredMusicRoots stored = stored_music_roots();
  if (!stored.readable) return std::nullopt;
  std::vector<std::string> roots = stored.roots;
  if (!stored.confined) {
    // Without stored roots a build follows links anywhere; a count, which
    // anyone on the network may ask for, tells nothing of what lies outside
    // the folders the picker offers.
    roots.clear();
    for (const std::string& root : music_roots()) {
      MallocText resolved(::realpath(root.c_str(), nullptr));
      if (resolved) roots.emplace_back(resolved.get());
    }
  }
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  Output output(&roots, deadline);
  ScanFolder(output, folder);
  return SongCount{output.lines(), output.timed_out()};
}

namespace {

// The stream a rebuild writes to: it compares what is written with the old
// file and starts the new file only at the first difference, copying the
// part that matched.
class ChangeWriter {
 public:
  explicit ChangeWriter(std::string target)
      : target_(std::move(target)),
        old_(::open(target_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY)) {
    struct stat st;
    if (old_.valid() && (::fstat(old_.get(), &st) != 0 || !S_ISREG(st.st_mode))) old_.reset();
  }

  // A stdio stream over this writer; owned by the caller, closed before
  // Finish.
  FILE* Open() {
    cookie_io_functions_t io{};
    io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
      return static_cast<ChangeWriter*>(cookie)->Write(data, size) ? static_cast<ssize_t>(size) : -1;
    };
    return ::fopencookie(this, "w", io);
  }

  RebuildResult Finish() {
    if (failed_) return RebuildResult::kFailed;
    if (!out_) {
      struct stat st;
      // Everything matched: unchanged unless the old file is longer.
      if (old_.valid() && ::fstat(old_.get(), &st) == 0 && st.st_size == matched_) return RebuildResult::kUnchanged;
      if (!StartNewFile()) return RebuildResult::kFailed;
    }
    return out_->Commit() ? RebuildResult::kChanged : RebuildResult::kFailed;
  }

 private:
  bool Write(const char* data, std::size_t size) {
    if (failed_) return false;
    if (!out_) {
      std::size_t same = old_.valid() ? SameBytes(data, size) : 0;
      matched_ += static_cast<off_t>(same);
      if (same == size) return true;
      if (!StartNewFile()) return false;
      data += same;
      size -= same;
    }
    return std::fwrite(data, 1, size, out_->stream()) == size;
  }

  // How many of `data` equal the old file's bytes from `matched_` on.
  std::size_t SameBytes(const char* data, std::size_t size) {
    char buffer[8192];
    std::size_t same = 0;
    while (same < size) {
      std::size_t want = std::min(sizeof buffer, size - same);
      ssize_t n = ::pread(old_.get(), buffer, want, matched_ + static_cast<off_t>(same));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::size_t k = 0;
      while (k < static_cast<std::size_t>(n) && buffer[k] == data[same + k]) ++k;
      same += k;
      if (k < static_cast<std::size_t>(n)) break;
    }
    return same;
  }

  // Opens the new file and copies into it the part of the old one that
  // matched.
  bool StartNewFile() {
    std::optional<AtomicFile> created = AtomicFile::Create(target_);
    if (!created) return !(failed_ = true);
    out_.emplace(std::move(*created));
    out_->SetBufferSize(1 << 16);
    char buffer[8192];
    for (off_t copied = 0; copied < matched_;) {
      std::size_t want = static_cast<std::size_t>(std::min<off_t>(sizeof buffer, matched_ - copied));
      ssize_t n = ::pread(old_.get(), buffer, want, copied);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return !(failed_ = true);
      std::fwrite(buffer, 1, static_cast<std::size_t>(n), out_->stream());
      copied += n;
    }
    return true;
  }

  std::string target_;
  UniqueFd old_;
  off_t matched_ = 0;
  std::optional<AtomicFile> out_;
  bool failed_ = false;
};

}  // namespace

RebuildResult rebuild_playlist_file(std::string_view name, FILE* list, WhenNoneFound none_found) {
  const StoredMusicRoots stored = stored_music_roots();
  if (!is_valid_playlist_name(name) || !stored.readable) return RebuildResult::kFailed;
  ChangeWriter writer(playlist_path(name));
  std::unique_ptr<FILE, FileCloser> stream(writer.Open());
  if (!stream) return RebuildResult::kFailed;
  std::vector<char> buffer(1 << 16);
  std::setvbuf(stream.get(), buffer.data(), _IOFBF, buffer.size());
  Output output(stream.get(), stored.confined ? &stored.roots : nullptr);
  FolderState record;
  BeginRecord(&record, stored);
  output.set_record(&record);
  read_list_file(list, [&](const std::string& path) { AddPath(output, path); });
  bool flushed = std::fclose(stream.release()) == 0;
  if (flushed && none_found == WhenNoneFound::kKeepSongs && output.lines() == 0 &&
      count_file_lines(playlist_path(name)).value_or(0) > 0) {
    return RebuildResult::kNoneFound;  // the writer's new file, if any, is discarded
  }
  RebuildResult result = flushed ? writer.Finish() : RebuildResult::kFailed;
  // After the playlist: a record that claims a newer state than the
  // playlist's would hide a change for good.
  if (result != RebuildResult::kFailed) write_folder_state(name, record);
  return result;
}
