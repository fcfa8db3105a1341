#ifndef LIB_SPAWN_H_
#define LIB_SPAWN_H_

#include <chrono>
#include <string>
#include <vector>

// Starts the program `argv[0]`, looked up on the search path, with exactly the
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
