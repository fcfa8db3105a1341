#include "lib/folder_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <ctime>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::string_view kHeader = "wavelorn folder state 1\n";
constexpr std::string_view kTrailer = "end\n";
// A record larger than this is no record of ours (a million folders).
constexpr std::size_t kMaxRecord = std::size_t{256} << 20;
// FAT keeps modification times to two seconds: a folder changed within that
// of the search may show the times it had before.
constexpr std::int64_t kGranularityNsec = 2'000'000'000;

void PutNumber(std::string& out, std::int64_t n) { out += std::to_string(n); }
void PutText(std::string& out, std::string_view text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
}

// Reads what PutNumber and PutText wrote, strictly: any other byte fails it.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  bool Literal(std::string_view word) {
    if (!ok_ || !text_.starts_with(word)) return ok_ = false;
    text_.remove_prefix(word.size());
    return true;
  }
  template <typename T>
  T Number(char after) {
    T value{};
    const char* end = text_.data() + text_.size();
    auto [ptr, ec] = std::from_chars(text_.data(), end, value);
    if (!ok_ || ec != std::errc() || ptr == end || *ptr != after) {
      ok_ = false;
      return T{};
    }
    text_.remove_prefix(static_cast<std::size_t>(ptr - text_.data()) + 1);
    return value;
  }
  std::string Text(char after) {
    std::string text;
    Text(after, text);
    return text;
  }
  // Into `text`, whose storage is reused.
  void Text(char after, std::string& text) {
    std::size_t size = Number<std::size_t>(':');
    if (!ok_ || size >= text_.size() || text_[size] != after) {
      ok_ = false;
      return;
    }
    text.assign(text_.data(), size);
    text_.remove_prefix(size + 1);
  }
  // A count of items that each take at least `min_bytes`: never more than
  // the rest could hold, so that garbage cannot ask for a huge reservation.
  std::size_t Count(std::size_t min_bytes) {
    std::size_t n = Number<std::size_t>('\n');
    if (n > text_.size() / min_bytes) ok_ = false;
    return ok_ ? n : 0;
  }
  // One of `chars`, then `after`.
  char OneOf(std::string_view chars, char after) {
    if (!ok_ || text_.size() < 2 || chars.find(text_[0]) == std::string_view::npos || text_[1] != after) {
      ok_ = false;
      return chars.front();
    }
    char c = text_[0];
    text_.remove_prefix(2);
    return c;
  }
  bool ok() const { return ok_; }
  bool at_end() const { return text_.empty(); }

 private:
  std::string_view text_;
  bool ok_ = true;
};

// Whether `st` is what `stamp` recorded, as stamp_from would stamp it.
bool Same(const FolderStamp& stamp, const struct stat& st) {
  const bool folder = S_ISDIR(st.st_mode);
  if (stamp.kind != (folder ? FolderStamp::Kind::kFolder : FolderStamp::Kind::kOther) || stamp.dev != st.st_dev ||
      stamp.ino != st.st_ino) {
    return false;
  }
  return !folder || (stamp.mtime_sec == st.st_mtim.tv_sec && stamp.mtime_nsec == st.st_mtim.tv_nsec &&
                     stamp.ctime_sec == st.st_ctim.tv_sec && stamp.ctime_nsec == st.st_ctim.tv_nsec);
}

// Times far beyond any clock (a file system takes them) are held at a bound,
// so that the product cannot overflow.
std::int64_t Nanoseconds(std::int64_t sec, std::int64_t nsec) {
  constexpr std::int64_t kBoundSec = 9'000'000'000;
  return std::clamp(sec, -kBoundSec, kBoundSec) * 1'000'000'000 + std::clamp<std::int64_t>(nsec, 0, 999'999'999);
}

std::int64_t NowNanoseconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now.tv_sec, now.tv_nsec);
}

// Stats stamped paths in the order of the search, each by its name in its
// folder: the search stamps a folder's subfolders one after another, so
// that a stat then walks one name instead of the whole path (the
// comparison is meant to cost a small part of a search). The folders open
// for that are those on the current path, at most one per level.
class Stater {
 public:
  // stat(2) of `path`; false when it fails.
  bool Stat(const std::string& path, struct stat& st) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name(path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
    if (slash == std::string::npos || slash == 0 || name.empty() || name == "." || name == "..") {
      return ::stat(path.c_str(), &st) == 0;
    }
    const int fd = Open(std::string_view(path.data(), slash));
    if (fd < 0) return ::stat(path.c_str(), &st) == 0;
    return ::fstatat(fd, name.data(), &st, 0) == 0;
  }

