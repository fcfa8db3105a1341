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
// seldom does), so a full disk does not stop that. When it cannot be applied either, the record stays and the next
// changing command must refuse rather than start a change of its own.
//
// Only the holder of the command lock may call these.

#include <functional>
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

// Applies the change that a failed or killed run left recorded, and removes
// staged files that no record names. Returns true when no record is left.
bool finish_recorded_change(StreamControl& streams);

// Moves the server to `port` (a valid port): the server settings, icecast.xml
// and the Port line of every source client config, whose Password and
// Hostname lines get the stored password and the server's address too;
// every stream is stopped before the source client configs change and
// started after.
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
// holder's. A running client of the name keeps running.
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
// removes them.
ChangeResult remove_playlist(std::string_view name, StreamControl& streams);

#endif  // LIB_CHANGE_H_
