// The commands that answer questions about the configuration. They change
// nothing: a playlist without a settings file reads as one with an empty one.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lib/change.h"
#include "lib/config_dir.h"
#include "lib/music_folders.h"
#include "lib/numbers.h"
#include "lib/playlist_builder.h"
#include "lib/playlist_contents.h"
#include "lib/server_stats.h"
#include "lib/stream_status.h"
#include "web/cgi.h"
#include "web/commands.h"
#include "web/request_origin.h"
#include "web/response.h"

void handle_get() {
  begin_config_response();
  write_res(1);
  write_element("port", get_server_port());
  end_config_response();
}

void handle_playlist_name() {
  begin_config_response();
  write_res(1);
  if (std::optional<std::string> name = next_playlist_name()) write_element("playlist_name", *name);
  end_config_response();
}

void handle_modify_info() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  begin_config_response();
  write_res(1);
  // One read of the settings file, so that the three values are of one
  // state even while a renew runs.
  if (is_valid_playlist_name(name)) {
    if (std::optional<PlaylistSettings> settings = read_playlist_settings(name)) {
      write_element("genre", settings->genre);
      write_element("desc", settings->desc);
      write_element("rand", settings->rand);
    }
  }
  end_config_response();
}

void handle_is_playlist_full() { write_config_response(is_playlist_full()); }

void handle_is_active_full() { write_config_response(is_active_full()); }

void handle_has_playlist_name() {
  std::string name = cgiFormStringNoNewlines("f_name", kFieldSize);
  write_config_response(is_valid_playlist_name(name) ? has_playlist_name(name) : 0);
}

void handle_status() {
  StreamStatus status = collect_stream_status();
  // The server's own figures, when it answers within a second. Only our own
  // server is asked: the password is not for whatever else took the port.
  // Without the stored password (its file cannot be read) nothing is asked.
  std::map<std::string, MountStats> stats;
  if (std::optional<std::string> password; status.server.serving() && (password = get_server_password())) {
    stats = fetch_mount_stats(leading_int(status.server.port), *password, std::chrono::seconds(1));
  }
  begin_config_response();
  write_res(1);
  write_raw("<server>");
  write_element("running", status.server.pids.empty() ? "0" : "1");
  write_element("port", status.server.port);
  write_element("listening", status.server.listening ? "1" : "0");
  write_raw("</server>");
  const std::vector<std::string> roots = music_roots();
  for (const PlaylistStatus& playlist : status.playlists) {
    write_raw("<playlist>");
    write_element("name", playlist.name);
    write_element("enabled", playlist.enabled ? "1" : "0");
    write_element("running", playlist.clients.empty() ? "0" : "1");
    if (playlist.given_up) write_element("given_up", "1");
    // What the playlist holds: its songs (left out when its file cannot be
    // read), and the stored folders gone since it was made (only when some
    // are).
    if (std::optional<std::uint64_t> songs = count_file_lines(playlist_path(playlist.name))) {
      write_element("songs", std::to_string(*songs));
    }
    if (std::size_t missing = count_missing_folders(playlist.name, roots)) {
      write_element("missing_folders", std::to_string(missing));
    }
    if (auto mount = stats.find(playlist.name); mount != stats.end()) {
      if (mount->second.listeners) write_element("listeners", std::to_string(*mount->second.listeners));
      if (mount->second.title) write_element("title", *mount->second.title);
    }
    write_raw("</playlist>");
  }
  // After the elements above, and only when something stands in the way of
  // a change, so that the usual answer stays as it was: whether the config
  // directory can be written and whether a change holds the command lock.
  const ConfDirState dir = conf_dir_state();
  if (!dir.writable || dir.busy) {
    std::fprintf(cgiOut, "<conf_dir><writable>%d</writable><busy>%d</busy></conf_dir>", dir.writable, dir.busy);
  }
  // Server settings that cannot be read refuse every change that writes
  // from them (never the default password or port instead).
  if (!status.server.port_known) write_element("server_settings", "unreadable");
  // Whether a change sent like this request would be refused, and why: a
  // page opened by a name the device does not go by can then say what to
  // do instead of guessing.
  if (ChangeVerdict verdict = judge_current_request(); verdict != ChangeVerdict::kAllowed) {
    write_raw("<changes_refused>");
    write_element("reason", verdict == ChangeVerdict::kUnknownName ? "name"
                            : verdict == ChangeVerdict::kOtherSite ? "site"
                                                                   : "proof");
    write_element("host", current_request_host());
    write_element("device_name", device_host_name());
    write_raw("</changes_refused>");
  }
  for (const std::string& name : allowed_host_names()) write_element("allowed_host", name);
  // Last, and only when there is one: a recorded change that waits (not one
  // that a holder of the lock is applying now), and the playlists whose scan
  // could not be written, with why.
  std::optional<WaitingChange> change;
  if (!dir.busy && (change = waiting_change())) {
    write_raw("<change>");
    write_element("action", change->action);
    write_element("argument", change->argument);
    write_element("reason", change->reason);
    write_raw("</change>");
  }
  for (const PlaylistStatus& playlist : status.playlists) {
    if (std::optional<std::string> why = playlist_incomplete(playlist.name)) {
      write_raw("<incomplete>");
      write_element("name", playlist.name);
      write_element("reason", *why);
      write_raw("</incomplete>");
    }
  }
  end_config_response();
}

