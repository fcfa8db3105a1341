#include "lib/stream_configs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <memory>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/numbers.h"
#include "lib/settings_file.h"
#include "lib/unique_fd.h"
#include "lib/xml_text.h"

namespace {

// The server's name for itself, and the address the source clients reach it
// at: an address, since a firmware may lack "localhost" in its hosts file.
constexpr char kHost[] = "localhost";
constexpr char kServerAddress[] = "127.0.0.1";
constexpr char kDefaultUrl[] = "http://localhost/";
// The namespace that the source client's configuration format declares for
// its "ices:" prefix; the source client checks it.
constexpr char kIcesNamespace[] = "http://www.icecast.org/projects/ices";
// A generated source client config is about a kilobyte; a larger file of
// that name is not one of ours.
constexpr off_t kMaxSourceConfigSize = 64 * 1024;

void AppendLine(std::string& out, const char* format, auto... args) {
  char line[512];
  int n = std::snprintf(line, sizeof line, format, args...);
  // Every line holds numbers and fixed text only, far below the buffer size.
  if (n > 0) out.append(line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
}

// "<Tag>escaped text</Tag>" with the indentation of `indent`.
void AppendElement(std::string& out, std::string_view indent, std::string_view tag, std::string_view text) {
  out += indent;
  out += '<';
  out += tag;
  out += '>';
  out += xml_escape(text);
  out += "</";
  out += tag;
  out += ">\n";
}


}  // namespace

std::string render_server_config(const ServerConfig& c) {
  std::string out;
  out += "<icecast>\n  <limits>\n";
  AppendLine(out, "    <clients>%d</clients>\n", c.clients);
  AppendLine(out, "    <sources>%d</sources>\n", c.sources);
  AppendLine(out, "    <threadpool>%d</threadpool>\n", c.threadpool);
  AppendLine(out, "    <queue-size>%lu</queue-size>\n", static_cast<unsigned long>(c.queue_size));
  AppendLine(out, "    <client-timeout>%d</client-timeout>\n", c.client_timeout);
  AppendLine(out, "    <header-timeout>%d</header-timeout>\n", c.header_timeout);
  AppendLine(out, "    <source-timeout>%d</source-timeout>\n", c.source_timeout);
  out += "    <burst-on-connect>1</burst-on-connect>\n"
         "    <burst-size>65535</burst-size>\n"
         "  </limits>\n"
         "\n"
         "  <authentication>\n";
  AppendElement(out, "    ", "source-password", c.password);
  out += "    <admin-user>admin</admin-user>\n";
  AppendElement(out, "    ", "admin-password", c.password);
  out += "  </authentication>\n"
         "\n";
  AppendLine(out, "  <hostname>%s</hostname>\n", kHost);
  out += "\n  <listen-socket>\n";
  AppendLine(out, "    <port>%d</port>\n", c.port);
  out += "  </listen-socket>\n"
         "\n"
         "  <fileserve>1</fileserve>\n"
         "\n"
         "  <paths>\n"
         "    <logdir>/var/log/wavelorn</logdir>\n"
         "  </paths>\n"
         "\n"
         "  <logging>\n"
         "    <accesslog>access.log</accesslog>\n"
         "    <errorlog>error.log</errorlog>\n"
         "    <playlistlog>playlist.log</playlistlog>\n"
         "    <loglevel>3</loglevel>\n"
         "    <logsize>256</logsize>\n"
         "  </logging>\n"
         "\n"
         "  <security>\n"
         "    <chroot>0</chroot>\n"
         "\n"
         "    <changeowner>\n"
         "      <user>nobody</user>\n"
         "      <group>allaccount</group>\n"
         "    </changeowner>\n"
         "  </security>\n"
         "</icecast>";
  return out;
}

std::string render_source_config(const SourceConfig& c) {
  const std::string name = c.name.value_or("");
  std::string out;
  out += "<?xml version=\"1.0\"?>\n";
  AppendLine(out, "<ices:Configuration xmlns:ices=\"%s\">\n", kIcesNamespace);
  out += "  <Playlist>\n";
  AppendElement(out, "    ", "File", c.file.value_or(""));
  AppendLine(out, "    <Randomize>%d</Randomize>\n", c.randomize);
  out += "    <Type>builtin</Type>\n"
         "    <Module>ices</Module>\n";
  AppendLine(out, "    <Crossfade>%d</Crossfade>\n", c.crossfade);
  out += "  </Playlist>\n"
         "\n"
         "  <Execution>\n"
         "    <Background>1</Background>\n"
         "    <Verbose>0</Verbose>\n"
         "    <BaseDirectory>/var/log/wavelorn</BaseDirectory>\n"
         "  </Execution>\n"
         "\n"
         "  <Stream>\n"
         "    <Server>\n";
  AppendLine(out, "      <Hostname>%s</Hostname>\n", kServerAddress);
  AppendLine(out, "      <Port>%d</Port>\n", c.port);
  AppendElement(out, "      ", "Password", c.password);
  out += "      <Protocol>http</Protocol>\n"
         "    </Server>\n"
         "\n";
  AppendElement(out, "    ", "Mountpoint", c.mountpoint.value_or(""));
  AppendElement(out, "    ", "Name", name);
  AppendElement(out, "    ", "Genre", c.genre.value_or("Genre"));
  AppendElement(out, "    ", "Description", c.description.value_or("KVT-480 MP3 Streaming - " + name));
  AppendElement(out, "    ", "URL", c.url.value_or(kDefaultUrl));
  AppendLine(out, "    <Public>%d</Public>\n", c.is_public);
  if (c.reencode != 0) {
    out += "    <Reencode>1</Reencode>\n";
    AppendLine(out, "    <Bitrate>%d</Bitrate>\n", c.bitrate);
    AppendLine(out, "    <Samplerate>%d</Samplerate>\n", c.samplerate);
  } else {
    out += "    <Reencode>0</Reencode>\n";
  }
  out += "  </Stream>\n"
         "</ices:Configuration>";
  return out;
}

int write_server_config(const ServerConfig& config) {
  return write_file_atomically(server_config_path(), render_server_config(config));
}

int write_source_config(const SourceConfig& config) {
  if (!config.file || !config.name || !is_valid_playlist_name(*config.name)) return 1;
  return write_file_atomically(source_config_path(*config.name), render_source_config(config));
}

std::optional<ServerConfig> server_config_for(int port) {
  std::optional<std::string> password = get_server_password();
  if (!password) return std::nullopt;
  ServerConfig config;
  config.port = port;
  config.password = std::move(*password);
  return config;
}

int build_server_config(int port) {
  std::optional<ServerConfig> config = server_config_for(port);
  return config ? write_server_config(*config) : 1;
}

std::optional<SourceConfig> playlist_source_config(std::string_view name, std::string_view genre,
                                                   std::string_view desc, std::string_view rand) {
  std::optional<ServerSettings> server = read_server_settings();
  if (!server) return std::nullopt;
  SourceConfig config;
  config.file = playlist_path(name);
  config.randomize = leading_int(rand);
  config.port = leading_int(server->port);
  config.password = std::move(server->password);
  config.mountpoint = std::string(name);
  config.name = std::string(name);
  config.genre = std::string(genre);
  config.description = std::string(desc);
  return config;
}

int build_source_config(std::string_view name, std::string_view genre, std::string_view desc,
                        std::string_view rand) {
  std::optional<SourceConfig> config = playlist_source_config(name, genre, desc, rand);
  return config ? write_source_config(*config) : 1;
}

namespace {

// `text` with each line holding "<Port>" replaced by the Port line of `port`
// and, when a password is given, each line holding "<Password>" or
// "<Hostname>" by the Password line and the server's address; every other
// byte stays as it is, a missing final newline included.
std::string WithServerLines(std::string_view text, std::string_view port, std::optional<std::string_view> password) {
  std::string out;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
    text.remove_prefix(line.size());
    if (line.find("<Port>") != std::string_view::npos) {
      AppendElement(out, "      ", "Port", port);
    } else if (password && line.find("<Password>") != std::string_view::npos) {
      AppendElement(out, "      ", "Password", *password);
    } else if (password && line.find("<Hostname>") != std::string_view::npos) {
      AppendElement(out, "      ", "Hostname", kServerAddress);
    } else {
      out += line;
    }
  }
  return out;
}

// Rewrites the server lines (see WithServerLines) of every file of
// source_config_names whose bytes they change, adding the playlist name of
// each file replaced to `changed` when given. Returns 1 when the directory
// cannot be listed or, with `all_or_fail`, a file that differs cannot be
// replaced; else 0.
int RewriteSourceConfigs(std::string_view port, std::optional<std::string_view> password, bool all_or_fail,
                         std::vector<std::string>* changed = nullptr) {
  std::optional<std::vector<std::string>> names = source_config_names();
  if (!names) return 1;
  int result = 0;
  for (const std::string& name : *names) {
    const std::string path = get_conf_dir() + "/" + name;
    std::optional<std::string> old = read_regular_file(path, kMaxSourceConfigSize);
    if (!old) continue;
    std::string renewed = WithServerLines(*old, port, password);
    if (renewed == *old) continue;
    if (write_file_atomically(path, renewed) != 0) {
      if (all_or_fail) result = 1;
    } else if (changed != nullptr) {
      changed->push_back(name.substr(kSourceConfigPrefix.size()));
    }
  }
  return result;
}

}  // namespace

