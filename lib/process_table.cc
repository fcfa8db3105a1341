#include "lib/process_table.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/unique_fd.h"

namespace {

// Reads a /proc file whole; empty when the process is gone.
std::string ReadProcFile(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  return fd.valid() ? read_all(fd.get()) : std::string();
}

// /proc/PID/FILE of process `pid`. (Kept plain throughout: the web program
// links this file and must stay small on the device.)
std::string ReadOfProcess(long pid, const char* file) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%ld/%s", pid, file);
  return ReadProcFile(path);
}

// True when `cmdline` (a /proc cmdline: NUL-terminated arguments) is that of
// `program` (the base name of its first argument) with "-c" immediately
// followed by exactly `config_path` among its other arguments.
bool Matches(const std::string& cmdline, std::string_view program, const std::string& config_path) {
  const char* arg = cmdline.c_str();
  const char* const end = arg + cmdline.size();
  std::string_view name(arg);
  name.remove_prefix(name.rfind('/') + 1);  // npos + 1: the whole name
  if (name != program) return false;
  for (arg += std::strlen(arg) + 1; arg < end; arg += std::strlen(arg) + 1) {
    if (std::strcmp(arg, "-c") == 0 && arg + 3 <= end && config_path == arg + 3) return true;
  }
  return false;
}

// True when process `pid`, whose command line matches, is one of ours (see
// the header): its state and user.
bool IsOursByStatus(long pid, std::string_view program, bool include_stopped) {
  const std::string status = ReadOfProcess(pid, "status");
  const std::size_t state = status.find("\nState:\t");
  const std::size_t uid = status.find("\nUid:\t");
  if (state == std::string::npos || uid == std::string::npos) return false;
  const char letter = status[state + 8];
  if (letter == 'Z' || letter == 'X' || (!include_stopped && (letter == 'T' || letter == 't'))) return false;
  // "Uid:" lists the real, effective, saved and file system user ids; the
  // effective one is whose rights the process has.
  char* next;
  std::strtoul(status.c_str() + uid + 6, &next, 10);
  const unsigned long effective = std::strtoul(next, nullptr, 10);
  const uid_t user = stream_user();
  return effective == user || (program == "icecast" && effective == user_server_becomes(user));
}

// True when process `pid` is one of ours (see the header).
bool IsOurs(long pid, std::string_view program, const std::string& config_path, bool include_stopped) {
  return Matches(ReadOfProcess(pid, "cmdline"), program, config_path) && IsOursByStatus(pid, program, include_stopped);
}

}  // namespace

uid_t stream_user(gid_t* group) {
  struct stat st;
  if (::stat(get_conf_dir().c_str(), &st) != 0) {
    st.st_uid = ::geteuid();
    st.st_gid = ::getegid();
  }
  if (group != nullptr) *group = st.st_gid;
  return st.st_uid;
}

namespace {

// The user id of "nobody" in /etc/passwd (read by hand: the programs are
// static, with no name service to ask); nothing when it is not there.
std::optional<uid_t> NobodysId() {
  std::optional<std::string> users = read_regular_file("/etc/passwd", 1 << 20);
  if (!users) return std::nullopt;
  constexpr std::string_view kEntry = "nobody:";
  for (std::size_t at = 0; at < users->size();) {
    std::size_t end = users->find('\n', at);
    if (end == std::string::npos) end = users->size();
    std::string_view line(users->data() + at, end - at);
    at = end + 1;
    if (!line.starts_with(kEntry)) continue;
    // nobody:PASSWORD:UID:...
    const std::size_t colon = line.find(':', kEntry.size());
    if (colon == std::string_view::npos) return std::nullopt;
    std::string id(line.substr(colon + 1, line.find(':', colon + 1) - colon - 1));
    char* stop;
    const unsigned long value = std::strtoul(id.c_str(), &stop, 10);
    if (id.empty() || *stop != '\0' || id[0] == '-') return std::nullopt;
    return static_cast<uid_t>(value);
  }
  return std::nullopt;
}

}  // namespace

uid_t user_server_becomes(uid_t stream) {
  struct stat log;
  if (stream != 0 || ::stat("/var/log/wavelorn", &log) != 0) return stream;
  if (log.st_uid != 0) return log.st_uid;
  return NobodysId().value_or(stream);
}

std::vector<pid_t> find_processes(std::string_view program, const std::string& config_path, bool include_stopped) {
  return ProcessSnapshot::Take().Find(program, config_path, include_stopped);
}

bool process_matches(pid_t pid, std::string_view program, const std::string& config_path) {
  return IsOurs(pid, program, config_path, true);
}

