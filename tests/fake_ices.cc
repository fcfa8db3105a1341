// Stand-in for the ices source client (and, run as "icecast", the server) in
// tests. Appends one line to the file named by $STANDIN_LOG: its program name
// and arguments joined by "|" ("ices|-c|CONFIG|-B"). With -B (or -b) it
// detaches as the real programs do and then waits, keeping its command line,
// until it is killed. Run as "icecast", it listens on 127.0.0.1 at the
// <port> of its config, and ends at once when that port is taken, as the
// server does.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The port of "<port>N</port>" in the config file after "-c"; 0 when none.
int ConfiguredPort(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-c") != 0) continue;
    FILE* config = std::fopen(argv[i + 1], "re");
    if (config == nullptr) return 0;
    char text[8192] = {};
    std::size_t n = std::fread(text, 1, sizeof text - 1, config);
    std::fclose(config);
    std::size_t at = std::string(text, n).find("<port>");
    return at != std::string::npos ? std::atoi(text + at + 6) : 0;
  }
  return 0;
}

// Listens on 127.0.0.1:`port`; returns the socket, or -1 when it is taken.
int Listen(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    return -1;
  }
  return fd;
}

}  // namespace

// Like the device's client, SIGHUP makes it read its playlist again; here it
// notes "hup|ARGS" in the log. Counted from the very start: a rescan may send
// it while the client is still detaching, when the default action would end
// it.
volatile sig_atomic_t hangups = 0;

int main(int argc, char** argv) {
  struct sigaction hup = {};
  hup.sa_handler = [](int) { hangups = hangups + 1; };
  ::sigaction(SIGHUP, &hup, nullptr);
  std::string line = argc > 0 ? argv[0] : "";
  if (std::size_t slash = line.rfind('/'); slash != std::string::npos) line.erase(0, slash + 1);
  bool background = false;
  for (int i = 1; i < argc; ++i) {
    line += '|';
    line += argv[i];
    // -B as the source client takes it, -b as the server does.
    background = background || std::strcmp(argv[i], "-B") == 0 || std::strcmp(argv[i], "-b") == 0;
  }
  line += '\n';
  if (const char* log = std::getenv("STANDIN_LOG")) {
    int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      if (::write(fd, line.data(), line.size()) < 0) return 1;
      ::close(fd);
    }
  }
  if (!background) return 0;
  pid_t child = ::fork();
  if (child != 0) return child < 0 ? 1 : 0;
  ::setsid();
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
  if (line.starts_with("icecast|")) {
    int port = ConfiguredPort(argc, argv);
    int listener = port > 0 ? Listen(port) : -1;
    if (listener < 0) return 1;
    for (;;) {
      int client = ::accept(listener, nullptr, nullptr);
      if (client >= 0) ::close(client);
    }
  }
  for (sig_atomic_t noted = 0;;) {
    ::pause();
    for (; noted < hangups; ++noted) {
      const char* log = std::getenv("STANDIN_LOG");
      int fd = log != nullptr ? ::open(log, O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
      std::string hup_line = "hup|" + line.substr(line.find('|') + 1);
      if (fd >= 0 && ::write(fd, hup_line.data(), hup_line.size()) >= 0) ::close(fd);
    }
  }
}
