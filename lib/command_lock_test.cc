#include "lib/command_lock.h"

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
    ::_exit(second.state() == CommandLock::State::kFailed ? 0 : 1);
  }
  int status;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  PointConfDir(conf_ / "missing");
  EXPECT_EQ(CommandLock::Acquire().state(), CommandLock::State::kNoDirectory);
}

TEST_F(CommandLockTest, AnInterruptedPortChangeIsFinishedAndItsRecordKeptUntilTheRestart) {
  WriteFile(At("simple-icecast-conf"), "port=8000\n");
  WriteFile(At("ices.conf-A"), "<x>\n      <Port>8000</Port>\n</x>");
  ASSERT_TRUE(journal_begin({"set", "8010"}));
  std::vector<std::string> stopped;
  EXPECT_TRUE(complete_interrupted_command([&](std::string_view name) { stopped.emplace_back(name); }));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_NE(ReadFile(At("icecast.xml")).find("<port>8010</port>"), std::string::npos);
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "<x>\n      <Port>8010</Port>\n</x>");
  // Until the caller has restarted the streams, a kill repeats all of it.
  ASSERT_TRUE(journal_read());
  EXPECT_EQ(journal_read()->argument, "8010");
  journal_end();
  EXPECT_FALSE(journal_read());
  EXPECT_TRUE(stopped.empty());
}

TEST_F(CommandLockTest, AnInterruptedCreateOrDeleteLeavesNoGhost) {
  WriteFile(At("simple-ices-conf-New"), "enabled=0\n");
  WriteFile(At("ices.conf-New"), "");
  ASSERT_TRUE(journal_begin({"new", "New"}));
  EXPECT_FALSE(complete_interrupted_command([](std::string_view) {}));
  EXPECT_FALSE(journal_read());
  // A create that got as far as its playlist file stands.
  for (const char* file : {"playlist-Done", "simple-ices-conf-Done", "ices.conf-Done"}) WriteFile(At(file), "");
  ASSERT_TRUE(journal_begin({"new", "Done"}));
  complete_interrupted_command([](std::string_view) {});
  // A delete is finished: the client stopped first, then every file.
  for (const char* file : {"playlist-Old", "simple-ices-conf-Old", "folders-Old"}) WriteFile(At(file), "");
  ASSERT_TRUE(journal_begin({"del", "Old"}));
  std::vector<std::string> stopped;
  complete_interrupted_command([&](std::string_view name) { stopped.emplace_back(name); });
  EXPECT_EQ(stopped, std::vector<std::string>{"Old"});
  EXPECT_EQ(ListDir(conf_.path()), (std::vector<std::string>{"ices.conf-Done", "playlist-Done", "simple-ices-conf-Done"}));
  // Records that name nothing sensible are dropped.
  ASSERT_TRUE(journal_begin({"del", "../x"}));
  complete_interrupted_command([&](std::string_view name) { stopped.emplace_back(name); });
  ASSERT_TRUE(journal_begin({"set", "80a"}));
  EXPECT_FALSE(complete_interrupted_command([](std::string_view) {}));
  EXPECT_EQ(stopped.size(), 1u);
  EXPECT_FALSE(journal_read());
}

}  // namespace
