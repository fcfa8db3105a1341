// Stand-in for the ices source client (and, run as "icecast", the server) in
// tests. Appends one line to the file
// named by $STANDIN_LOG: its program name and arguments joined by "|"
// ("ices|-c|CONFIG|-B"). With -B it detaches as ices does and then waits,
// keeping its command line, until it is killed.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
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
  // Like the device's client, SIGHUP makes it read its playlist again; here
  // it notes "hup|ARGS" in the log.
  static volatile sig_atomic_t hangups = 0;
  struct sigaction hup = {};
  hup.sa_handler = [](int) { hangups = hangups + 1; };
  ::sigaction(SIGHUP, &hup, nullptr);
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