namespace {

// How long a count of songs may search: the page waits for it.
constexpr auto kSongCountTime = std::chrono::seconds(1);

// The answer to f_count=1: the songs a playlist would take from the folder.
void CountSongs(const std::string& path) {
  std::optional<std::string> folder = music_folder_path(path);
  std::optional<SongCount> count;
  if (folder) count = count_folder_songs(*folder, std::chrono::steady_clock::now() + kSongCountTime);
  if (!count) {
    write_config_response(0);
    return;
  }
  begin_config_response();
  write_res(1);
  write_element("path", *folder);
  write_element("songs", std::to_string(count->songs));
  if (count->cut) write_element("cut", "1");
  end_config_response();
}

}  // namespace

void handle_folders() {
  // The longest path a folder field of a create can carry.
  std::string path = cgiFormStringNoNewlines("f_path", kFolderFieldSize);
  // The folders a playlist was made from, for the page's edit form.
  if (std::string playlist = cgiFormStringNoNewlines("f_playlist", kFieldSize); !playlist.empty()) {
    std::optional<std::vector<std::string>> folders;
    if (!playlist_file_exists(playlist) || !(folders = read_stored_folders(playlist))) {
      write_config_response(0);
      return;
    }
    begin_config_response();
    write_res(1);
    for (const std::string& folder : *folders) write_element("playlist_folder", folder);
    end_config_response();
    return;
  }
  if (cgiFormStringNoNewlines("f_count", kFieldSize) == "1") {
    CountSongs(path);  // an empty path, the roots, is no folder: refused
    return;
  }
  if (path.empty()) {
    begin_config_response();
    write_res(1);
    for (const std::string& root : music_roots()) write_element("root", root);
    end_config_response();
    return;
  }
  // Read with one byte more than a name can hold: a longer filter matches
  // no name, rather than a cut one matching more.
  std::string filter = cgiFormStringNoNewlines("f_filter", kFilterFieldSize);
  if (filter.size() >= kFilterFieldSize - 1) filter.assign(1, '/');  // no name holds a "/"
  // A refusal says nothing of what lies outside the roots: missing,
  // forbidden and unreadable folders all answer the same.
  std::optional<FolderListing> listing = list_music_folder(path, filter);
  if (!listing) {
    write_config_response(0);
    return;
  }
  begin_config_response();
  write_res(1);
  write_element("path", listing->path);
  for (const std::string& folder : listing->folders) write_element("folder", folder);
  if (listing->cut) write_element("cut", "1");
  end_config_response();
}
