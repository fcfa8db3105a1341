#include "lib/folder_state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"

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
    std::size_t size = Number<std::size_t>(':');
    if (!ok_ || size >= text_.size() || text_[size] != after) {
      ok_ = false;
      return {};
    }
    std::string text(text_.substr(0, size));
    text_.remove_prefix(size + 1);
    return text;
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

std::int64_t Nanoseconds(std::int64_t sec, std::int64_t nsec) { return sec * 1'000'000'000 + nsec; }

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

std::optional<FolderState> parse_folder_state(std::string_view text) {
  Reader in(text);
  FolderState state;
  in.Literal(kHeader);
  in.Literal("scan ");
  state.scan_sec = in.Number<std::int64_t>(' ');
  state.scan_nsec = in.Number<std::int64_t>('\n');
  in.Literal("roots ");
  const int confined = in.Number<int>(' ');
  state.confined = confined == 1;
  if (confined != 0 && confined != 1) return std::nullopt;
  for (std::size_t n = in.Count(3); in.ok() && state.roots.size() < n;) state.roots.push_back(in.Text('\n'));
  in.Literal("fields ");
  for (std::size_t n = in.Count(3); in.ok() && state.fields.size() < n;) state.fields.push_back(in.Text('\n'));
  in.Literal("stamps ");
  for (std::size_t n = in.Count(17); in.ok() && state.stamps.size() < n;) {
    FolderStamp s;
    s.kind = static_cast<FolderStamp::Kind>(in.OneOf("mdo", ' '));
    s.dev = in.Number<std::uint64_t>(' ');
    s.ino = in.Number<std::uint64_t>(' ');
    s.mtime_sec = in.Number<std::int64_t>(' ');
    s.mtime_nsec = in.Number<std::int64_t>(' ');
    s.ctime_sec = in.Number<std::int64_t>(' ');
    s.ctime_nsec = in.Number<std::int64_t>(' ');
    s.path = in.Text('\n');
    state.stamps.push_back(std::move(s));
  }
  in.Literal(kTrailer);
  if (!in.ok() || !in.at_end()) return std::nullopt;
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
  if (recorded.fields != fields || recorded.confined != confined || recorded.roots != roots) {
    return FolderCheck::kChanged;
  }
  const std::int64_t scan = Nanoseconds(recorded.scan_sec, recorded.scan_nsec);
  bool uncertain = false;
  for (const FolderStamp& stamp : recorded.stamps) {
    if (stamp_path(stamp.path) != stamp) return FolderCheck::kChanged;
    uncertain = uncertain || (stamp.kind == FolderStamp::Kind::kFolder &&
                              (Nanoseconds(stamp.mtime_sec, stamp.mtime_nsec) > scan - kGranularityNsec ||
                               Nanoseconds(stamp.ctime_sec, stamp.ctime_nsec) > scan - kGranularityNsec));
  }
  return uncertain ? FolderCheck::kUncertain : FolderCheck::kUnchanged;
}

FolderCheck check_folder_state(std::string_view name, const std::vector<std::string>& fields, bool confined,
                               const std::vector<std::string>& roots) {
  std::optional<FolderState> recorded = read_folder_state(name);
  if (!recorded) return FolderCheck::kNoRecord;
  return compare_folder_state(*recorded, fields, confined, roots);
}
