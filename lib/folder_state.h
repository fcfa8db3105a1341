#ifndef LIB_FOLDER_STATE_H_
#define LIB_FOLDER_STATE_H_

// The state of the folders a playlist's last build searched, kept beside the
// playlist as ".wl-folders-NAME", so that "tarnwick check" can tell with a
// stat of each folder, and without reading any, that a rebuild would find
// nothing new. A folder's entries change its modification time; a change of
// its mode or ACL (whether it may be entered) changes its status change
// time; a folder put in its place (renamed, mounted over, a link retargeted)
// has another device or inode. What the record holds:
//
// - the stored folder fields the build read, and the music roots that
//   confined it: other fields or roots are another playlist;
// - a stamp of each stored field and of every folder the search entered or
//   tried to enter (one that was missing is stamped missing), under its
//   resolved path, and of each link to a folder under the path through the
//   link, so that a link led elsewhere since is seen too;
// - when the search began: a folder changed within the file system's time
//   granularity of that moment may carry the same times before and after
//   the change, so such a record is only "uncertain" (see check_folder_state).
//
// Paths may hold any byte but NUL: every text is written as its length and
// its bytes, and one reader and one writer go with the struct. A record
// that does not read back whole (garbage, cut short) is no record.

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One path as a build found it; followed through links as the search does.
struct FolderStamp {
  enum class Kind : char { kMissing = 'm', kFolder = 'd', kOther = 'o' };
  std::string path;
  Kind kind = Kind::kMissing;
  std::uint64_t dev = 0, ino = 0;
  // Only for folders: a file's times say nothing about the playlist.
  std::int64_t mtime_sec = 0, mtime_nsec = 0, ctime_sec = 0, ctime_nsec = 0;
  bool operator==(const FolderStamp&) const = default;
};

struct FolderState {
  std::vector<std::string> fields;  // the non-empty lines of the list file, in order
  bool confined = false;            // music roots confined the build ...
  std::vector<std::string> roots;   // ... to these
  std::int64_t scan_sec = 0, scan_nsec = 0;  // when the search began (the real-time clock)
  std::vector<FolderStamp> stamps;
  bool operator==(const FolderState&) const = default;
};

// The stamp of `path` from its stat result, or from a stat of it now
// (following links; missing when that fails).
FolderStamp stamp_from(std::string path, const struct stat& st);
FolderStamp stamp_path(std::string path);

// The record's bytes, and the record those bytes hold: nothing unless they
// are one whole record as format_folder_state writes it.
std::string format_folder_state(const FolderState& state);
std::optional<FolderState> parse_folder_state(std::string_view text);

// Replaces the record of playlist `name` atomically (private, as every file
// of ours). Where that fails, an old record is removed: it could claim an
// older state of the folders as the playlist's. Returns 0, or 1.
int write_folder_state(std::string_view name, const FolderState& state);

// The record of playlist `name`; nothing when it is missing or unreadable.
std::optional<FolderState> read_folder_state(std::string_view name);

enum class FolderCheck {
  kUnchanged,  // every stamp is as recorded: a rebuild would write the same
  kChanged,    // a stamp, the stored fields or the roots differ
  kUncertain,  // as recorded, but a folder changed so close to the search
               // that the times cannot tell: rebuild to be sure
  kNoRecord,   // no record, or one that cannot be read
};

// Compares the record of `name` with the stored folder fields `fields` and
// the music roots now, and stats every stamped path (no folder is read).
FolderCheck check_folder_state(std::string_view name, const std::vector<std::string>& fields, bool confined,
                               const std::vector<std::string>& roots);

// As check_folder_state, with the record given.
FolderCheck compare_folder_state(const FolderState& recorded, const std::vector<std::string>& fields, bool confined,
                                 const std::vector<std::string>& roots);

#endif  // LIB_FOLDER_STATE_H_
