#include "lib/change.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/folder_state.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/process_table.h"
#include "lib/settings_file.h"
#include "lib/stream_configs.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::size_t kJournalLimit = 64 * 1024;
constexpr std::size_t kSourceConfigLimit = 64 * 1024;

// The kinds of change the journal records, by the word of its first line.
enum class Action { kSet, kNew, kRenew, kDel, kUnknown };

constexpr std::string_view kActionWords[] = {"set", "new", "renew", "del"};

std::string_view WordOf(Action action) {
  return action == Action::kUnknown ? std::string_view("unknown") : kActionWords[static_cast<int>(action)];
}

Action ActionOf(std::string_view word) {
  for (int i = 0; i < 4; ++i) {
    if (word == kActionWords[i]) return static_cast<Action>(i);
  }
  return Action::kUnknown;
}

// What the journal holds, one per line: the action's word, its argument, and
// the target of staged file number i, for each i.
struct Record {
  Action action = Action::kUnknown;
  std::string argument;              // the port (set) or the playlist's name
  std::vector<std::string> targets;  // targets[i]: where staged file i goes
};

std::string InConfDir(std::string_view name) {
  std::string path = get_conf_dir();
  path += '/';
  path += name;
  return path;
}

std::string Staged(std::size_t number) { return InConfDir(std::string(kStagedPrefix) + std::to_string(number)); }
std::string JournalPath() { return InConfDir(kJournalName); }

// True unless the file is known to be gone: a look that fails for another
// reason (a disk error) must not pass for a rename already made.
bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// A name of a file in the config directory, nothing that leads out of it.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// The record left behind, if any. A record that cannot be of ours (garbage,
// a link, a folder) is dropped; one that cannot be read stays, and so does
// the change it may stand for.
enum class Found { kNone, kRecord, kUnreadable };
Found ReadRecord(Record& record, bool drop_garbage = true) {
  const std::string path = JournalPath();
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? Found::kNone : Found::kUnreadable;
  std::optional<std::string> read = read_regular_file(path, kJournalLimit);
  if (!read && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(kJournalLimit)) return Found::kUnreadable;
  const std::string text = read.value_or("");
  std::vector<std::string> lines;
  for (std::string_view rest = text; !rest.empty();) {
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;  // a record ends with a line feed
    lines.emplace_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
  bool plain = lines.size() >= 2;
  for (std::size_t i = 2; plain && i < lines.size(); ++i) plain = IsPlainName(lines[i]);
  if (!plain || text.back() != '\n') {
    if (drop_garbage) ::unlink(path.c_str());
    return Found::kNone;
  }
  record.action = ActionOf(lines[0]);
  record.argument = lines[1];
  record.targets.assign(lines.begin() + 2, lines.end());
  return Found::kRecord;
}

bool WriteRecord(const Record& record) {
  std::string text = std::string(WordOf(record.action)) + "\n" + record.argument + "\n";
  for (const std::string& target : record.targets) text += target + "\n";
  if (write_file_atomically(JournalPath(), text) == 0) return true;
  ::unlink(JournalPath().c_str());  // in case only the sync after the rename failed
  return false;
}

// Removes every staged file; called when no record names them.
void RemoveStaged() {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(get_conf_dir().c_str()));
  if (!listing) return;
  std::vector<std::string> staged;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (std::string_view(entry->d_name).starts_with(kStagedPrefix)) staged.emplace_back(entry->d_name);
  }
  for (const std::string& name : staged) ::unlinkat(::dirfd(listing.get()), name.c_str(), 0);
}

// Sets `reason` to `what` and the error of the last call; returns false.
bool Fail(std::string& reason, std::string_view what) {
  reason = std::string(what) + ": " + std::strerror(errno);
  return false;
}

// Renames every staged file over its target, all that can be, in order. A
// staged file that is gone was renamed by an earlier run. `renamed` tells
// whether this run renamed any.
bool RenameStaged(const Record& record, std::string& reason, bool* renamed = nullptr) {
  bool ok = true;
  for (std::size_t i = 0; i < record.targets.size(); ++i) {
    const std::string staged = Staged(i);
    if (!Exists(staged)) continue;
    if (::rename(staged.c_str(), InConfDir(record.targets[i]).c_str()) != 0) {
      if (ok) Fail(reason, "rename failed");
      ok = false;
    } else if (renamed != nullptr) {
      *renamed = true;
    }
  }
  return ok;
}

// Whether the config directory takes changes at all (a volume remounted
// read-only does not). Every file of a change may be in place already while
// its record cannot be removed: the streams are then not made to follow once
// more at every command and check.
bool DirWritable(std::string& reason) {
  return ::faccessat(AT_FDCWD, get_conf_dir().c_str(), W_OK, AT_EACCESS) == 0 ||
         Fail(reason, "config directory not writable");
}

