#ifndef LIB_CONFIG_DIR_H_
#define LIB_CONFIG_DIR_H_

// The config directory holds every file of the add-on. Its path is the first
// line of /tmp/iceconf.dir, taken as it stands, or a built-in default. Each
// accessor here opens its settings file for the span of one call; nothing is
// cached. Setters create a missing settings file; getters never create one: a
// missing file reads as an empty one.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char kConfDirPointer[] = "/tmp/iceconf.dir";
inline constexpr const char kDefaultConfDir[] = "/mnt/HD/HD_a2/Nas_Prog/sonorell/iceconf";
inline constexpr const char kDefaultPort[] = "8000";
inline constexpr const char kDefaultPassword[] = "quillfen";
inline constexpr int kMaxPlaylists = 20;
inline constexpr int kMaxEnabledPlaylists = 5;  // the server takes five sources

// Returns the config directory path: the first line of /tmp/iceconf.dir (at
// most 127 characters, a line feed included if one comes within them), or the
// default when that file cannot be read, is not a regular file owned by root
// or by the effective user (anyone may create files in /tmp), or its first
// line is longer than 127 characters, empty, not an absolute path or holds a
// NUL byte. Worked out afresh on every call, unless pin_conf_dir was called.
std::string get_conf_dir();

// Works out the config directory once and has get_conf_dir return that path
// for the rest of the process, so that one request or controller run never
// spans two directories when the pointer changes meanwhile, and reads the
// pointer only once. The programs call it first thing.
void pin_conf_dir();

// Undoes pin_conf_dir: the path is worked out afresh again. For tests.
void unpin_conf_dir();

// File names inside the config directory.
std::string server_settings_path();                          // simple-icecast-conf
std::string playlist_settings_path(std::string_view name);  // simple-ices-conf-NAME
std::string playlist_path(std::string_view name);            // playlist-NAME
std::string source_config_path(std::string_view name);       // ices.conf-NAME
std::string server_config_path();                            // icecast.xml
std::string folders_path(std::string_view name);             // folders-NAME: the chosen folders
// .wl-incomplete-NAME: why the playlist's last scan could not be written
// (see lib/change.h); there only while that is so.
std::string incomplete_marker_path(std::string_view name);
// .wl-folders-NAME: the state of the folders the playlist's last build
// searched (see lib/folder_state.h).
std::string folder_state_path(std::string_view name);

// True when `name` can name a playlist: not empty, not "all" (the
// controller's keyword for every playlist), no "/", no byte below 0x20 nor
// 0x7F, valid UTF-8, and at most 238 bytes (so that "simple-ices-conf-" and
// the name fit in one 255-byte file name). Every command that takes a name
// refuses the others before touching any file.
bool is_valid_playlist_name(std::string_view name);

// True when `port` is 1 to 5 ASCII digits with a value from 1 to 65535.
bool is_valid_port(std::string_view port);

// The names of the files in the config directory, in one place. A
// playlist's files are a prefix followed by its name; the add-on's own
// bookkeeping files begin with ".wl-", as no file of a playlist does.
inline constexpr std::string_view kServerSettingsName = "simple-icecast-conf";
inline constexpr std::string_view kServerConfigName = "icecast.xml";
inline constexpr std::string_view kPlaylistSettingsPrefix = "simple-ices-conf-";
inline constexpr std::string_view kSourceConfigPrefix = "ices.conf-";
inline constexpr std::string_view kFoldersPrefix = "folders-";
inline constexpr std::string_view kOwnFilePrefix = ".wl-";
inline constexpr char kLockName[] = ".wl-lock";                // the command lock
inline constexpr char kJournalName[] = ".wl-journal";          // a change's record
inline constexpr std::string_view kStagedPrefix = ".wl-s-";    // a change's staged files, numbered
inline constexpr char kRestartsName[] = ".wl-restarts";        // check's restarts of clients
inline constexpr char kServerRecordName[] = ".wl-server-id";  // the server the controller started
inline constexpr char kTempNameTemplate[] = ".wl-XXXXXX";      // a file being written
inline constexpr char kInstallNoteName[] = ".wl-install-dirs";  // the installer's, not the programs'
inline constexpr std::string_view kIncompletePrefix = ".wl-incomplete-";  // a create's scan that failed, by name
inline constexpr std::string_view kFolderStatePrefix = ".wl-folders-";  // the folders a build searched, by name

// What a playlist is, for every reader (the table, the status, the
// controller's start, stop, check and rescan): a regular file (or a link to
// one) "playlist-NAME" in the config directory whose NAME can name a
// playlist. A folder of such a name (a user's "playlist-2019 party" in a
// shared folder) is nobody's playlist.
inline constexpr std::string_view kPlaylistPrefix = "playlist-";