ProcessSnapshot ProcessSnapshot::Take() {
  ProcessSnapshot snapshot;
  std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
  if (!proc) return snapshot;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string cmdline = ReadOfProcess(pid, "cmdline");
    if (!cmdline.empty()) snapshot.candidates_.emplace_back(static_cast<pid_t>(pid), std::move(cmdline));
  }
  return snapshot;
}

std::vector<pid_t> ProcessSnapshot::Find(std::string_view program, const std::string& config_path,
                                        bool include_stopped) const {
  std::vector<pid_t> pids;
  for (const auto& [pid, cmdline] : candidates_) {
    if (Matches(cmdline, program, config_path) && IsOursByStatus(pid, program, include_stopped)) pids.push_back(pid);
  }
  return pids;
}

std::vector<pid_t> find_source_clients(const std::string& config_path, bool include_stopped) {
  return find_processes("ices", config_path, include_stopped);
}

std::vector<pid_t> find_servers(bool include_stopped) {
  return find_processes("icecast", server_config_path(), include_stopped);
}

std::string server_record_path() { return get_conf_dir() + "/" + kServerRecordName; }

std::optional<unsigned long long> process_start_time(pid_t pid) {
  // "PID (COMM) STATE ...": the command name may hold spaces and ")", so the
  // fields are counted after its last ")"; the state is field 3.
  const std::string stat = ReadOfProcess(pid, "stat");
  std::size_t at = stat.rfind(')');
  for (int field = 3; at != std::string::npos && field <= 22; ++field) at = stat.find(' ', at + 1);
  if (at == std::string::npos) return std::nullopt;
  char* end;
  const unsigned long long start = std::strtoull(stat.c_str() + at + 1, &end, 10);
  if (end == stat.c_str() + at + 1) return std::nullopt;
  return start;
}

std::optional<pid_t> process_parent(pid_t pid) {
  // "PID (COMM) STATE PPID ...", counted after the command name's last ")".
  const std::string stat = ReadOfProcess(pid, "stat");
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos || (at = stat.find(' ', at + 2)) == std::string::npos) return std::nullopt;
  char* end;
  const long parent = std::strtol(stat.c_str() + at + 1, &end, 10);
  if (end == stat.c_str() + at + 1) return std::nullopt;
  return static_cast<pid_t>(parent);
}

std::optional<pid_t> recorded_server() {
  UniqueFd fd(::open(server_record_path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64) return std::nullopt;
  const std::string record = read_all(fd.get());
  char* end;
  const long pid = std::strtol(record.c_str(), &end, 10);
  if (pid <= 0 || *end != ' ') return std::nullopt;
  const char* start_text = end + 1;
  const unsigned long long start = std::strtoull(start_text, &end, 10);
  // The start time is looked at last: a process that ended after the other
  // checks cannot have left its id to one started at the same tick.
  if (end == start_text || *end != '\n' || !IsOurs(pid, "icecast", server_config_path(), false) ||
      process_start_time(static_cast<pid_t>(pid)) != start) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

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

namespace {

// Asks the kernel (inet_diag over netlink) for the TCP sockets of `family`
// that listen, and keeps the inodes and owners of those on `port`: the
// listening sockets only, where /proc/net lists every connection of the
// machine as text. Returns false when the kernel does not answer so (no
// inet_diag); the caller then reads /proc/net. The request is the original
// one (TCPDIAG_GETSOCK), which old kernels know as well.
bool ListeningFromKernel(int family, int port, std::vector<std::string>& inodes, std::vector<std::string>& uids) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_INET_DIAG));
  if (!fd.valid()) return false;
  struct {
    nlmsghdr header;
    inet_diag_req request;
  } message = {};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = TCPDIAG_GETSOCK;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.header.nlmsg_seq = 1;
  message.request.idiag_family = static_cast<std::uint8_t>(family);
  message.request.idiag_states = 1u << 10;  // TCP_LISTEN
  sockaddr_nl kernel = {};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
      static_cast<ssize_t>(sizeof message)) {
    return false;
  }
  alignas(nlmsghdr) char buffer[16384];
  for (;;) {
    // The kernel answers at once; a dump that stalls is not waited for.
    pollfd ready = {fd.get(), POLLIN, 0};
    if (::poll(&ready, 1, 500) != 1) return false;
    ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    int left = static_cast<int>(got);  // NLMSG_OK compares it signed: a short message ends the walk
    for (const nlmsghdr* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) return false;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      if (ntohs(socket->id.idiag_sport) != port) continue;
      // The original request may answer every family whatever it names
      // (newer kernels do): each socket once.
      std::string inode = std::to_string(socket->idiag_inode);
      if (std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) continue;
      inodes.push_back(std::move(inode));
      uids.push_back(std::to_string(socket->idiag_uid));
    }
  }
}

