// Replacements through the built stream_admin, under strace: the renames of
// a command's replacements are followed by a sync of their directory before
// it ends, so that a power cut right after a command brings back neither the
// old file nor none. (A change of several files renames them all, then
// syncs once.)

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(AtomicFileTest, EveryReplacementIsSyncedIntoItsDirectory) {
  TempDir conf;
  PointConfDir(conf.path());
  WriteFile(conf / "playlist-Jazz", "");
  WriteFile(conf / "simple-ices-conf-Jazz", "enabled=1\n");
  WriteFile(conf / "simple-icecast-conf", "port=8000\n");
  const std::string trace = conf / "trace";
  for (const char* query : {"cmd=GUI_ice_playlist_disable&f_name=Jazz", "cmd=GUI_ice_playlist_renew&f_name=Jazz&f_genre=x"}) {
    CgiRequest request;
    request.query = query;
    request.wrapper = {"/usr/bin/strace", "-f", "-qq", "-y", "-o", trace, "-e", "trace=rename,renameat,renameat2,fsync"};
    RunCgi(request);
    // Lines as strace -y writes them: "PID rename("DIR/.wl-Ab12Cd", "DIR/NAME") = 0"
    // and "PID fsync(4</DIR>) = 0".
    int renames = 0;
    bool synced_since = true;
    for (const std::string& line : ReadLines(trace)) {
      if (line.find("rename") != std::string::npos && line.ends_with(" = 0") &&
          line.find("\"" + conf.path() + "/") != std::string::npos) {
        ++renames;
        synced_since = false;
      } else if (line.find("fsync(") != std::string::npos && line.find("<" + conf.path() + ">)") != std::string::npos) {
        synced_since = true;
      }
    }
    EXPECT_GE(renames, 1) << query << ": " << ReadFile(trace);
    EXPECT_TRUE(synced_since) << query << ": " << ReadFile(trace);
  }
  ::unlink("/tmp/iceconf.dir");
}

}  // namespace
