#include "lib/command_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "tests/test_util.h"

namespace {

class CommandLockTest : public ::testing::Test {
 protected:
  CommandLockTest() { PointConfDir(conf_.path()); }
  ~CommandLockTest() override { ::unlink(kConfDirPointer); }
  std::string At(const std::string& name) const { return conf_ / name; }
  // Sets a file's time stamps `age` seconds into the past (negative: future).
  void Age(const std::string& name, int age) {
    struct timespec times[2];
    ::clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= age;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, At(name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  TempDir conf_;
};

TEST_F(CommandLockTest, TakingTheLockClearsOnlyLeftoversOfEarlierRuns) {
  for (const char* name : {".wl-old123", ".wl-new456", ".wl-journal", ".wl-toolong7", "keep-me", "playlist-x"}) {
    WriteFile(At(name), "x");
    Age(name, 60);
  }
  Age(".wl-new456", -60);  // written after this run started
  ASSERT_EQ(::symlink("/etc/passwd", At(".wl-link12").c_str()), 0);
  CommandLock lock = CommandLock::Acquire();
  ASSERT_TRUE(lock.held());
  EXPECT_FALSE(lock.inherited());
  EXPECT_EQ(ListDir(conf_.path()), (std::vector<std::string>{".wl-journal", ".wl-link12", ".wl-lock", ".wl-new456",
                                                              ".wl-toolong7", "keep-me", "playlist-x"}));
}

TEST_F(CommandLockTest, ASecondHolderWaitsUntilItsDeadline) {
  CommandLock first = CommandLock::Acquire();
  ASSERT_TRUE(first.held());
  pid_t child = ::fork();
  if (child == 0) {
    // Another process, another open of the lock file: it must not get it.
    CommandLock second = CommandLock::Acquire(std::chrono::milliseconds(200));
    ::_exit(second.state() == CommandLock::State::kBusy ? 0 : 1);
  }
  int status;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  PointConfDir(conf_ / "missing");
  EXPECT_EQ(CommandLock::Acquire().state(), CommandLock::State::kNoDirectory);
}

// A local user who is neither the owner nor root can neither take the
// command lock (a flock needs an open descriptor) nor open a settings file.
TEST_F(CommandLockTest, AnotherUserCannotOpenTheLockNorTheSettings) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ::umask(022);  // as a careless caller might leave it
  {
    CommandLock lock = CommandLock::Acquire();
    ASSERT_TRUE(lock.held());
  }
  ASSERT_EQ(set_server_port("8000"), 0);
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0755), 0);  // the folder itself may be listed
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    int lock = ::open(At(".wl-lock").c_str(), O_RDONLY | O_NONBLOCK);
    int settings = ::open(At("simple-icecast-conf").c_str(), O_RDONLY | O_NONBLOCK);
    ::_exit(lock < 0 && errno == EACCES && settings < 0 && errno == EACCES ? 0 : 1);
  }
  int status;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