// The name an entry of the config directory would give a playlist:
// kPlaylistPrefix followed by a valid name; nothing for any other entry.
// Whether it is one depends on the file as well (playlist_file_exists).
std::optional<std::string> playlist_name_of(std::string_view entry);

// Returns the playlist file's path when `name` is valid and its playlist file
// is a regular file (or a link to one).
std::optional<std::string> playlist_file_exists(std::string_view name);

// The names of the playlists in the config directory, in directory order;
// none when it cannot be read.
std::vector<std::string> list_playlists();

// Returns the lowest "Playlist-NN" (01 to 20) whose playlist file does not
// exist, or nothing when all twenty do.
std::optional<std::string> next_playlist_name();

// Server settings. The setter returns 0, or 1 when the server settings file
// cannot be opened or rewritten. get_server_port answers questions: the
// stored port, or the default when the value is empty or the file cannot be
// opened (a question answers as it always has). get_server_password answers
// the stored password, the default only when the file is missing or holds no
// value (a fresh install), and nothing when the file exists but cannot be
// read: the default in a generated file while another password is stored
// would let anyone on the network take the streams over, and lock ours out.
int set_server_port(std::string_view port);
std::string get_server_port();
std::optional<std::string> get_server_password();

// The server settings that the generated files carry, from one open (and so
// one lock) of the server settings file. A missing file or an empty value
// reads as the default; nothing when the file exists but cannot be opened,
// locked or read. Whatever writes a generated file takes its values from
// here and writes nothing without them.
struct ServerSettings {
  std::string port = kDefaultPort;
  std::string password = kDefaultPassword;
};
std::optional<ServerSettings> read_server_settings();

// Takes every permission from group and others on the files the programs
// make in the config directory (simple-icecast-conf, icecast.xml, .wl-lock,
// .wl-journal, .wl-restarts, staged and temporary files, and the settings
// file, playlist, folders, source client config and records of each
// playlist) that
// still have one: files made before the programs made them
// private, or by hand; run as root, each also becomes the directory owner's
// (see give_to_directory_owner). Only regular files with no second name,
// opened without following a link, and only those this process may change.
// Returns the number whose mode changed.
int make_config_files_private();

// Stores name, genre, desc, rand and enabled in this order in the playlist's
// settings file; an absent value leaves its key as it was, and keys the file
// holds already keep their place. Returns 0, or 1 when the file cannot be
// opened or rewritten.
int write_playlist_settings(std::string_view name, std::optional<std::string_view> genre,
                            std::optional<std::string_view> desc,
                            std::optional<std::string_view> rand,
                            std::optional<std::string_view> enabled);

// Playlist getters: the key's value, empty when it is absent or commented or
// the playlist has no settings file; nothing when the file cannot be opened
// or locked.
std::optional<std::string> get_playlist_genre(std::string_view name);
std::optional<std::string> get_playlist_desc(std::string_view name);
std::optional<std::string> get_playlist_rand(std::string_view name);
std::optional<std::string> get_playlist_enabled(std::string_view name);

// All four playlist values from one open (and so one lock) of the settings
// file: one consistent state. Each is empty when absent, as for the getters;
// nothing when the file cannot be opened or locked.
struct PlaylistSettings {
  std::string genre, desc, rand, enabled;
};
std::optional<PlaylistSettings> read_playlist_settings(std::string_view name);

// Renews the playlist's settings in one open of its settings file: stores
// name, genre, desc and rand, and "enabled" with the value the file holds
// (empty when it holds none), so that renewing never enables or disables.
// Returns 0, or 1 when the file cannot be opened or rewritten.
int renew_playlist_settings(std::string_view name, std::string_view genre, std::string_view desc,
                            std::string_view rand);

// Stores "enabled". Returns 0, or 1 when the file cannot be opened or rewritten.
int set_playlist_enabled(std::string_view name, std::string_view value);

// Removes the record of the searched folders, the playlist file, the
// playlist settings file, the source client config, the stored folders and
// the incomplete marker of `name`, in that order; missing files are passed over silently.
// The settings file is removed under its lock, so that a writer holding it
// meanwhile cannot bring it back.
void delete_playlist(std::string_view name);

// Directory scans over playlist settings files ("simple-ices-conf-" followed by
// at least one character). Each makes the config directory the working
// directory. has_playlist_name: 1 when that exact name exists, else 0 (0 for
// an empty name); is_playlist_full: 1 at 20 or more; is_active_full: 1 when
// kMaxEnabledPlaylists or more hold an "enabled" value starting with "1". When the config
// directory cannot be opened: 1, 1 and -1.
int has_playlist_name(std::string_view name);
int is_playlist_full();
int is_active_full();

// True when a Boolean setting counts as on: its first character is "1".
inline bool is_on(std::string_view value) { return !value.empty() && value.front() == '1'; }

#endif  // LIB_CONFIG_DIR_H_
