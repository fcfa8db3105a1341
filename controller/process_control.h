#ifndef CONTROLLER_PROCESS_CONTROL_H_
#define CONTROLLER_PROCESS_CONTROL_H_

// Starting and stopping the streaming processes: the icecast server and one
// ices source client per enabled playlist. Programs are looked up on the
// search path and started from argument vectors, so no name or path is ever
// read by a shell; their output goes to /dev/null. They run as the stream
// user (the config directory's owner, see lib/process_table.h) whoever
// starts them, so the web page and root's boot and cron runs stop and
// replace each other's. A program that cannot be found is not started, and
// a line on standard error says where it was looked for (lib/spawn.h).

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "lib/process_table.h"

// Kills (signal 9) every server of ours on the config directory's
// icecast.xml, stopped ones too, and waits at most two seconds until they are
// gone. Another user's servers, and servers started on another config, are
// never touched.
void kill_server();

// Kills our servers, then launches "icecast -c CONFDIR/icecast.xml -b" and
// records the daemon it leaves (its process id and start time, see
// server_record_path in lib/process_table.h; no record when it cannot be
// told which it is);
// when icecast.xml does not exist yet (a fresh install), writes it first for
// the stored port (8000 when none or an invalid one is stored; nothing when
// the server settings cannot be read).
void start_server();

// Launches "ices -c CONFDIR/ices.conf-NAME -B" when the playlist's "enabled"
// setting starts with "1" and no source client of the playlist runs yet (a
// stopped client of ours is killed first: it counts as not running).
// Does nothing when the name cannot name a playlist or its settings file
// cannot be opened. Returns true when it launched a client; false when there
// was nothing to start or ices could not be run (said on standard error).
bool start_playlist(std::string_view name);

// Kills with signal 9 every source client of ours of the playlist, stopped
// ones too, and no other process.
void stop_playlist(std::string_view name);

// Kills (signal 9) the source clients of ours whose config names a playlist
// that has no playlist file any more (a delete whose stop did not take, a
// deletion by hand), stopped ones too, waiting as stop_playlist does.
void stop_clients_of_gone_playlists();

// Starts the server and every enabled playlist's client afresh: the clients
// of enabled playlists are stopped first (a client streams to the server it
// found at its start and does not find a new one), then the server is
// replaced (start_server), then start_all_playlists. A client of a playlist
// whose settings cannot be read is left as it is: not known to be off.
void start_all_streams();

// Apply start_playlist or stop_playlist to every playlist that has a playlist
// file ("playlist-NAME") in the config directory, in directory order.
// start_all_playlists first stops the clients of playlists that are gone
// (stop_clients_of_gone_playlists), as a check does.
void start_all_playlists();
void stop_all_playlists();

#endif  // CONTROLLER_PROCESS_CONTROL_H_
