// A stand-in for the device's MP3 source client, for the local device and its
// end-to-end test only: it is not part of the add-on. Debian does not package
// the source client that reads the generated config, so this program reads
// that config with a real XML parser, refuses it loudly (in ices.log in the
// config's BaseDirectory) when it is not well-formed or lacks a value it
// needs, detaches as "ices -B" does, and streams the playlist file's MP3s to
// the server by running ezstream with an equivalent configuration.
//
// Titles go as the device's client sends them: at each song's start (ezstream
// names the file in its log) it reads the song's tags itself and sends
// "ARTIST - TITLE" to the server's metadata update, without a character set
// parameter. ID3v2.3/2.4 TIT2 and TPE1 in ISO-8859-1 or UTF-8 go as their
// bytes are; UTF-16 (with a byte order mark, or big-endian) goes converted to
// UTF-8, since the request cannot carry its zero bytes; ID3v1 as its Latin-1
// bytes. A song without a title goes by its file name without extension.
// Unsynchronised tags and ID3v2.2 are not read. ezstream sends no titles.
//
// Usage: ices -c CONFIG [-B]
//
// It keeps its own command line, so the controller finds and stops it; its
// ezstream dies with it (PR_SET_PDEATHSIG), since the controller kills with
// signal 9.

#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "lib/xml_text.h"

namespace {

constexpr char kIcesNamespace[] = "http://www.icecast.org/projects/ices";
const char* const kRequired[] = {"Hostname", "Port", "Password", "Mountpoint", "File"};

FILE* g_log = stderr;

void Log(const char* format, ...) {
  char when[32];
  std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(g_log, "[%s] ices[%d]: ", when, static_cast<int>(::getpid()));
  va_list args;
  va_start(args, format);
  std::vfprintf(g_log, format, args);
  va_end(args);
  std::fputc('\n', g_log);
  std::fflush(g_log);
}

// The text of every element below `node`, by local name; the first wins.
void Collect(xmlNode* node, std::map<std::string, std::string>& values) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    std::string name = reinterpret_cast<const char*>(node->name);
    if (values.find(name) == values.end()) {
      xmlChar* text = xmlNodeGetContent(node);
      values[name] = text != nullptr ? reinterpret_cast<const char*>(text) : "";
      xmlFree(text);
    }
    Collect(node->children, values);
  }
}

// The mount point as the server knows it: the name with a leading "/". The
// streaming library escapes it for the request line itself.
std::string MountPath(const std::string& mount) { return "/" + mount; }

// ezstream refuses an empty metadata element, where the device's source
// client takes an empty genre or description as none: leave those out.
std::string Optional(const std::string& element, const std::string& value) {
  if (value.empty()) return "";
  return "    <" + element + ">" + xml_escape(value) + "</" + element + ">\n";
}

std::string EzstreamConfig(std::map<std::string, std::string>& v) {
  bool shuffle = std::atoi(v["Randomize"].c_str()) != 0;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ezstream>\n"
         "  <servers><server>\n"
         "    <protocol>HTTP</protocol>\n"
         "    <hostname>" + xml_escape(v["Hostname"]) + "</hostname>\n"
         "    <port>" + xml_escape(v["Port"]) + "</port>\n"
         "    <user>source</user>\n"
         "    <password>" + xml_escape(v["Password"]) + "</password>\n"
         "  </server></servers>\n"
         "  <streams><stream>\n"
         "    <mountpoint>" + xml_escape(MountPath(v["Mountpoint"])) + "</mountpoint>\n"
         "    <format>MP3</format>\n"
         "    <stream_name>" + xml_escape(v["Name"]) + "</stream_name>\n" +
         Optional("stream_genre", v["Genre"]) + Optional("stream_description", v["Description"]) +
         "  </stream></streams>\n"
         "  <intakes><intake>\n"
         "    <type>playlist</type>\n"
         "    <filename>" + xml_escape(v["File"]) + "</filename>\n"
         "    <shuffle>" + (shuffle ? "Yes" : "No") + "</shuffle>\n"
         "    <stream_once>No</stream_once>\n"
         "  </intake></intakes>\n"
         "  <metadata><no_updates>Yes</no_updates></metadata>\n"
         "</ezstream>\n";
}

// --- Song titles from the tags -----------------------------------------------

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 63));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 63));
    out += static_cast<char>(0x80 | (code & 63));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 63));
    out += static_cast<char>(0x80 | ((code >> 6) & 63));
    out += static_cast<char>(0x80 | (code & 63));
  }
}

