#ifndef LIB_SETTINGS_FILE_H_
#define LIB_SETTINGS_FILE_H_

// A settings file is a small text file of "name=value" lines. Opening it for
// writing takes an exclusive flock, opening it for reading a shared one
// through a read-only descriptor (so that a volume remounted read-only still
// reads); either is held until the close. Every change lives in memory until
// the close, which replaces the file atomically and only when something was
// set.
//
// Reading accepts more than writing produces: blank lines, lines starting with
// a carriage return and lines without "=" are skipped (and so are gone after
// the next rewrite); a leading "#" or "!" marks an entry as commented; the
// name is everything before the first "=" and the value everything after it,
// untrimmed, with only the line feed removed. Lines of any length are read
// whole. Duplicate names are all kept in file order.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/unique_fd.h"

// Error codes recorded in cfg_last_error by a failed open.
enum {
  CFGERR_NONE = 0,
  CFGERR_NULL_POINTER = 1,
  CFGERR_OPEN = 2,
  CFGERR_LOCK = 3,
  CFGERR_NOMEM = 4,
  CFGERR_LAST = 5,
};

// The code of the last failed cfg_open; reset to CFGERR_NONE by cfg_close.
extern int cfg_last_error;

// Returns the static message for codes 0 to 5, or nullptr for any other value.
const char* cfg_strerror(int code);

struct SettingsEntry {
  std::string name;
  std::string value;
  bool commented = false;  // written back with a leading "#"
};

// Settings files hold a handful of lines; anything larger is not one of ours
// and is treated as unreadable rather than loaded into memory.
inline constexpr long kMaxSettingsFileSize = 64 * 1024;

// An open, locked settings file. Callers get it from cfg_open and hand it back
// to cfg_close; it owns its descriptor (and so the lock) and its entries.
class SettingsFile {
 public:
  const std::vector<SettingsEntry>& entries() const { return entries_; }
  // False when cfg_open found no file and was told not to create one; the
  // handle then holds no entries and no descriptor.
  bool exists() const { return fd_.valid(); }

 private:
  friend std::unique_ptr<SettingsFile> cfg_open(const std::string& path, bool create);
  friend int cfg_set(SettingsFile& file, std::string_view name, std::string_view value);
  friend int cfg_close(std::unique_ptr<SettingsFile> file);

  std::string path_;
  UniqueFd fd_;
  dev_t dev_ = 0;  // identity of the locked file
  ino_t ino_ = 0;
  bool dirty_ = false;
  bool read_only_ = false;  // opened for reading: the close writes nothing
  std::vector<SettingsEntry> entries_;
};

// The entries of settings file contents `data`, by the reading rules above.
std::vector<SettingsEntry> parse_settings(std::string_view data);

// The contents a rewrite writes for `entries`: "NAME=VALUE" lines in their
// order, a commented one behind a "#". The one writer of the format (the
// journal's staged settings files too).
std::string format_settings(const std::vector<SettingsEntry>& entries);

// Opens and locks the file at `path` and reads its entries. With `create` set
// it opens for writing: a missing file is created empty (mode
// kPrivateFileMode) and the lock is exclusive. Otherwise it opens for reading: a shared
// lock on a read-only descriptor; a missing file gives a handle that holds no
// entries, creates nothing and answers exists() false; and cfg_close of such
// a handle writes nothing (it answers 1 when something was set).
//
// The file is opened without following a symbolic link and without blocking,
// must be a regular file of at most kMaxSettingsFileSize bytes, and the lock
// is awaited for at most 30 seconds. Returns nullptr with cfg_last_error set
// to CFGERR_OPEN when the file cannot be opened or created or fails those
// tests, and CFGERR_LOCK when it cannot be locked. Leaves cfg_last_error
// alone on success.
std::unique_ptr<SettingsFile> cfg_open(const std::string& path, bool create = true);

// Removes the settings file at `path` while holding its lock, so that a writer
// that holds it meanwhile finishes first and cannot bring the file back
// afterwards. A name that is not a regular file (a planted link) is removed
// as it is. Returns 0 when nothing is left at `path`, else 1.
int cfg_remove(const std::string& path);

// Returns the value of the first uncommented entry named exactly `name`, or an
// empty text when there is none.
std::string cfg_get(const SettingsFile& file, std::string_view name);

// Gives the first entry named `name` (commented or not) the value and brings it
// back into force, or appends a new entry. Always marks the file for rewrite.
// Returns 0.
int cfg_set(SettingsFile& file, std::string_view name, std::string_view value);

// Writes the entries back when something was set, then unlocks and closes.
// Sets cfg_last_error to CFGERR_NONE. Returns 0, or 1 when the rewrite failed,
// the handle was opened for reading, or the file was removed or replaced since
// it was opened (the path is then
// left as it is: a deleted file does not come back). Returns -1 for a null
// handle.
int cfg_close(std::unique_ptr<SettingsFile> file);

// cfg_open (without creating), cfg_get, cfg_close in one call: a missing file
// reads as an empty one; nothing when the open fails.
std::optional<std::string> cfg_file_get(const std::string& path, std::string_view name);

// cfg_open, cfg_set, cfg_close in one call. Returns 0, 1 when the rewrite
// failed, or -1 when the open fails.
int cfg_file_set(const std::string& path, std::string_view name, std::string_view value);

#endif  // LIB_SETTINGS_FILE_H_
