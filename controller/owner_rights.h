#ifndef CONTROLLER_OWNER_RIGHTS_H_
#define CONTROLLER_OWNER_RIGHTS_H_

// Root's runs (the boot script, cron, the installer) act in folders that
// another user owns: the config directory, the log folder, the music
// folders. Whoever owns a folder can plant links and hard links there to any
// file (a device's old kernel lets any user hard-link any file); root
// following one would truncate, copy or hand over a file that is root's
// alone. So root does that work as the folder's owner: with the owner's
// rights and no more, the owner's own files are all it can reach.

#include <sys/types.h>

#include <chrono>
#include <functional>

// Takes on `user` and `group` for good, with no supplementary groups (as
// the streams are started). Returns false, having changed nothing that
// matters, when the kernel refuses.
bool become_user(uid_t user, gid_t group);

// Runs `work` as `user`:`group` and returns its result: in a forked child
// that takes them on when this process runs as root and `user` is not root,
// else here. The child is waited for at most `deadline`, then killed.
// Returns -1 when the child cannot be made, cannot take on the user, dies or
// is killed.
int run_as_user(uid_t user, gid_t group, const std::function<int()>& work, std::chrono::milliseconds deadline);

// "tarnwick as-owner DIR PROGRAM ARG...": for the installer's scripts, which
// run as root. Opens folder DIR (a link there is refused, not followed), takes on its owner and group (when run as
// root and the owner is not root), enters it and runs PROGRAM with the
// arguments from the search path, so that the script's file work there
// (relative names) has the owner's rights. A folder of root's that others
// may write to (group or other write bit) is refused: working there as root
// is what this mode exists to avoid. Returns only on failure, with a message
// on standard error: 1 when DIR is refused or cannot be had, 127 when
// PROGRAM cannot be run.
int exec_as_owner(const char* dir, char* const program_argv[]);

#endif  // CONTROLLER_OWNER_RIGHTS_H_