// The renames are on the disk once the directory is synced.
bool SyncDir(std::string& reason) {
  UniqueFd dir(::open(get_conf_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return (dir.valid() && ::fsync(dir.get()) == 0) || Fail(reason, "sync failed");
}

// The change is complete: once the renames are on the disk, the record goes.
bool End(std::string& reason) {
  if (!SyncDir(reason)) return false;
  return ::unlink(JournalPath().c_str()) == 0 || errno == ENOENT || Fail(reason, "record cannot be removed");
}

// Stops the client of playlist `name` and removes its files, once no client
// of it runs (stopped ones included): a stop that did not take (the
// controller killed before its signal) is tried once more. Nothing is
// stopped where nothing could be removed. True when every file is gone.
bool DeletePlaylistFiles(std::string_view name, StreamControl& streams, std::string& reason) {
  if (!DirWritable(reason)) return false;
  const std::string config = source_config_path(name);
  streams.Stop(name);
  if (!find_source_clients(config, true).empty()) streams.Stop(name);
  if (!find_source_clients(config, true).empty()) {
    reason = "a client of the playlist still runs";
    return false;
  }
  // The folders and the source client config go before the playlist file:
  // a delete killed part way (one without a record, on a full volume)
  // leaves a playlist that is still listed and can be deleted again, never
  // files of a name that no one sees and that count as taken. The playlist
  // file goes next: from then on the playlist is gone for everyone.
  ::unlink(folders_path(name).c_str());
  ::unlink(source_config_path(name).c_str());
  delete_playlist(name);
  // A folder of such a name (a user's, in a shared folder) is none of the
  // playlist's files, and is never removed.
  for (const std::string& file :
       {playlist_path(name), playlist_settings_path(name), source_config_path(name), folders_path(name)}) {
    struct stat st;
    if (::lstat(file.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      reason = "cannot remove " + file.substr(file.rfind('/') + 1);
      return false;
    }
  }
  return true;
}

// An empty file at `path`, the config directory's owner's as every file
// made there (where the file system lets root give it away); it needs no
// room on the disk.
bool MakeEmpty(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode));
  if (!fd.valid()) return false;
  give_to_directory_owner(fd.get(), get_conf_dir());
  return ::fsync(fd.get()) == 0;
}

// Writes why the scan of a create could not be kept: the reason, or, where
// even that finds no room, an empty marker. False when there is not even that.
bool MarkIncomplete(std::string_view name, const std::string& why) {
  const std::string marker = incomplete_marker_path(name);
  return write_file_atomically(marker, why + "\n") == 0 || MakeEmpty(marker);
}

// Step 3, for a run that just recorded the change and for the next lock
// holder alike. Every step can be repeated. The streams are stopped and
// started only once every staged file is in place: a change that cannot be
// applied leaves them as they run. `reason` says why it could not.
bool Apply(const Record& record, StreamControl& streams, std::string& reason) {
  const std::string& name = record.argument;
  // Records of the earlier kind name no staged files: a port change is made
  // again, and a create that did not get as far as its playlist file leaves
  // nothing.
  if (record.targets.empty() && record.action == Action::kSet && is_valid_port(name)) {
    reason = "the port change could not be made again";
    return change_port(name, streams) == ChangeResult::kDone;
  }
  if (record.targets.empty() && record.action == Action::kNew && is_valid_playlist_name(name)) {
    if (!playlist_file_exists(name)) delete_playlist(name);
    return End(reason);
  }
  if (record.action == Action::kSet || (record.action == Action::kRenew && is_valid_playlist_name(name))) {
    bool renamed = false;
    // A directory that cannot be synced (a failing disk) would keep the
    // record, and the streams would follow again at every try: they follow
    // only once the files are on the disk.
    if (!RenameStaged(record, reason, &renamed) || (!renamed && !DirWritable(reason)) || !SyncDir(reason)) {
      return false;
    }
    const std::string_view target = record.action == Action::kSet ? std::string_view("all") : std::string_view(name);
    streams.Stop(target);
    streams.Start(target);
    return End(reason);
  }
  if (record.action == Action::kNew && is_valid_playlist_name(name) && record.targets.size() == 4) {
    // Staged are the settings, the source client config, the folders and the
    // playlist, renamed in that order: while the folders are still staged,
    // no rename has begun, and a missing playlist is yet to be searched.
    // A scan that cannot be written (a full volume) still ends the create:
    // the playlist is made empty and marked incomplete, which a rescan
    // mends; where not even that can be written, the create is undone.
    const std::string folders = Staged(2), playlist = Staged(3);
    std::optional<FolderState> searched;
    if (Exists(folders) && !Exists(playlist)) {
      std::unique_ptr<FILE, FileCloser> list(std::fopen(folders.c_str(), "re"));
      errno = 0;
      FolderState record;
      if (list && build_playlist_at(playlist, list.get(), &record) == 0) {
        searched = std::move(record);
        ::unlink(incomplete_marker_path(name).c_str());  // of an earlier create of the name
      } else {
        const int error = errno;
        std::string why = "the folder scan could not be written";
        if (error != 0) why += std::string(": ") + std::strerror(error);
        if (!MarkIncomplete(name, why) || !MakeEmpty(playlist)) {
          ::unlink(incomplete_marker_path(name).c_str());
          RemoveStaged();
          // Undone. A playlist of the name made before stays as it was, but
          // the create answered early: an empty marker (it needs no room)
          // tells the page and status that this create did not complete.
          if (playlist_file_exists(name)) MakeEmpty(incomplete_marker_path(name));
          return End(reason);
        }
      }
    }
    if (!RenameStaged(record, reason)) return false;
    // Once the playlist is in place; a record left from an earlier create
    // of the name names other fields, and a scan made by a run killed
    // before its renames has none: check builds one.
    if (searched) {
      write_folder_state(name, *searched);
    } else {
      ::unlink(folder_state_path(name).c_str());
    }
    return End(reason);
  }
  if (record.action == Action::kDel && is_valid_playlist_name(name)) {
    // The files go only once no client of the playlist runs; when one still
    // runs, the files and the record stay, so that the next holder of the
    // lock stops it and then completes the delete.
    return DeletePlaylistFiles(name, streams, reason) && End(reason);
  }
  return End(reason);  // names nothing we could change: of no use to anyone
}

// Steps 1 and 2: the new files of a change, staged in order, then recorded.
class Plan {
 public:
  Plan(Action action, std::string_view argument) : record_{action, std::string(argument), {}} {}

  // A folder in the target's place could not be renamed over: refused now,
  // before anything has changed.
  void Stage(std::string_view target, std::optional<std::string> contents) {
    struct stat st;
    ok_ = ok_ && contents && !(::lstat(InConfDir(target).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) &&
          write_file_atomically(Staged(record_.targets.size()), *contents) == 0;
    record_.targets.emplace_back(target);
  }
  // A target whose staged file Apply writes.
  void Later(std::string_view target) { record_.targets.emplace_back(target); }

  ChangeResult Run(StreamControl& streams, const std::function<void()>& recorded = {}) {
    if (!ok_ || !WriteRecord(record_)) {
      RemoveStaged();
      return ChangeResult::kRefused;
    }
    if (recorded) recorded();
    std::string reason;
    return Apply(record_, streams, reason) ? ChangeResult::kDone : ChangeResult::kPending;
  }

 private:
  Record record_;
  bool ok_ = true;
};

// The entries of the settings file at `path` (none when it is missing), with
// `values` set as a rewrite sets them, in the format a rewrite writes.
// Nothing when the file is there but cannot be read.
std::optional<std::string> SettingsWith(const std::string& path,
                                        std::initializer_list<std::pair<std::string_view, std::string_view>> values,
                                        bool keep_enabled = false) {
  std::vector<SettingsEntry> entries;
  if (Exists(path)) {
    std::optional<std::string> data = read_regular_file(path, kMaxSettingsFileSize);
    if (!data) return std::nullopt;
    entries = parse_settings(*data);
  }
  auto set = [&](std::string_view key, std::string_view value) {
    for (SettingsEntry& entry : entries) {
      if (entry.name == key) {
        entry = {entry.name, std::string(value), false};
        return;
      }
    }
    entries.push_back({std::string(key), std::string(value), false});
  };
  std::string enabled;
  for (const SettingsEntry& entry : entries) {
    if (!entry.commented && entry.name == "enabled") {
      enabled = entry.value;
      break;
    }
  }
  for (const auto& [key, value] : values) set(key, value);
  if (keep_enabled) set("enabled", enabled);
  return format_settings(entries);
}

// The source client config of a create or renew, as it is to be written:
// nothing when the server settings cannot be read, so that the change is
// refused rather than made with the default password or port.
std::optional<std::string> SourceConfigText(std::string_view name, std::string_view genre, std::string_view desc,
                                            std::string_view rand) {
  std::optional<SourceConfig> config = playlist_source_config(name, genre, desc, rand);
  if (!config) return std::nullopt;
  return render_source_config(*config);
}

}  // namespace

bool finish_recorded_change(StreamControl& streams, WaitingChange* waiting) {
  Record record;
  std::string reason;
  Found found = ReadRecord(record);
  if (found == Found::kUnreadable) {
    record = {Action::kUnknown, "-", {}};
    reason = "the record cannot be read";
  }
  if (found == Found::kUnreadable || (found == Found::kRecord && !Apply(record, streams, reason))) {
    if (waiting != nullptr) *waiting = {std::string(WordOf(record.action)), record.argument, reason};
    return false;
  }
  RemoveStaged();
  return true;
}

std::optional<WaitingChange> waiting_change() {
  Record record;
  switch (ReadRecord(record, false)) {
    case Found::kNone:
      return std::nullopt;
    case Found::kUnreadable:
      return WaitingChange{"unknown", "-", "the record cannot be read"};
    case Found::kRecord:
      break;
  }
  // Only a look: the reason is what can be told without trying.
  WaitingChange waiting{std::string(WordOf(record.action)), record.argument, ""};
  if (DirWritable(waiting.reason)) {
    waiting.reason = record.action == Action::kDel && is_valid_playlist_name(record.argument) &&
                             !find_source_clients(source_config_path(record.argument), true).empty()
                         ? "a client of the playlist still runs"
                         : "not applied yet";
  }
  return waiting;
}

std::optional<std::string> playlist_incomplete(std::string_view name) {
  const std::string marker = incomplete_marker_path(name);
  if (!Exists(marker)) return std::nullopt;
  std::string why = read_regular_file(marker, 4096).value_or("");
  while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
  if (why.empty() || why.find('\n') != std::string::npos) why = "the folder scan could not be written";
  return why;
}

ChangeResult change_port(std::string_view port, StreamControl& streams) {
  Plan plan(Action::kSet, port);
  plan.Stage(kServerSettingsName, SettingsWith(server_settings_path(), {{"port", port}}));
  // The password every generated file is to carry: the stored one, read
  // under the settings file's lock. A change that cannot read it is refused.
  std::optional<ServerSettings> stored = read_server_settings();
  std::optional<std::string> server;
  if (stored) {
    ServerConfig config;
    config.port = leading_int(port);
    config.password = stored->password;
    server = render_server_config(config);
  }
  plan.Stage(kServerConfigName, server);
  std::optional<std::vector<std::string>> names = source_config_names();
  if (!names) plan.Stage("", std::nullopt);
  for (const std::string& name : names.value_or(std::vector<std::string>{})) {
    if (name.find('\n') != std::string::npos) continue;  // no playlist's, and no line of a record
    // A file there that cannot be read (another user's, a stray copy) is no
    // config a client of ours reads: left as it is, as a port change always
    // left it.
    std::optional<std::string> config = read_regular_file(InConfDir(name), kSourceConfigLimit);
    // The stored password goes with the port, so that server and clients
    // agree on both after the change.
    if (config && stored) plan.Stage(name, with_server_lines(*config, port, stored->password));
  }
  return plan.Run(streams);
}

ChangeResult create_playlist(std::string_view name, std::string_view genre, std::string_view desc,
                             std::string_view rand, std::string_view folders, const std::function<void()>& recorded,
                             StreamControl& streams) {
  Plan plan(Action::kNew, name);
  const std::string settings = playlist_settings_path(name);
  plan.Stage(settings.substr(settings.rfind('/') + 1),
             SettingsWith(settings, {{"name", name}, {"genre", genre}, {"desc", desc}, {"rand", rand}, {"enabled", "0"}}));
  plan.Stage(std::string(kSourceConfigPrefix) + std::string(name), SourceConfigText(name, genre, desc, rand));
  plan.Stage(std::string(kFoldersPrefix) + std::string(name), std::string(folders));
  plan.Later(std::string(kPlaylistPrefix) + std::string(name));
  return plan.Run(streams, recorded);
}

ChangeResult renew_playlist(std::string_view name, std::string_view genre, std::string_view desc,
                            std::string_view rand, StreamControl& streams) {
  Plan plan(Action::kRenew, name);
  const std::string settings = playlist_settings_path(name);
  plan.Stage(settings.substr(settings.rfind('/') + 1),
             SettingsWith(settings, {{"name", name}, {"genre", genre}, {"desc", desc}, {"rand", rand}}, true));
  plan.Stage(std::string(kSourceConfigPrefix) + std::string(name), SourceConfigText(name, genre, desc, rand));
  return plan.Run(streams);
}

ChangeResult remove_playlist(std::string_view name, StreamControl& streams) {
  Record waiting;
  switch (ReadRecord(waiting)) {
    case Found::kNone:
      if (ChangeResult result = Plan(Action::kDel, name).Run(streams); result != ChangeResult::kRefused) return result;
      break;  // no room for the record: a delete needs none
    case Found::kUnreadable:
      return ChangeResult::kRefused;
    case Found::kRecord:
      // The waiting change touches only the files of its own playlist.
      if (waiting.action == Action::kSet || waiting.argument == name) return ChangeResult::kRefused;
      break;
  }
  std::string reason;
  return DeletePlaylistFiles(name, streams, reason) ? ChangeResult::kDone : ChangeResult::kPending;
}