 private:
  // The folder at `folder` open for stats in it; -1 when it cannot be.
  int Open(std::string_view folder) {
    // Those open that do not lead to it are done with.
    while (!open_.empty() && !(folder == open_.back().first ||
                               (folder.starts_with(open_.back().first) && folder[open_.back().first.size()] == '/'))) {
      open_.pop_back();
    }
    if (!open_.empty() && open_.back().first == folder) return open_.back().second.get();
    // A subfolder of the one open is opened by its name in it: one name to
    // look up rather than the whole path.
    UniqueFd fd;
    const std::size_t slash = folder.rfind('/');
    if (!open_.empty() && slash == open_.back().first.size() && folder.size() > slash + 1) {
      const std::string name(folder.substr(slash + 1));
      if (name != "." && name != "..") {
        fd = UniqueFd(::openat(open_.back().second.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      }
    }
    if (!fd.valid()) fd = UniqueFd(::open(std::string(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    open_.emplace_back(std::string(folder), std::move(fd));
    return open_.back().second.get();
  }

  std::vector<std::pair<std::string, UniqueFd>> open_;
};

}  // namespace

FolderStamp stamp_from(std::string path, const struct stat& st) {
  FolderStamp stamp;
  stamp.path = std::move(path);
  stamp.kind = S_ISDIR(st.st_mode) ? FolderStamp::Kind::kFolder : FolderStamp::Kind::kOther;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  if (stamp.kind == FolderStamp::Kind::kFolder) {
    stamp.mtime_sec = st.st_mtim.tv_sec;
    stamp.mtime_nsec = st.st_mtim.tv_nsec;
    stamp.ctime_sec = st.st_ctim.tv_sec;
    stamp.ctime_nsec = st.st_ctim.tv_nsec;
  }
  return stamp;
}

FolderStamp stamp_path(std::string path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    FolderStamp missing;
    missing.path = std::move(path);
    return missing;
  }
  return stamp_from(std::move(path), st);
}

std::string format_folder_state(const FolderState& state) {
  std::string out(kHeader);
  out += "scan ";
  PutNumber(out, state.scan_sec);
  out += ' ';
  PutNumber(out, state.scan_nsec);
  out += "\nroots ";
  out += state.confined ? '1' : '0';
  out += ' ';
  PutNumber(out, static_cast<std::int64_t>(state.roots.size()));
  out += '\n';
  for (const std::string& root : state.roots) {
    PutText(out, root);
    out += '\n';
  }
  out += "fields ";
  PutNumber(out, static_cast<std::int64_t>(state.fields.size()));
  out += '\n';
  for (const std::string& field : state.fields) {
    PutText(out, field);
    out += '\n';
  }
  out += "stamps ";
  PutNumber(out, static_cast<std::int64_t>(state.stamps.size()));
  out += '\n';
  for (const FolderStamp& s : state.stamps) {
    out += static_cast<char>(s.kind);
    out += ' ';
    out += std::to_string(s.dev);
    out += ' ';
    out += std::to_string(s.ino);
    for (std::int64_t n : {s.mtime_sec, s.mtime_nsec, s.ctime_sec, s.ctime_nsec}) {
      out += ' ';
      PutNumber(out, n);
    }
    out += ' ';
    PutText(out, s.path);
    out += '\n';
  }
  out += kTrailer;
  return out;
}

namespace {

// The one reader of a record: its head into `state` (its stamps left as they
// are), then each stamp, in one reused object, to `each`, which returns
// false to stop. True only for a whole record read to its end.
template <typename Each>
bool ReadRecord(std::string_view text, FolderState& state, Each each) {
  Reader in(text);
  in.Literal(kHeader);
  in.Literal("scan ");
  state.scan_sec = in.Number<std::int64_t>(' ');
  state.scan_nsec = in.Number<std::int64_t>('\n');
  in.Literal("roots ");
  const int confined = in.Number<int>(' ');
  state.confined = confined == 1;
  if (confined != 0 && confined != 1) return false;
  for (std::size_t n = in.Count(3); in.ok() && state.roots.size() < n;) state.roots.push_back(in.Text('\n'));
  in.Literal("fields ");
  for (std::size_t n = in.Count(3); in.ok() && state.fields.size() < n;) state.fields.push_back(in.Text('\n'));
  in.Literal("stamps ");
  FolderStamp s;
  for (std::size_t n = in.Count(17), i = 0; in.ok() && i < n; ++i) {
    s.kind = static_cast<FolderStamp::Kind>(in.OneOf("mdo", ' '));
    s.dev = in.Number<std::uint64_t>(' ');
    s.ino = in.Number<std::uint64_t>(' ');
    s.mtime_sec = in.Number<std::int64_t>(' ');
    s.mtime_nsec = in.Number<std::int64_t>(' ');
    s.ctime_sec = in.Number<std::int64_t>(' ');
    s.ctime_nsec = in.Number<std::int64_t>(' ');
    in.Text('\n', s.path);
    if (in.ok() && !each(s)) return false;
  }
  in.Literal(kTrailer);
  return in.ok() && in.at_end();
}

// Compares stamps, one after another, with what is there now.
class Comparer {
 public:
  explicit Comparer(const FolderState& head)
      : scan_(Nanoseconds(head.scan_sec, head.scan_nsec)), now_(NowNanoseconds()) {}
  // False at the first stamp that differs.
  bool Same(const FolderStamp& stamp) {
    struct stat st;
    if (!stater_.Stat(stamp.path, st) ? stamp.kind != FolderStamp::Kind::kMissing : !::Same(stamp, st)) {
      return changed_ = false;
    }
    uncertain_ = uncertain_ || (stamp.kind == FolderStamp::Kind::kFolder &&
                                (Close(Nanoseconds(stamp.mtime_sec, stamp.mtime_nsec)) ||
                                 Close(Nanoseconds(stamp.ctime_sec, stamp.ctime_nsec))));
    return true;
  }
  FolderCheck result() const {
    return !changed_ ? FolderCheck::kChanged : uncertain_ ? FolderCheck::kUncertain : FolderCheck::kUnchanged;
  }

 private:
  // Whether a change could have left `time` as it was: a change at any
  // moment from the search until now sets the time to that moment, and on
  // a file system that keeps times coarsely (FAT: 2 s) that may be the time
  // already recorded. A time before the search, or one still ahead of now
  // (a folder copied from a machine whose clock ran fast), is certain; once
  // the clock reaches such a time it counts as uncertain, and the rebuild
  // that follows records a search after it.
  bool Close(std::int64_t time) const { return time > scan_ - kGranularityNsec && time <= now_ + kGranularityNsec; }

  std::int64_t scan_;
  std::int64_t now_;
  Stater stater_;
  bool changed_ = true;  // true while nothing differs
  bool uncertain_ = false;
};

bool SameHead(const FolderState& recorded, const std::vector<std::string>& fields, bool confined,
              const std::vector<std::string>& roots) {
  return recorded.fields == fields && recorded.confined == confined && recorded.roots == roots;
}

}  // namespace

std::optional<FolderState> parse_folder_state(std::string_view text) {
  FolderState state;
  if (!ReadRecord(text, state, [&](const FolderStamp& stamp) {
        state.stamps.push_back(stamp);
        return true;
      })) {
    return std::nullopt;
  }
  return state;
}

int write_folder_state(std::string_view name, const FolderState& state) {
  const std::string path = folder_state_path(name);
  if (write_file_atomically(path, format_folder_state(state)) == 0) return 0;
  ::unlink(path.c_str());
  return 1;
}

std::optional<FolderState> read_folder_state(std::string_view name) {
  std::optional<std::string> text = read_regular_file(folder_state_path(name), kMaxRecord);
  if (!text) return std::nullopt;
  return parse_folder_state(*text);
}

FolderCheck compare_folder_state(const FolderState& recorded, const std::vector<std::string>& fields, bool confined,
                                 const std::vector<std::string>& roots) {
  if (!SameHead(recorded, fields, confined, roots)) return FolderCheck::kChanged;
  Comparer comparer(recorded);
  for (const FolderStamp& stamp : recorded.stamps) {
    if (!comparer.Same(stamp)) break;
  }
  return comparer.result();
}

FolderCheck check_folder_state(std::string_view name, const std::vector<std::string>& fields, bool confined,
                               const std::vector<std::string>& roots) {
  std::optional<std::string> text = read_regular_file(folder_state_path(name), kMaxRecord);
  if (!text) return FolderCheck::kNoRecord;
  // Stamp by stamp as the record is read: a large record is never held
  // as a whole in a second form. The head comes first.
  FolderState head;
  std::optional<Comparer> comparer;
  bool same_head = false;
  const bool whole = ReadRecord(*text, head, [&](const FolderStamp& stamp) {
    if (!comparer) {
      same_head = SameHead(head, fields, confined, roots);
      comparer.emplace(head);
    }
    return same_head && comparer->Same(stamp);
  });
  if (!comparer) {  // a record without stamps
    if (!whole) return FolderCheck::kNoRecord;
    return SameHead(head, fields, confined, roots) ? Comparer(head).result() : FolderCheck::kChanged;
  }
  if (!same_head || comparer->result() == FolderCheck::kChanged) return FolderCheck::kChanged;
  return whole ? comparer->result() : FolderCheck::kNoRecord;
}
