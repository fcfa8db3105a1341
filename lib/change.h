#ifndef LIB_CHANGE_H_
#define LIB_CHANGE_H_

// A change of the config directory that touches more than one file: a port
// change, a create (fresh or over an existing playlist), a renew and a
// delete. Whatever fails, and wherever a run is killed, the files either
// stay as they were or end up all in the new state:
//
// 1. Prepare: every new file is written whole and synced beside its target
//    under a staged name (".wl-s-" and its number). Nothing that the programs
//    or the streams read has changed yet; when a file cannot be written, the
//    staged files are removed and the change is refused.
// 2. Record: the journal (".wl-journal") names the action, its argument and
//    the target of every staged file. From here on the change only goes
//    forward.
// 3. Apply: the staged files are renamed over their targets (a delete removes
//    the playlist's files instead), the streams follow, the directory is
//    synced, and the record is removed.
//
// A run that fails or is killed after step 2 leaves the record; the next
// holder of the command lock applies it (finish_recorded_change) before
// anything else. Renaming over a file needs no room on the disk (a new name
// seldom does), so a full disk does not stop that. When it cannot be applied
// either, the record stays and waits (waiting_change tells what and why),
// and the next changing command must refuse rather than start a change of
// its own; only a delete of another playlist goes ahead (see
// remove_playlist). The streams are stopped and started for a change only
// once all its files are in place: a change that waits leaves them running
// as they are, however often it is tried.
//
// Only the holder of the command lock may call these.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// How the running streams are made to follow a change: the web program runs
// the controller, the controller calls its own functions.
class StreamControl {
 public:
  // `target` is "all" (the server and every enabled playlist) or one name.
  virtual void Stop(std::string_view target) = 0;
  virtual void Start(std::string_view target) = 0;

 protected:
  ~StreamControl() = default;
};

enum class ChangeResult {
  kDone,     // every file and the streams follow the change; no record left
  kRefused,  // nothing changed: a new file could not be prepared or recorded
  kPending,  // recorded but not all applied: the next lock holder finishes it
};

// A recorded change that could not be applied.
struct WaitingChange {
  std::string action;    // "set", "new", "renew" or "del" ("unknown" for a record that cannot be read)
  std::string argument;  // the port or the playlist name ("-" when unknown)
  std::string reason;    // why it waits, a short phrase ("rename failed: Read-only file system")
};

// Applies the change that a failed or killed run left recorded, and removes
// staged files that no record names. Returns true when no record is left;
// otherwise `waiting`, when given, gets the change and why this try failed.
bool finish_recorded_change(StreamControl& streams, WaitingChange* waiting = nullptr);

// The change that waits, if any, and why as far as a look tells (the config
// directory not writable, a client of a playlist to delete still running,
// or "not applied yet": the next command or check tries). Takes no lock and
// changes nothing; for status reports.
std::optional<WaitingChange> waiting_change();

// Why the last scan of playlist `name` by a create could not be written
// (see create_playlist), while that is so; nothing otherwise.
std::optional<std::string> playlist_incomplete(std::string_view name);

// Moves the server to `port` (a valid port): the server settings, icecast.xml
// and the Port line of every source client config, whose Password and
// Hostname lines get the stored password and the server's address too.
// Every file is renamed into place first; only when all are, every stream
// is stopped and started again on them.
//
// Every change here that writes a generated file takes the stored port and
// password from the server settings (see read_server_settings) and is
// refused, changing nothing, when that file exists but cannot be read: a
// default in their place would hand the streams to anyone who knows it.
ChangeResult change_port(std::string_view port, StreamControl& streams);

// Creates playlist `name`, or replaces every file of an existing one: its
// settings (enabled "0"; other keys of an existing file stay), its source
// client config, its chosen `folders` (one per line) and the playlist file
// they expand to. `recorded` is called once the create is recorded, before
// the folder scan: from then on it completes, in this run or the next
// holder's. A scan that cannot be written (no room) still completes it, with
// an empty playlist marked incomplete (playlist_incomplete) until a rescan
// succeeds; where not even that can be written, the create ends undone and
// an existing playlist of the name stays as it was. A running client of the
// name keeps running.
ChangeResult create_playlist(std::string_view name, std::string_view genre, std::string_view desc,
                             std::string_view rand, std::string_view folders, const std::function<void()>& recorded,
                             StreamControl& streams);

// Renews the settings (keeping "enabled") and the source client config of
// playlist `name`, then restarts its client.
ChangeResult renew_playlist(std::string_view name, std::string_view genre, std::string_view desc,
                            std::string_view rand, StreamControl& streams);

// Stops the client of playlist `name` and removes its files. The files are
// removed only once no client of the playlist runs (stopped ones included):
// when one still runs after a second stop, the delete is kPending, its files
// all stay, and the next holder of the lock stops the client again before it
// removes them. A delete needs no room: where its record cannot be written
// (a full volume), or a change of another playlist waits in the record, the
// files are removed without one, the playlist file first, so that the
// playlist is gone as soon as anything is; kPending then means that some
// file stayed (nothing is recorded). A waiting port change, or a change of
// this playlist, refuses the delete: they may bring its files back.
ChangeResult remove_playlist(std::string_view name, StreamControl& streams);

#endif  // LIB_CHANGE_H_