std::string with_source_port(std::string_view config, std::string_view port) {
  return WithServerLines(config, port, std::nullopt);
}

std::optional<std::vector<std::string>> source_config_names() {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(get_conf_dir().c_str()));
  if (!listing) return std::nullopt;
  const int dir_fd = ::dirfd(listing.get());
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing.get())) {
    std::string_view name = entry->d_name;
    if (name.size() <= kSourceConfigPrefix.size() || !name.starts_with(kSourceConfigPrefix)) continue;
    struct stat st;
    if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_size <= kMaxSourceConfigSize) {
      names.emplace_back(name);
    }
  }
  return names;
}

int rewrite_source_ports(std::string_view port) { return RewriteSourceConfigs(port, std::nullopt, false); }

std::string with_server_lines(std::string_view config, std::string_view port, std::string_view password) {
  return WithServerLines(config, port, password);
}

namespace {

// What the generated files must carry: the stored port (valid) and password.
struct Expected {
  std::string port;
  std::string password;
  ServerConfig server;
};

std::optional<Expected> ExpectedConfigs() {
  std::optional<ServerSettings> settings = read_server_settings();
  if (!settings || !is_valid_port(settings->port)) return std::nullopt;
  Expected expected{settings->port, settings->password, ServerConfig{}};
  expected.server.port = leading_int(settings->port);
  expected.server.password = settings->password;
  return expected;
}

}  // namespace