// The first string of an ID3v2 text frame's body.
std::string FrameText(std::string_view body) {
  if (body.empty()) return "";
  unsigned char encoding = body[0];
  body.remove_prefix(1);
  if (encoding == 0 || encoding == 3) return std::string(body.substr(0, body.find('\0')));
  if (encoding != 1 && encoding != 2) return "";
  bool big_endian = true;
  if (encoding == 1 && body.size() >= 2) {
    big_endian = !(body[0] == '\xFF' && body[1] == '\xFE');
    if ((body[0] == '\xFF' && body[1] == '\xFE') || (body[0] == '\xFE' && body[1] == '\xFF')) body.remove_prefix(2);
  }
  std::string out;
  unsigned long high = 0;
  for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
    unsigned char a = body[i], b = body[i + 1];
    unsigned long unit = big_endian ? (a << 8 | b) : (b << 8 | a);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00) {
      high = unit;
      continue;
    }
    if (unit >= 0xDC00 && unit < 0xE000) {
      if (high != 0) AppendUtf8(out, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      high = 0;
      continue;
    }
    high = 0;
    AppendUtf8(out, unit);
  }
  return out;
}

unsigned long BigEndian(std::string_view b, bool syncsafe) {
  unsigned long n = 0;
  for (int i = 0; i < 4; ++i) n = syncsafe ? (n << 7) | (b[i] & 0x7F) : (n << 8) | static_cast<unsigned char>(b[i]);
  return n;
}

// A text field of an ID3v1 tag: up to its first zero byte, trailing spaces cut.
std::string V1Field(std::string_view field) {
  field = field.substr(0, field.find('\0'));
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  return std::string(field);
}

// "ARTIST - TITLE" (or TITLE alone) of the MP3 file at `path`, as the
// device's client sends it.
std::string SongTitle(const std::string& path) {
  std::string title, artist;
  if (FILE* file = std::fopen(path.c_str(), "rbe")) {
    char header[10];
    if (std::fread(header, 1, 10, file) == 10 && std::memcmp(header, "ID3", 3) == 0 &&
        (header[3] == 3 || header[3] == 4)) {
      const bool v4 = header[3] == 4;
      std::string tag(BigEndian(std::string_view(header + 6, 4), true), '\0');
      tag.resize(std::fread(tag.data(), 1, tag.size(), file));
      std::size_t at = 0;
      if ((header[5] & 0x40) != 0 && tag.size() >= 4) {  // an extended header
        at = v4 ? BigEndian(tag, true) : 4 + BigEndian(tag, false);
      }
      while (at + 10 <= tag.size() && tag[at] != '\0') {
        std::string_view frame(tag.data() + at, 10);
        std::size_t size = BigEndian(frame.substr(4), v4);
        if (size > tag.size() - at - 10) break;
        std::string_view body(tag.data() + at + 10, size);
        if (frame.starts_with("TIT2")) title = FrameText(body);
        if (frame.starts_with("TPE1")) artist = FrameText(body);
        at += 10 + size;
      }
    }
    char v1[128];
    if (title.empty() && std::fseek(file, -128, SEEK_END) == 0 && std::fread(v1, 1, 128, file) == 128 &&
        std::memcmp(v1, "TAG", 3) == 0) {
      title = V1Field(std::string_view(v1 + 3, 30));
      artist = V1Field(std::string_view(v1 + 33, 30));
    }
    std::fclose(file);
  }
  if (title.empty()) {
    std::string base = path.substr(path.rfind('/') + 1);
    return base.substr(0, base.rfind('.'));
  }
  return artist.empty() ? title : artist + " - " + title;
}

