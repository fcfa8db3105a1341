#include "lib/change.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/process_table.h"
#include "lib/settings_file.h"
#include "lib/stream_configs.h"
#include "lib/unique_fd.h"

namespace {

constexpr std::size_t kJournalLimit = 64 * 1024;
constexpr std::size_t kSourceConfigLimit = 64 * 1024;

// What the journal holds: the action ("set", "new", "renew" or "del"), its
// argument (the port or the playlist name), and the target of staged file
// number i, for each i, one per line.
struct Record {
  std::string action;
  std::string argument;
  std::vector<std::string> targets;
};

std::string InConfDir(std::string_view name) {
  std::string path = get_conf_dir();
  path += '/';
  path += name;
  return path;
}

std::string Staged(std::size_t number) { return InConfDir(std::string(kStagedPrefix) + std::to_string(number)); }
std::string JournalPath() { return InConfDir(kJournalName); }

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A name of a file in the config directory, nothing that leads out of it.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

// The record left behind, if any. A record that cannot be of ours (garbage,
// a link, a folder) is dropped; one that cannot be read stays, and so does
// the change it may stand for.
enum class Found { kNone, kRecord, kUnreadable };
Found ReadRecord(Record& record) {
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
    ::unlink(path.c_str());
    return Found::kNone;
  }
  record.action = lines[0];
  record.argument = lines[1];
  record.targets.assign(lines.begin() + 2, lines.end());
  return Found::kRecord;
}

bool WriteRecord(const Record& record) {
  std::string text = record.action + "\n" + record.argument + "\n";
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

// Renames the staged files [from, to) over their targets. A staged file that
// is gone was renamed by an earlier run.
bool RenameStaged(const Record& record, std::size_t from, std::size_t to) {
  bool ok = true;
  for (std::size_t i = from; i < to && i < record.targets.size(); ++i) {
    const std::string staged = Staged(i);
    if (Exists(staged) && ::rename(staged.c_str(), InConfDir(record.targets[i]).c_str()) != 0) ok = false;
  }
  return ok;
}

// The change is complete: once the renames are on the disk, the record goes.
bool End() {
  UniqueFd dir(::open(get_conf_dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid() || ::fsync(dir.get()) != 0) return false;
  return ::unlink(JournalPath().c_str()) == 0 || errno == ENOENT;
}

// Step 3, for a run that just recorded the change and for the next lock
// holder alike. Every step can be repeated.
bool Apply(const Record& record, StreamControl& streams) {
  const std::string& name = record.argument;
  // Records of the earlier kind name no staged files: a port change is made
  // again, and a create that did not get as far as its playlist file leaves
  // nothing.
  if (record.targets.empty() && record.action == "set" && is_valid_port(name)) {
    return change_port(name, streams) == ChangeResult::kDone;
  }
  if (record.targets.empty() && record.action == "new" && is_valid_playlist_name(name)) {
    if (!playlist_file_exists(name)) delete_playlist(name);
    return End();
  }
  if (record.action == "set") {
    bool ok = RenameStaged(record, 0, 2);  // the server settings and icecast.xml
    if (ok) {
      streams.Stop("all");
      ok = RenameStaged(record, 2, record.targets.size());  // the source client configs
      streams.Start("all");
    }
    return ok && End();
  }
  if (record.action == "new" && is_valid_playlist_name(name) && record.targets.size() == 4) {
    // Staged are the settings, the source client config, the folders and the
    // playlist, renamed in that order: while the folders are still staged,
    // no rename has begun, and a missing playlist is yet to be searched.
    const std::string folders = Staged(2), playlist = Staged(3);
    if (Exists(folders) && !Exists(playlist)) {
      std::unique_ptr<FILE, FileCloser> list(std::fopen(folders.c_str(), "re"));
      if (!list || build_playlist_at(playlist, list.get()) != 0) return false;
    }
    return RenameStaged(record, 0, 4) && End();
  }
  if (record.action == "renew" && is_valid_playlist_name(name)) {
    if (!RenameStaged(record, 0, record.targets.size())) return false;
    streams.Stop(name);
    streams.Start(name);
    return End();
  }
  if (record.action == "del" && is_valid_playlist_name(name)) {
    // The files go only once no client of the playlist runs: a stop that did
    // not take (the controller killed before its signal) is tried once more,
    // and when a client still runs, the files and the record stay, so that
    // the next holder of the lock stops it and then completes the delete.
    const std::string config = source_config_path(name);
    streams.Stop(name);
    if (!find_source_clients(config, true).empty()) streams.Stop(name);
    if (!find_source_clients(config, true).empty()) return false;
    delete_playlist(name);
    // A folder of such a name (a user's, in a shared folder) is none of the
    // playlist's files, and is never removed.
    for (const std::string& file :
         {playlist_path(name), playlist_settings_path(name), source_config_path(name), folders_path(name)}) {
      struct stat st;
      if (::lstat(file.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return false;
    }
    return End();
  }
  return End();  // names nothing we could change: of no use to anyone
}

// Steps 1 and 2: the new files of a change, staged in order, then recorded.
class Plan {
 public:
  Plan(std::string action, std::string_view argument) : record_{std::move(action), std::string(argument), {}} {}

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
    return Apply(record_, streams) ? ChangeResult::kDone : ChangeResult::kPending;
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

bool finish_recorded_change(StreamControl& streams) {
  Record record;
  Found found = ReadRecord(record);
  if (found == Found::kUnreadable || (found == Found::kRecord && !Apply(record, streams))) return false;
  RemoveStaged();
  return true;
}

ChangeResult change_port(std::string_view port, StreamControl& streams) {
  Plan plan("set", port);
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
  Plan plan("new", name);
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
  Plan plan("renew", name);
  const std::string settings = playlist_settings_path(name);
  plan.Stage(settings.substr(settings.rfind('/') + 1),
             SettingsWith(settings, {{"name", name}, {"genre", genre}, {"desc", desc}, {"rand", rand}}, true));
  plan.Stage(std::string(kSourceConfigPrefix) + std::string(name), SourceConfigText(name, genre, desc, rand));
  return plan.Run(streams);
}

ChangeResult remove_playlist(std::string_view name, StreamControl& streams) {
  return Plan("del", name).Run(streams);
}