int sync_generated_configs(std::vector<std::string>* changed_sources) {
  std::optional<Expected> expected = ExpectedConfigs();
  if (!expected) return 0;
  // The clients first: a server on a new password while a client config
  // kept the old one would shut that stream out, so the server's file
  // changes only once every client's has.
  if (RewriteSourceConfigs(expected->port, expected->password, true, changed_sources) != 0) return 1;
  if (read_regular_file(server_config_path(), 1 << 20) == render_server_config(expected->server)) return 0;
  return write_server_config(expected->server);
}

namespace {

// False when a line of `text` holds element `tag` with another value than
// `value` (escaped as the generated files escape it). A file without the
// element has nothing that disagrees.
bool ElementsAgree(std::string_view text, std::string_view tag, std::string_view value) {
  std::string open = "<", close = "</";
  open.append(tag).push_back('>');
  close.append(tag).push_back('>');
  const std::string expected = xml_escape(value);
  for (std::size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at + 1)) {
    std::size_t start = at + open.size();
    std::size_t end = text.find(close, start);
    std::size_t line_end = text.find('\n', start);
    if (end == std::string_view::npos || end > line_end || text.substr(start, end - start) != expected) return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<std::string>> stale_generated_configs() {
  std::optional<Expected> expected = ExpectedConfigs();
  if (!expected) return std::nullopt;
  std::vector<std::string> stale;
  if (std::optional<std::string> server = read_regular_file(server_config_path(), 1 << 20);
      server && !(ElementsAgree(*server, "port", expected->port) &&
                  ElementsAgree(*server, "source-password", expected->password) &&
                  ElementsAgree(*server, "admin-password", expected->password))) {
    stale.emplace_back(kServerConfigName);
  }
  std::optional<std::vector<std::string>> names = source_config_names();
  if (!names) return stale;
  std::sort(names->begin(), names->end());
  for (const std::string& name : *names) {
    std::optional<std::string> config = read_regular_file(get_conf_dir() + "/" + name, kMaxSourceConfigSize);
    if (config && !(ElementsAgree(*config, "Port", expected->port) &&
                    ElementsAgree(*config, "Password", expected->password))) {
      stale.push_back(name);
    }
  }
  return stale;
}
