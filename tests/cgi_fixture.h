#ifndef TESTS_CGI_FIXTURE_H_
#define TESTS_CGI_FIXTURE_H_

// A config directory, a folder of stand-in programs first on the search path,
// and shorthands for running the built stream_admin against them.

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

class CgiTest : public ::testing::Test {
 protected:
  using Fields = std::vector<std::pair<std::string, std::string>>;

  CgiTest() {
    PointConfDir(conf_.path());
    WriteStandIns(bin_.path());
    // tarnwick's stand-in records its arguments and, after "#", which files
    // the config directory holds and the Port lines of the source client
    // configs at the moment it runs.
    WriteFile(bin_ / "tarnwick",
              "#!/bin/sh\n"
              // The real controller keeps the command lock from its children.
              "exec 3>&- 4>&-\n"
              "line=tarnwick\n"
              "for a; do line=\"$line|$a\"; done\n"
              "conf=$(cat /tmp/iceconf.dir)\n"
              "files=$(ls \"$conf\" | tr '\\n' ' ')\n"
              "ports=$(for f in \"$conf\"/ices.conf-*; do [ -f \"$f\" ] && [ ! -L \"$f\" ] && cat \"$f\"; done"
              " | grep '<Port>' | tr -d ' ' | tr '\\n' ' ')\n"
              "printf '%s#%s#%s\\n' \"$line\" \"$files\" \"$ports\" >> \"$STANDIN_LOG\"\n"
              // The server comes and goes with "start all" and "stop all".
              "case \"$1 $2\" in\n"
              "  'start all') pkill -9 -x icecast; icecast -c \"$conf/icecast.xml\" -b ;;\n"
              "  'stop all') pkill -9 -x icecast ;;\n"
              "esac\n"
              "exit 0\n",
              0755);
  }
  ~CgiTest() override {
    KillSourceClients();
    ::unlink("/tmp/iceconf.dir");
  }

  CgiRequest Request(const Fields& fields) const {
    CgiRequest request;
    request.query = Query(fields);
    request.path_prefix = bin_.path();
    request.extra_env = {"STANDIN_LOG=" + Log()};
    return request;
  }
  RunResult Cgi(const Fields& fields) const { return RunCgi(Request(fields)); }

  static std::string Config(const std::string& body) { return kConfigHead + ("<config>" + body + "</config>"); }
  std::string At(const std::string& name) const { return conf_ / name; }
  std::string Log() const { return bin_ / "log"; }
  // The controller runs so far, without the recorded directory state.
  std::vector<std::string> ControllerRuns() const {
    std::vector<std::string> runs;
    for (const std::string& line : ReadLines(Log())) {
      if (line.starts_with("tarnwick")) runs.push_back(line.substr(0, line.find('#')));
    }
    return runs;
  }

  TempDir conf_;
  TempDir bin_;
  // A share for music: outside the config directory, since no playlist takes
  // music from there.
  TempDir share_;
};

#endif  // TESTS_CGI_FIXTURE_H_
