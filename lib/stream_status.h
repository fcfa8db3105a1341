#ifndef LIB_STREAM_STATUS_H_
#define LIB_STREAM_STATUS_H_

// How the streams are: the server and each playlist's source clients as they
// run now, against what the settings ask for; and the record of restarts
// that keeps a client that dies again and again from being restarted for
// ever.

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PlaylistStatus {
  std::string name;
  bool enabled = false;
  // Its settings file exists but cannot be read (or locked): whether it is
  // to run is not known, so nothing is started or stopped for it.
  bool unreadable = false;
  std::vector<pid_t> clients;  // its running source clients
  bool given_up = false;       // restarted too often lately: left alone
};

struct ServerStatus {
  std::vector<pid_t> pids;  // running servers on the config directory's icecast.xml
  std::string port;         // the stored port (the default when it cannot be read)
  // False when the server settings file exists but cannot be read: the port
  // (and whether the server is where it should be) is not known.
  bool port_known = true;
  bool listening = false;   // the port accepts a connection on 127.0.0.1
  // Whether the listener on the port is one of `pids`: nothing when that
  // cannot be told (their descriptors are not ours to read).
  std::optional<bool> ours_listening;
  // The server the controller recorded at its launch, when it still runs
  // (see recorded_server in lib/process_table.h), and whether it holds the
  // listening socket itself (nothing when that cannot be told).
  std::optional<pid_t> recorded;
  std::optional<bool> recorded_listening;

  // True when the listener is known to be the server we started: only then
  // is it sent the password. A server running without a record (started
  // before records were kept) serves its streams but is not asked.
  bool serving() const { return recorded_listening.value_or(false); }

  // True when a server of ours runs and listens on the stored port itself
  // (or, when that cannot be told, the port is open): clients can stream.
  bool up() const;
};

struct StreamStatus {
  ServerStatus server;
  std::vector<PlaylistStatus> playlists;  // one per playlist file, in byte order

  // True when everything that should run runs: the server, listening on the
  // stored port itself (or, when that cannot be told, with the port open),
  // and a client of every enabled playlist; false while the server's or a
  // playlist's settings are unreadable.
  bool healthy() const;
};

// Looks at the config directory and the process table. Reads no file twice
// and changes nothing; the port check waits at most half a second.
StreamStatus collect_stream_status();

// The config directory as the changing commands find it.
struct ConfDirState {
  bool writable = true;  // it exists and this user may make and rename files in it
  bool busy = false;     // a changing command or a controller action holds the command lock
};

// Looks without taking the command lock or creating a file: a look at the
// lock file (".wl-lock") with a shared, non-blocking flock that is released
// at once.
ConfDirState conf_dir_state();

// A client that has been started by a check kMaxRestarts times within
// kRestartWindow and is down again is left alone until its settings change,
// however long ago that was.
inline constexpr int kMaxRestarts = 3;
inline constexpr std::time_t kRestartWindow = 600;

// True when the playlist's client is to be left alone (see above).
bool restarts_exhausted(std::string_view name);

// Records that a check started the playlist's client at `now`. Call only
// while holding the command lock. Returns false when the record cannot be
// written.
bool record_restart(std::string_view name, std::time_t now);

#endif  // LIB_STREAM_STATUS_H_
