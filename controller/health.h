#ifndef CONTROLLER_HEALTH_H_
#define CONTROLLER_HEALTH_H_

// The controller's view of the streams as they run: status, the check that
// brings them in line with the settings, and the rescan of chosen folders.

#include <string_view>

// Exit statuses of "status" and "check".
inline constexpr int kAllUp = 0;
inline constexpr int kSomethingDown = 3;
// Any action but status: another process held the command lock for the
// whole wait, and nothing was done (sysexits' EX_TEMPFAIL: try again later).
inline constexpr int kCommandLockBusy = 75;

// Prints one tab-separated line for the server and one per playlist file to
// standard output (see the README for the format), then one per playlist
// whose create could not write its scan and one for a recorded change that
// waits. Returns kAllUp when everything that should run runs and no change
// waits, else kSomethingDown.
int print_status();

// Starts the server when none runs (and waits up to five seconds for it to
// listen on the stored port), starts the client of each enabled
// playlist that has none (unless it has been restarted too often lately),
// and stops the clients of playlists that are disabled or gone. Leaves alone
// whatever runs as it should. Returns what print_status would return after.
// With `follow_folders` (the caller holds the command lock and no recorded
// change waits), first rebuilds as a rescan does each playlist whose
// searched folders changed since its last build (or that has no record of
// them), sends its running clients SIGHUP when its file changed, and prints
// "rescanned NAME: N songs (+D)" for it on standard output.
int check_streams(bool follow_folders);

// Rebuilds the playlist file of `name` ("all": of every playlist) from its
// stored folders, writing only when the contents changed, and then sends
// SIGHUP to exactly that playlist's source clients so that they read it
// again. A rebuild that succeeds ends the incomplete state of a create whose
// scan could not be written. A playlist without stored folders is passed over, and so are stored
// folders without a playlist file (left by a deletion by hand). Returns 0, or 1
// when a named playlist has no stored folders or cannot be rebuilt.
int rescan(std::string_view name);

#endif  // CONTROLLER_HEALTH_H_
