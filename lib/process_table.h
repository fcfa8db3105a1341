#ifndef LIB_PROCESS_TABLE_H_
#define LIB_PROCESS_TABLE_H_

// What runs: the streaming processes found in /proc, and whether a TCP port
// on 127.0.0.1 accepts connections.
//
// A process is one of ours only when its command line is that of one of our
// programs on a file of the config directory, it runs as the stream user
// (below), and it is neither a zombie nor stopped (SIGSTOP, or halted by a
// tracer): a stopped server or client serves nobody, so it counts as down.
// A process of another user is never counted, and so never signalled.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The user the streaming processes run as: the owner of the config
// directory (the effective user when it cannot be looked at), whoever starts
// them. `group` receives the directory's group.
uid_t stream_user(gid_t* group = nullptr);

// The user a server of `stream` (the stream user) runs as besides that
// user. Started by root, the server changes to the changeowner user of
// icecast.xml ("nobody"). When `stream` is root and the log folder
// /var/log/wavelorn exists: its owner when that is not root (a folder given
// to the server, as before), else nobody's id in /etc/passwd (the boot
// script keeps the folder root's, in the server's group, so that nobody
// cannot swap links for root's clients' logs). Otherwise `stream`.
uid_t user_server_becomes(uid_t stream);

// The process ids of our processes whose first argument has the base name
// `program` and whose arguments hold "-c" immediately followed by exactly
// `config_path`; stopped ones too when `include_stopped` is set (to be
// killed). A process that ends while it is read is passed over; the calling
// process is never listed.
std::vector<pid_t> find_processes(std::string_view program, const std::string& config_path,
                                  bool include_stopped = false);

// True when process `pid` is still one that find_processes would list with
// `include_stopped` set: it has not ended yet.
bool process_matches(pid_t pid, std::string_view program, const std::string& config_path);

// One look at /proc for many questions: the command lines of the processes,
// read once, so that the server and the clients of
// every playlist are found without walking /proc for each. Their state and
// user are read when asked. A process that ended since is passed over.
class ProcessSnapshot {
 public:
  static ProcessSnapshot Take();
  // As find_processes, among the processes of the snapshot.
  std::vector<pid_t> Find(std::string_view program, const std::string& config_path,
                          bool include_stopped = false) const;

 private:
  std::vector<std::pair<pid_t, std::string>> candidates_;  // pid, cmdline
};

// The source clients started on `config_path` ("ices -c CONFIG ...").
std::vector<pid_t> find_source_clients(const std::string& config_path, bool include_stopped = false);

// The servers started on the config directory's icecast.xml.
std::vector<pid_t> find_servers(bool include_stopped = false);

// The record of the server the controller started last: ".wl-server-id" in the
// config directory, holding "PID STARTTIME\n", the daemon's process id and
// its start time (field 22 of /proc/PID/stat, in clock ticks since boot). A
// process id alone could since belong to another process; the pair cannot.
// Only the controller writes it (atomically, at each launch).
std::string server_record_path();

// The start time of process `pid` (field 22 of /proc/PID/stat); nothing when
// it has ended.
// The parent process id of process `pid`; nothing when it is gone.
std::optional<pid_t> process_parent(pid_t pid);

std::optional<unsigned long long> process_start_time(pid_t pid);

// The recorded server, when it still runs: the process of the recorded id,
// started at the recorded time, that find_servers lists (our command line and
// user, neither stopped nor a zombie). Nothing when there is no record (a
// server started before records were kept), it cannot be read, or it names
// a process that has ended. Only this server is ever sent the password.
std::optional<pid_t> recorded_server();

// True when a TCP connection to 127.0.0.1:`port` is accepted within
// `timeout`.
bool port_accepts(int port, std::chrono::milliseconds timeout);

// A TCP socket that listens: its inode and its owner's uid, in decimal.
struct ListeningSocket {
  std::string inode;
  std::string uid;
};

// The TCP sockets (IPv4 and IPv6) that listen on `port`, asked of the
// kernel over netlink (inet_diag: the listening sockets only), or, where it
// does not answer so, read from /proc/net/tcp and tcp6 (every connection of
// the machine, as text).
std::vector<ListeningSocket> listening_sockets(int port);

// Whether one of `pids` holds the socket that listens on TCP port `port`
// (IPv4 or IPv6), from listening_sockets and the processes' descriptors, or, when
// their descriptors are not ours to read, from the socket's owner being the
// user one of them runs as; nothing when neither tells.
std::optional<bool> owns_listening_port(const std::vector<pid_t>& pids, int port);

// Waits until a server started on the config directory's icecast.xml runs
// and listens on `port` itself, for at most `deadline`. Returns false when
// it does not: it never came up, or ended because another program holds the
// port.
bool server_listens(int port, std::chrono::milliseconds deadline);

#endif  // LIB_PROCESS_TABLE_H_