// The inodes and owners of the sockets that listen on `port`, from one
// /proc/net table.
void ListeningInodes(const char* table, int port, std::vector<std::string>& inodes, std::vector<std::string>& uids) {
  std::string text = ReadProcFile(table);
  std::size_t line_start = text.find('\n');  // the heading
  while (line_start != std::string::npos && line_start + 1 < text.size()) {
    std::size_t line_end = text.find('\n', line_start + 1);
    std::string line = text.substr(line_start + 1, line_end - line_start - 1);
    line_start = line_end;
    // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout
    // inode ...", split by hand: scanf would double the programs' size on
    // the device.
    std::vector<std::string_view> fields;
    std::string_view rest = line;
    while (fields.size() < 10) {
      std::size_t start = rest.find_first_not_of(' ');
      if (start == std::string_view::npos) break;
      rest.remove_prefix(start);
      std::size_t end = rest.find(' ');
      fields.push_back(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    }
    if (fields.size() < 10 || fields[3] != "0A") continue;  // 0A: listening
    std::size_t colon = fields[1].rfind(':');
    if (colon == std::string_view::npos) continue;
    std::string local_port(fields[1].substr(colon + 1));
    if (std::strtol(local_port.c_str(), nullptr, 16) == port) {
      inodes.emplace_back(fields[9]);
      uids.emplace_back(fields[7]);
    }
  }
}

// The effective user id of process `pid` ("Uid:" line of its status, which
// anyone may read), as /proc/net writes a socket's owner; empty when it is
// gone.
std::string EffectiveUid(pid_t pid) {
  const std::string status = ReadOfProcess(pid, "status");
  const std::size_t uid = status.find("\nUid:\t");
  if (uid == std::string::npos) return "";
  char* next;
  std::strtoul(status.c_str() + uid + 6, &next, 10);
  return std::to_string(std::strtoul(next, nullptr, 10));
}

}  // namespace

std::vector<ListeningSocket> listening_sockets(int port) {
  std::vector<std::string> inodes, uids;
  if (!ListeningFromKernel(AF_INET, port, inodes, uids) || !ListeningFromKernel(AF_INET6, port, inodes, uids)) {
    inodes.clear();
    uids.clear();
    ListeningInodes("/proc/net/tcp", port, inodes, uids);
    ListeningInodes("/proc/net/tcp6", port, inodes, uids);
  }
  std::vector<ListeningSocket> sockets;
  for (std::size_t i = 0; i < inodes.size(); ++i) sockets.push_back({inodes[i], uids[i]});
  return sockets;
}

std::optional<bool> owns_listening_port(const std::vector<pid_t>& pids, int port) {
  std::vector<std::string> inodes, uids;
  for (ListeningSocket& socket : listening_sockets(port)) {
    inodes.push_back(std::move(socket.inode));
    uids.push_back(std::move(socket.uid));
  }
  if (inodes.empty()) return false;
  bool readable = false;
  for (pid_t pid : pids) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<DIR, DirCloser> dir(::opendir(fds.c_str()));
    if (!dir) continue;
    readable = true;
    while (const dirent* entry = ::readdir(dir.get())) {
      char target[64];
      ssize_t n = ::readlinkat(::dirfd(dir.get()), entry->d_name, target, sizeof target - 1);
      if (n <= 0) continue;
      std::string_view link(target, static_cast<std::size_t>(n));
      for (const std::string& inode : inodes) {
        if (link == "socket:[" + inode + "]") return true;
      }
    }
  }
  if (readable) return false;
  // The server changes to an unprivileged user and so cannot be looked into
  // by anyone but root: then the socket's owner tells. No other program can
  // listen on the port beside it under that user (it sets no SO_REUSEPORT),
  // and one of another user is never taken for ours.
  for (pid_t pid : pids) {
    const std::string uid = EffectiveUid(pid);
    if (!uid.empty() && std::find(uids.begin(), uids.end(), uid) != uids.end()) return true;
  }
  return std::nullopt;
}

bool server_listens(int port, std::chrono::milliseconds deadline) {
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    std::vector<pid_t> servers = find_servers();
    if (!servers.empty() && port_accepts(port, std::chrono::milliseconds(200))) {
      if (std::optional<bool> owns = owns_listening_port(servers, port)) {
        if (*owns) return true;
      } else {
        // Cannot see whose socket it is: a server that lost the port to
        // another program ends at once, so one that still runs a moment
        // later is the listener.
        ::usleep(300000);
        if (!find_servers().empty()) return true;
      }
    }
    if (std::chrono::steady_clock::now() >= give_up) return false;
    ::usleep(50000);
  }
}
