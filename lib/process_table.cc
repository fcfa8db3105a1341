#include "lib/process_table.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "lib/config_dir.h"
#include "lib/unique_fd.h"

namespace {

// Reads a /proc file whole; empty when the process is gone.
std::string ReadProcFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() ? read_all(fd.get()) : std::string();
}

bool Matches(std::string_view cmdline, std::string_view program, std::string_view config_path) {
  std::vector<std::string_view> args;
  while (!cmdline.empty()) {
    std::size_t end = cmdline.find('\0');
    args.push_back(cmdline.substr(0, end));
    if (end == std::string_view::npos) break;
    cmdline.remove_prefix(end + 1);
  }
  if (args.empty()) return false;
  std::string_view name = args[0];
  std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name != program) return false;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "-c" && args[i + 1] == config_path) return true;
  }
  return false;
}

}  // namespace

std::vector<pid_t> find_processes(std::string_view program, const std::string& config_path) {
  std::vector<pid_t> pids;
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return pids;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string cmdline = ReadProcFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (Matches(cmdline, program, config_path)) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

bool process_matches(pid_t pid, std::string_view program, const std::string& config_path) {
  return Matches(ReadProcFile("/proc/" + std::to_string(pid) + "/cmdline"), program, config_path);
}

std::vector<pid_t> find_source_clients(const std::string& config_path) { return find_processes("ices", config_path); }

std::vector<pid_t> find_servers() { return find_processes("icecast", server_config_path()); }

bool port_accepts(int port, std::chrono::milliseconds timeout) {
  if (port < 1 || port > 65535) return false;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd wait = {fd.get(), POLLOUT, 0};
  int ready;
  do ready = ::poll(&wait, 1, static_cast<int>(timeout.count()));
  while (ready < 0 && errno == EINTR);
  int error = 0;
  socklen_t length = sizeof error;
  return ready == 1 && ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}
