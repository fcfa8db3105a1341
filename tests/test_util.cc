#include "tests/test_util.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

const char kConfigHead[] =
    "Pragma: no-cache\r\nCache-Control: no-cache\r\nContent-type: text/xml\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const char kRowsHead[] =
    "Pragma: no-cache\r\nCache-Control: no-cache\r\nContent-type: text/xml\r\n\r\n"
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";

namespace {

// How long one run of a program under test may take, emulated included.
constexpr std::chrono::seconds kRunDeadline{120};

}  // namespace

TempDir::TempDir() {
  char templ[] = "/tmp/wltest-XXXXXX";
  if (::mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() { RemoveTree(path_); }

void RemoveTree(const std::string& path) {
  // Folders made unreadable by a test must be opened up again first.
  ::nftw(path.c_str(), [](const char* p, const struct stat* st, int type, FTW*) {
    if (type == FTW_D || type == FTW_DNR) ::chmod(p, (st->st_mode & 07777) | 0700);
    return 0;
  }, 16, FTW_PHYS);
  ::nftw(path.c_str(), [](const char* p, const struct stat*, int, FTW*) {
    ::remove(p);
    return 0;
  }, 16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& contents, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

std::string ReadFile(const std::string& path) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return data;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void PointConfDir(const std::string& dir) { WriteFile("/tmp/iceconf.dir", dir); }

RunResult RunCapture(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& input) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  RunResult result;
  // Feed the input and drain both outputs together so that nothing blocks.
  std::size_t fed = 0;
  if (input.empty()) ::close(in[1]), in[1] = -1;
  ::signal(SIGPIPE, SIG_IGN);
  // No program under test may keep a test waiting: past the deadline it is
  // killed and the result says so.
  const auto deadline = std::chrono::steady_clock::now() + kRunDeadline;
  bool timed_out = false;
  for (int open_outputs = 2; open_outputs > 0;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (::poll(fds, in[1] >= 0 ? 3 : 2, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      timed_out = true;  // cannot watch it any more: stop it
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open_outputs;
      }
    }
    if (in[1] >= 0 && fds[2].revents != 0) {
      ssize_t n = ::write(in[1], input.data() + fed, input.size() - fed);
      if (n > 0) fed += static_cast<std::size_t>(n);
      if (n <= 0 || fed == input.size()) ::close(in[1]), in[1] = -1;
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  for (int fd : {out[0], err[0]}) {
    if (fd >= 0) ::close(fd);
  }
  // The outputs are closed; the program itself gets what is left of the time.
  int status = 0;
  for (;;) {
    if (timed_out) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      timed_out = true;
    } else {
      ::usleep(1000);
    }
  }
  if (timed_out) {
    result.err += "\n[RunCapture: " + argv[0] + " still running after " +
                  std::to_string(kRunDeadline.count()) + " s, killed]\n";
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult RunCgi(const CgiRequest& request) {
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  if (!request.path_prefix.empty()) path = request.path_prefix + ":" + path;
  std::vector<std::string> env = {
      "GATEWAY_INTERFACE=CGI/1.1",
      "REQUEST_METHOD=" + request.method,
      "QUERY_STRING=" + request.query,
      "PATH=" + path,
  };
  if (request.method == "POST") {
    env.push_back("CONTENT_TYPE=" + request.content_type);
    env.push_back("CONTENT_LENGTH=" + std::to_string(request.body.size()));
  }
  for (const auto& e : request.extra_env) env.push_back(e);
  std::vector<std::string> argv = request.wrapper;
  argv.push_back(STREAM_ADMIN_BIN);
  return RunCapture(argv, env, request.body);
}

RunResult RunCgi(const std::string& query) {
  CgiRequest request;
  request.query = query;
  return RunCgi(request);
}

std::string Query(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += name;
    out += '=';
    for (unsigned char c : value) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
        out += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      }
    }
  }
  return out;
}

void WriteStandIns(const std::string& bin_dir) {
  const std::string script =
      "#!/bin/sh\n"
      "line=\"${0##*/}\"\n"
      "for a; do line=\"$line|$a\"; done\n"
      "printf '%s\\n' \"$line\" >> \"$STANDIN_LOG\"\n";
  // killall also does its work, on the stand-in servers of this sandbox.
  WriteFile(bin_dir + "/killall", script + "[ \"$*\" = \"-9 icecast\" ] && pkill -9 -x icecast\nexit 0\n", 0755);
  for (const char* program : {"icecast", "ices"}) {
    ::unlink((bin_dir + "/" + program).c_str());
    if (::symlink(FAKE_ICES_BIN, (bin_dir + "/" + program).c_str()) != 0) throw std::runtime_error("symlink failed");
  }
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string data = ReadFile(path);
  if (data == "<missing>") return lines;
  for (std::size_t start = 0, end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(data.substr(start, end - start));
  }
  return lines;
}

void KillSourceClients() {
  std::vector<std::string> killed;
  for (const std::string& entry : ListDir("/proc")) {
    if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = ReadFile("/proc/" + entry + "/cmdline");
    std::string program = cmdline.substr(0, cmdline.find('\0'));
    program.erase(0, program.rfind('/') == std::string::npos ? 0 : program.rfind('/') + 1);
    if (program == "ices" || program == "icecast") {
      ::kill(std::stoi(entry), SIGKILL);
      killed.push_back(entry);
    }
  }
  // A killed process shows its command line until it is gone (reaped by us
  // when it is our child, else by the sandbox's init): wait for that, so that
  // the next scan does not count it, but not for ever.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!killed.empty() && std::chrono::steady_clock::now() < deadline) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::erase_if(killed, [](const std::string& pid) {
      std::string cmdline = ReadFile("/proc/" + pid + "/cmdline");
      return cmdline.empty() || cmdline == "<missing>";
    });
    if (!killed.empty()) ::usleep(1000);
  }
}

std::string Numbered(const std::string& prefix, long number) {
  std::string out = prefix;
  out += std::to_string(number);
  return out;
}

FolderSwapper::FolderSwapper(std::string path) : path_(std::move(path)) {
  thread_ = std::thread([this] {
    const std::string dir = path_ + ".dir", link = path_ + ".lnk";
    while (!done_) {
      ::rename(path_.c_str(), dir.c_str());
      ::rename(link.c_str(), path_.c_str());
      ::rename(path_.c_str(), link.c_str());
      ::rename(dir.c_str(), path_.c_str());
    }
  });
}

FolderSwapper::~FolderSwapper() {
  done_ = true;
  thread_.join();
}

int ListenOn(int port, int flags) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}
