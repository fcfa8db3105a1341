#ifndef LIB_STREAM_CONFIGS_H_
#define LIB_STREAM_CONFIGS_H_

// The XML files that the outside programs read: icecast.xml for the server and
// ices.conf-NAME for the source client of each playlist. Both are generated
// whole from fixed templates and replace the old file atomically. Texts are
// escaped so that the files stay well-formed whatever the user typed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/config_dir.h"

// The values of icecast.xml that are not fixed text.
struct ServerConfig {
  int clients = 100;
  int sources = 5;
  int threadpool = 5;
  std::uint32_t queue_size = 524288;
  int client_timeout = 30;
  int header_timeout = 15;
  int source_timeout = 10;
  int port = 8000;
  std::string password = kDefaultPassword;  // the source and admin password
};

// The values of one source client config. An absent text differs from an
// empty one: only an absent genre, description or URL gets its default.
struct SourceConfig {
  std::optional<std::string> file;  // the playlist file; required
  int randomize = 0;
  int crossfade = 0;
  int port = 8000;
  std::string password = kDefaultPassword;  // the server's source password
  std::optional<std::string> mountpoint;
  std::optional<std::string> name;  // also the file name's suffix; required
  std::optional<std::string> genre;
  std::optional<std::string> description;
  std::optional<std::string> url;
  int is_public = 0;
  int reencode = 0;  // non-zero adds Bitrate and Samplerate
  int bitrate = 128;
  int samplerate = 0;
};

// The exact bytes of icecast.xml (48 lines, no final newline).
std::string render_server_config(const ServerConfig& config);

// The exact bytes of a source client config (33 lines, 35 when re-encoding).
std::string render_source_config(const SourceConfig& config);

// Replaces the config directory's icecast.xml. Returns 0, or 1 when the file
// cannot be written (the old one then stays as it was).
int write_server_config(const ServerConfig& config);

// Replaces ices.conf-NAME of the config's name. Returns 1, touching nothing,
// when `file` or `name` is absent, the name cannot name a playlist, or the
// file cannot be written; else 0.
int write_source_config(const SourceConfig& config);

// The server config with `port`, the stored password (see
// get_server_password) and every other value at its default; nothing when
// the server settings file cannot be read.
std::optional<ServerConfig> server_config_for(int port);

// Writes server_config_for(port). Returns the result of write_server_config,
// or 1, writing nothing, when the server settings cannot be read.
int build_server_config(int port);

// The source client config of playlist `name`: its playlist file, the
// randomize flag's integer value, the port and password stored in the server
// settings file (read once, see read_server_settings), the name as mount
// point and name, and the genre and description as given. Nothing when the
// server settings file cannot be read.
std::optional<SourceConfig> playlist_source_config(std::string_view name, std::string_view genre,
                                                   std::string_view desc, std::string_view rand);

// Writes playlist_source_config of these values. Returns the result of
// write_source_config, or 1, writing nothing, when the server settings cannot
// be read.
int build_source_config(std::string_view name, std::string_view genre, std::string_view desc,
                        std::string_view rand);

// `config` with every line that holds "<Port>" replaced by
// "      <Port>PORT</Port>" and a line feed; every other byte stays, a missing
// final line feed included.
std::string with_source_port(std::string_view config, std::string_view port);

// `config` with its Port line as with_source_port, every line that holds
// "<Password>" replaced by the Password line of `password` and every line
// that holds "<Hostname>" by the server's address; every other byte stays.
std::string with_server_lines(std::string_view config, std::string_view port, std::string_view password);

// The names of the files of the config directory that a port change
// rewrites: "ices.conf-" and at least one character, regular files (found
// without following a link) of at most 64 KiB; links, FIFOs and larger files
// are not ours. Nothing when the directory cannot be listed.
std::optional<std::vector<std::string>> source_config_names();

// Rewrites every file of source_config_names with_source_port, each replaced
// atomically. Returns 1 when the config directory cannot be listed, else 0
// (a file that cannot be rewritten is left as it was).
int rewrite_source_ports(std::string_view port);

// Brings the generated files in line with the server settings: icecast.xml
// becomes the file build_server_config writes for the stored port, and the
// Port, Password and Hostname lines of every file of source_config_names
// name the stored port and password and the server's address. A file that
// already agrees is not written; icecast.xml only once every client config
// agrees, so that the server never takes a password a client lacks. Adds
// the playlist name of every source client config it replaced to
// `changed_sources` when given (their running clients still hold the old
// values). Does nothing when the server settings file cannot be read or
// stores no valid port: a guess would move the server. Returns 0, or 1 when
// a file that differs could not be replaced.
int sync_generated_configs(std::vector<std::string>* changed_sources = nullptr);

// The generated files that disagree with the server settings: icecast.xml
// when one of its port, source-password and admin-password elements holds
// another value than the stored port and password, and each file of
// source_config_names whose Port or Password element does; in that order,
// files by name. A file without the element disagrees with nothing. Such a server
// turns its clients away (or takes a password the owner no longer uses).
// Nothing when the server settings file cannot be read or stores no valid
// port. Reads only; changes nothing.
std::optional<std::vector<std::string>> stale_generated_configs();

#endif  // LIB_STREAM_CONFIGS_H_
