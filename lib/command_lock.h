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
// leftover temporary files are removed here, and the change a run left
// recorded is finished by the caller (see lib/change.h).

#include <chrono>
#include <string>

#include "lib/unique_fd.h"

// The environment variable that names the inherited lock descriptor.
inline constexpr char kInheritedLockVariable[] = "WAVELORN_LOCK_FD";
inline constexpr std::chrono::seconds kCommandLockDeadline{120};

class CommandLock {
 public:
  enum class State {
    kHeld,         // this process holds the lock
    kNoDirectory,  // the config directory does not exist: nothing to protect
    kBusy,         // another process held it for the whole wait
    kFailed,       // the lock file cannot be opened or made (a read-only
                   // volume without one): no one else can hold it either
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

#endif  // LIB_COMMAND_LOCK_H_
