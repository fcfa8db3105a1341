#ifndef LIB_PROCESS_TABLE_H_
#define LIB_PROCESS_TABLE_H_

// What runs: the streaming processes found in /proc by their command lines,
// and whether a TCP port on 127.0.0.1 accepts connections.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The process ids of the processes whose first argument has the base name
// `program` and whose arguments hold "-c" immediately followed by exactly
// `config_path`. A process that ends while it is read is passed over; the
// calling process is never listed.
std::vector<pid_t> find_processes(std::string_view program, const std::string& config_path);

// True when process `pid` is still one that find_processes would list.
bool process_matches(pid_t pid, std::string_view program, const std::string& config_path);

// The source clients started on `config_path` ("ices -c CONFIG ...").
std::vector<pid_t> find_source_clients(const std::string& config_path);

// The servers started on the config directory's icecast.xml.
std::vector<pid_t> find_servers();

// True when a TCP connection to 127.0.0.1:`port` is accepted within
// `timeout`.
bool port_accepts(int port, std::chrono::milliseconds timeout);

// Whether one of `pids` holds the socket that listens on TCP port `port`
// (IPv4 or IPv6), from /proc/net and the processes' descriptors, or, when
// their descriptors are not ours to read, from the socket's owner being the
// user one of them runs as; nothing when neither tells.
std::optional<bool> owns_listening_port(const std::vector<pid_t>& pids, int port);

// Waits until a server started on the config directory's icecast.xml runs
// and listens on `port` itself, for at most `deadline`. Returns false when
// it does not: it never came up, or ended because another program holds the
// port.
bool server_listens(int port, std::chrono::milliseconds deadline);

#endif  // LIB_PROCESS_TABLE_H_
