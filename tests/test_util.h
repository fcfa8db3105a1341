#ifndef TESTS_TEST_UTIL_H_
#define TESTS_TEST_UTIL_H_

#include <sys/types.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A fresh directory under /tmp, removed with everything in it at scope end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& contents, mode_t mode = 0644);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Names in `dir`, sorted, "." and ".." left out.
std::vector<std::string> ListDir(const std::string& dir);
void RemoveTree(const std::string& path);

// Points /tmp/iceconf.dir at `dir` (written without a line end).
void PointConfDir(const std::string& dir);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs `argv` with exactly the environment `env`, feeding `input` on standard
// input, and collects both output streams.
RunResult RunCapture(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& input = "");

// The environment of a CGI request, with PATH leading to `path_dirs` first.
struct CgiRequest {
  std::string method = "GET";
  std::string query;
  std::string content_type;
  std::string body;
  std::string path_prefix;  // prepended to PATH when not empty
  std::vector<std::string> extra_env;
  // Runs the program through these first (e.g. prlimit and its options).
  std::vector<std::string> wrapper;
};

// Runs the built stream_admin as a web server would.
RunResult RunCgi(const CgiRequest& request);
// Shorthand for a GET request with this query string.
RunResult RunCgi(const std::string& query);

// "P7" from "P" and 7. (Spelled out because GCC 12 warns falsely about
// "P" + std::to_string(7).)
std::string Numbered(const std::string& prefix, long number);

// Builds "a=b&c=d" with each value percent-encoded.
std::string Query(const std::vector<std::pair<std::string, std::string>>& fields);

// Fills `bin_dir` with stand-ins for killall (a shell script that kills the
// stand-in servers) and for icecast and ices (the fake_ices program). Each
// appends "NAME|ARG|ARG..." to the file named by $STANDIN_LOG; icecast with
// -b and ices with -B then stay running with their command lines, as the real
// ones do, and icecast listens on its config's port.
void WriteStandIns(const std::string& bin_dir);

// Lines of a stand-in log; empty when there is none.
std::vector<std::string> ReadLines(const std::string& path);

// Kills every process whose first argument has the base name "ices" or
// "icecast": the stand-in clients and servers a test started.
void KillSourceClients();

// The exact header and declaration that start every config response.
extern const char kConfigHead[];
// The exact header and declaration that start the playlist table.
extern const char kRowsHead[];

// Swaps the folder at `path` for a link and back, again and again, for as
// long as it lives: PATH.dir must be a folder and PATH.lnk a link, and PATH
// starts as the folder. For races between a check of a path and its use.
class FolderSwapper {
 public:
  explicit FolderSwapper(std::string path);
  ~FolderSwapper();
  FolderSwapper(const FolderSwapper&) = delete;
  FolderSwapper& operator=(const FolderSwapper&) = delete;

 private:
  std::string path_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A socket of this process listening on 127.0.0.1:`port` (another program on
// a port), with `flags` (e.g. SOCK_NONBLOCK); -1 when it cannot be had.
int ListenOn(int port, int flags = 0);

#endif  // TESTS_TEST_UTIL_H_
