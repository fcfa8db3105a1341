#ifndef LIB_SPAWN_H_
#define LIB_SPAWN_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The folders a program is looked for in, in order: the entries of PATH
// (empty ones passed over), the folder of the running program itself, then
// /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin and /bin. A web
// server may give its CGI programs no PATH at all (Debian's lighttpd gives
// none), and a PATH that is set may leave out /usr/local, where a device's
// owner installs programs by hand.
std::vector<std::string> program_search_folders();

// The path of the executable regular file `name` in the first of
// program_search_folders that holds one; `name` itself when it holds a "/".
// Nothing when none does.
std::optional<std::string> find_program(std::string_view name);

// Waits for child `pid` to end, for at most `deadline`; one still running
// then is killed (signal 9) and reaped. Returns its wait status, or nothing
// when it was killed for the deadline or cannot be waited for.
std::optional<int> wait_for_child(pid_t pid, std::chrono::milliseconds deadline);

// Starts the program `argv[0]`, looked up by find_program, with exactly the
// arguments in `argv`: no shell sees them. Standard input and output are
// /dev/null; standard error is /dev/null too when `quiet_stderr` is set, and
// inherited otherwise. Waits for the program to end.
//
// When `lock_fd` is not -1, the program inherits that descriptor (the command
// lock; every other descriptor of ours is close-on-exec) and finds its number
// in the environment variable WAVELORN_LOCK_FD.
//
// A program still running after `deadline` is killed (signal 9) and reaped.
//
// Returns its exit status (128 + the signal when a signal ended it), or -1
// when it could not be started (not found, not executable) or was killed for
// running past the deadline.
int run_program(const std::vector<std::string>& argv, bool quiet_stderr, int lock_fd = -1,
                std::chrono::milliseconds deadline = std::chrono::minutes(5));

#endif  // LIB_SPAWN_H_
