#ifndef LIB_COMMAND_LOCK_H_
#define LIB_COMMAND_LOCK_H_

// Commands that change the config directory or the running streams run one
// after another: each changing web command and each controller action holds
// the command lock, an exclusive flock on ".wl-lock" in the config directory,
// for its whole run. Queries and the playlist table do not take it.
//
// A controller that a command runs inherits the lock instead of waiting for
// it: the command passes its descriptor to the child (see
// kInheritedLockVariable), and flock on the same open file description is
// granted at once. A descriptor that does not name the lock file is ignored.
//
// Whoever takes the lock fresh also clears up after runs that were killed:
// leftover temporary files are removed, and a command that left a journal
// entry is finished or undone (see complete_interrupted_command).

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "lib/unique_fd.h"

// The environment variable that names the inherited lock descriptor.
inline constexpr char kInheritedLockVariable[] = "WAVELORN_LOCK_FD";
inline constexpr std::chrono::seconds kCommandLockDeadline{120};

class CommandLock {
 public:
  enum class State {
    kHeld,         // this process holds the lock
    kNoDirectory,  // the config directory does not exist: nothing to protect
    kFailed,       // the lock could not be had in time (or at all)
  };

  // Takes the lock of the current config directory, or adopts the one
  // inherited from the parent, waiting at most `deadline`. When taken fresh,
  // removes temporary files (".wl-" and six characters) that are older than
  // this process and so were left by a killed run.
  static CommandLock Acquire(std::chrono::milliseconds deadline = kCommandLockDeadline);

  CommandLock(CommandLock&&) = default;
  CommandLock& operator=(CommandLock&&) = default;

  State state() const { return state_; }
  bool held() const { return state_ == State::kHeld; }
  // True when the lock was inherited from a parent command, which then also
  // owns the clean-up.
  bool inherited() const { return inherited_; }
  // The descriptor that holds the lock (-1 when none); owned by this object.
  int fd() const { return fd_.get(); }

 private:
  CommandLock() = default;

  State state_ = State::kFailed;
  bool inherited_ = false;
  UniqueFd fd_;
};

// A changing command that must be finished or undone when it is killed half
// way records itself first in the journal (".wl-journal", replaced
// atomically) and removes the record when it is done. Only the holder of the
// command lock writes it, so there is at most one record.
struct JournalEntry {
  std::string action;    // "set", "new" or "del"
  std::string argument;  // the port or the playlist name
};

// Records `entry`. Returns false when it cannot be written.
bool journal_begin(const JournalEntry& entry);

// Removes the record.
void journal_end();

// The record a killed command left behind, if any.
std::optional<JournalEntry> journal_read();

// Finishes or undoes what the journal records, then removes the record:
// - "set PORT": every file follows PORT again (server settings, icecast.xml,
//   the Port line of every source client config); returns true, since the
//   streams must then be restarted, and leaves the record for the caller to
//   remove with journal_end once they have (a kill before that repeats the
//   whole recovery); when a step fails the record stays for the next holder;
// - "new NAME": when the playlist file of NAME does not exist, the settings
//   file and the source client config that the create wrote are removed;
// - "del NAME": `stop_playlist` is called with NAME and the playlist's files
//   are removed.
// Returns whether the caller must restart every stream. Call it only while
// holding the command lock.
bool complete_interrupted_command(const std::function<void(std::string_view)>& stop_playlist);

// Removes the settings file and the source client config of `name` when its
// playlist file does not exist (a create that did not get that far).
void remove_unfinished_playlist(std::string_view name);

#endif  // LIB_COMMAND_LOCK_H_
