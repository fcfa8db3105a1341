// A stand-in for the device's MP3 source client, for the local device and its
// end-to-end test only: it is not part of the add-on. Debian does not package
// the source client that reads the generated config, so this program reads
// that config with a real XML parser, refuses it loudly (in ices.log in the
// config's BaseDirectory) when it is not well-formed or lacks a value it
// needs, detaches as "ices -B" does, and streams the playlist file's MP3s to
// the server by running ezstream with an equivalent configuration.
//
// Usage: ices -c CONFIG [-B]
//
// It keeps its own command line, so the controller finds and stops it; its
// ezstream dies with it (PR_SET_PDEATHSIG), since the controller kills with
// signal 9.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
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
         "</ezstream>\n";
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
    g_ezstream = ::fork();
    if (g_ezstream == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != self) ::_exit(1);  // the parent died before prctl
      int log = ::fileno(g_log);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::execlp("ezstream", "ezstream", "-q", "-c", path, static_cast<char*>(nullptr));
      Log("cannot run ezstream: %s", std::strerror(errno));
      ::_exit(127);
    }
    int status = 0;
    if (g_ezstream > 0) ::waitpid(g_ezstream, &status, 0);
    Log("ezstream ended (status %d); starting it again in a second", status);
    ::sleep(1);
  }
}