// --- The metadata update ---------------------------------------------------------

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string Base64(std::string_view text) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) n |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) n |= static_cast<unsigned char>(text[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += i + 1 < text.size() ? kDigits[(n >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

// Sends `song` as the mount's title, as the source user, waiting at most two
// seconds for each step. Logs the server's answer's first line.
void SendTitle(std::map<std::string, std::string>& v, const std::string& song) {
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(v["Hostname"].c_str(), v["Port"].c_str(), &hints, &found) != 0) {
    Log("cannot send the title: %s is not an address", v["Hostname"].c_str());
    return;
  }
  int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval limit = {2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string request = "GET /admin/metadata?mode=updinfo&mount=" + UrlEncode(MountPath(v["Mountpoint"])) +
                        "&song=" + UrlEncode(song) + " HTTP/1.0\r\nHost: " + v["Hostname"] + ":" + v["Port"] +
                        "\r\nAuthorization: Basic " + Base64("source:" + v["Password"]) +
                        "\r\nUser-Agent: ices-standin\r\n\r\n";
  char answer[128] = "";
  ssize_t got = -1;
  if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    got = ::recv(fd, answer, sizeof answer - 1, 0);
  }
  const int error = got < 0 ? errno : 0;
  ::freeaddrinfo(found);
  if (fd >= 0) ::close(fd);
  if (got <= 0) {
    Log("cannot send the title \"%s\": %s", song.c_str(), got < 0 ? std::strerror(error) : "no answer");
    return;
  }
  answer[got] = '\0';
  answer[std::strcspn(answer, "\r\n")] = '\0';
  Log("title \"%s\": %s", song.c_str(), answer);
}

// The file of an ezstream log line "ezstream[PID]: streaming: META (FILE)":
// the longest tail in parentheses that names an existing file.
std::string StreamedFile(std::string_view line) {
  std::size_t at = line.find(": streaming: ");
  if (at == std::string_view::npos || !line.ends_with(')')) return "";
  for (at = line.find(" (/", at); at != std::string_view::npos; at = line.find(" (/", at + 1)) {
    std::string path(line.substr(at + 2, line.size() - at - 3));
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return path;
  }
  return "";
}

pid_t g_ezstream = -1;
std::string g_ezstream_config;

void Shutdown(int) {
  if (g_ezstream > 0) ::kill(g_ezstream, SIGKILL);
  ::unlink(g_ezstream_config.c_str());
  ::_exit(0);
}

// Like the device's client, SIGHUP makes the stream read its playlist again:
// ezstream does that on SIGHUP, without dropping listeners.
void Reread(int) {
  if (g_ezstream > 0) ::kill(g_ezstream, SIGHUP);
}

}  // namespace

int main(int argc, char** argv) {
  const char* config = nullptr;
  bool background = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
      config = argv[++i];
    } else if (std::strcmp(argv[i], "-B") == 0) {
      background = true;
    }
  }
  if (config == nullptr) {
    std::fprintf(stderr, "usage: ices -c CONFIG [-B]\n");
    return 1;
  }

  xmlDoc* doc = xmlReadFile(config, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  std::map<std::string, std::string> values;
  xmlNode* root = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
  if (root != nullptr) Collect(root, values);
  std::string base = values.count("BaseDirectory") ? values["BaseDirectory"] : "/var/log/wavelorn";
  if (FILE* log = std::fopen((base + "/ices.log").c_str(), "ae")) g_log = log;

  if (doc == nullptr || root == nullptr) {
    const xmlError* error = xmlGetLastError();
    Log("refusing %s: not well-formed XML: %s", config, error != nullptr && error->message ? error->message : "?");
    return 1;
  }
  if (root->ns == nullptr || std::strcmp(reinterpret_cast<const char*>(root->ns->href), kIcesNamespace) != 0 ||
      std::strcmp(reinterpret_cast<const char*>(root->name), "Configuration") != 0) {
    Log("refusing %s: the root element is not ices:Configuration in %s", config, kIcesNamespace);
    return 1;
  }
  for (const char* key : kRequired) {
    if (values[key].empty()) {
      Log("refusing %s: no <%s>", config, key);
      return 1;
    }
  }
  xmlFreeDoc(doc);

  char path[] = "/tmp/ices-ezstream-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) {
    Log("cannot write the ezstream config: %s", std::strerror(errno));
    return 1;
  }
  std::string ez = EzstreamConfig(values);
  if (::write(fd, ez.data(), ez.size()) != static_cast<ssize_t>(ez.size())) return 1;
  ::close(fd);
  g_ezstream_config = path;

  if (background) {
    pid_t child = ::fork();
    if (child < 0) return 1;
    if (child > 0) return 0;
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    for (int i = 0; i < 3; ++i) ::dup2(null, i);
    if (null > 2) ::close(null);
  }
  ::signal(SIGTERM, Shutdown);
  ::signal(SIGINT, Shutdown);
  struct sigaction hup = {};
  hup.sa_handler = Reread;
  hup.sa_flags = SA_RESTART;  // the wait for ezstream goes on
  ::sigaction(SIGHUP, &hup, nullptr);
  Log("streaming %s to %s:%s%s", values["File"].c_str(), values["Hostname"].c_str(), values["Port"].c_str(),
      MountPath(values["Mountpoint"]).c_str());
  const pid_t self = ::getpid();
  for (;;) {
    // ezstream's log comes through a pipe: each song's start names its file.
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return 1;
    g_ezstream = ::fork();
    if (g_ezstream == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != self) ::_exit(1);  // the parent died before prctl
      ::dup2(::fileno(g_log), 1);
      ::dup2(pipe[1], 2);
      ::execlp("ezstream", "ezstream", "-q", "-v", "-c", path, static_cast<char*>(nullptr));
      Log("cannot run ezstream: %s", std::strerror(errno));
      ::_exit(127);
    }
    ::close(pipe[1]);
    if (FILE* lines = ::fdopen(pipe[0], "r")) {
      char* line = nullptr;
      std::size_t capacity = 0;
      ssize_t length;
      while ((length = ::getline(&line, &capacity, lines)) > 0) {  // SIGHUP's handler restarts the read
        std::fputs(line, g_log);
        std::fflush(g_log);
        std::string_view text(line, static_cast<std::size_t>(length));
        if (text.ends_with('\n')) text.remove_suffix(1);
        std::string file = StreamedFile(text);
        if (!file.empty()) SendTitle(values, SongTitle(file));
      }
      std::free(line);
      std::fclose(lines);
    } else {
      ::close(pipe[0]);
    }
    int status = 0;
    if (g_ezstream > 0) ::waitpid(g_ezstream, &status, 0);
    Log("ezstream ended (status %d); starting it again in a second", status);
    ::sleep(1);
  }
}
