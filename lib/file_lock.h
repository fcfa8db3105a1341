#ifndef LIB_FILE_LOCK_H_
#define LIB_FILE_LOCK_H_

#include <chrono>

// Takes an exclusive flock on `fd`, waiting at most `deadline` for another
// holder to let go. Returns true when the lock is held. Returns false when the
// deadline passed or the lock call failed for another reason; nothing is held
// then. Taking a lock that this open file description holds already succeeds
// at once (a child that inherited the descriptor "takes" its parent's lock).
bool lock_exclusive(int fd, std::chrono::milliseconds deadline);

// Takes a shared flock on `fd` in the same way: any number of shared holders
// at once, none beside an exclusive one. A descriptor opened read-only can
// carry it, so readers need no write access to the file or its volume.
bool lock_shared(int fd, std::chrono::milliseconds deadline);

#endif  // LIB_FILE_LOCK_H_
