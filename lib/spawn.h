#ifndef LIB_SPAWN_H_
#define LIB_SPAWN_H_

#include <string>
#include <vector>

// Starts the program `argv[0]`, looked up on the search path, with exactly the
// arguments in `argv`: no shell sees them. Standard input and output are
// /dev/null; standard error is /dev/null too when `quiet_stderr` is set, and
// inherited otherwise. Waits for the program to end.
//
// Returns its exit status (128 + the signal when a signal ended it), or -1
// when it could not be started (not found, not executable).
int run_program(const std::vector<std::string>& argv, bool quiet_stderr);

#endif  // LIB_SPAWN_H_
