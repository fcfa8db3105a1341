#include "controller/client_logs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

constexpr uid_t kServerUser = 12345;

bool IsRootsEmptyFile(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1 &&
         st.st_size == 0;
}

// The server (nobody) may create names in the log folder: links to root's
// files in the places root's client writes were followed on every track.
TEST(ClientLogsTest, WhatRootsClientWritesBecomesRootsOwnFileAndNothingPlantedIsFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir logs, elsewhere;
  ASSERT_EQ(::chmod(logs.path().c_str(), 01770), 0);
  const std::string victim = elsewhere / "shadow";
  WriteFile(victim, "root:secret\n", 0600);
  auto victim_intact = [&] {
    struct stat st;
    return ::stat(victim.c_str(), &st) == 0 && st.st_uid == 0 && ReadFile(victim) == "root:secret\n";
  };
  // A link, and a hard link to root's file.
  ASSERT_EQ(::symlink(victim.c_str(), (logs / "ices.cue").c_str()), 0);
  ASSERT_EQ(::link(victim.c_str(), (logs / "ices.log").c_str()), 0);
  EXPECT_EQ(prepare_root_client_logs(logs.path()), std::nullopt);
  EXPECT_TRUE(IsRootsEmptyFile(logs / "ices.cue"));
  EXPECT_TRUE(IsRootsEmptyFile(logs / "ices.log"));
  EXPECT_TRUE(victim_intact());
  // Root's own files keep what they hold: the log goes on.
  WriteFile(logs / "ices.log", "Playing a.mp3\n", 0600);
  EXPECT_EQ(prepare_root_client_logs(logs.path()), std::nullopt);
  EXPECT_EQ(ReadFile(logs / "ices.log"), "Playing a.mp3\n");
  // A file of the server's (a log folder from before), a FIFO and an empty
  // folder are replaced too.
  ASSERT_EQ(::unlink((logs / "ices.log").c_str()), 0);
  WriteFile(logs / "ices.log", "old\n", 0644);
  ASSERT_EQ(::chown((logs / "ices.log").c_str(), kServerUser, kServerUser), 0);
  ASSERT_EQ(::unlink((logs / "ices.cue").c_str()), 0);
  ASSERT_EQ(::mkfifo((logs / "ices.cue").c_str(), 0666), 0);
  EXPECT_EQ(prepare_root_client_logs(logs.path()), std::nullopt);
  EXPECT_TRUE(IsRootsEmptyFile(logs / "ices.log"));
  EXPECT_TRUE(IsRootsEmptyFile(logs / "ices.cue"));
  ASSERT_EQ(::unlink((logs / "ices.cue").c_str()), 0);
  ASSERT_EQ(::mkdir((logs / "ices.cue").c_str(), 0755), 0);
  EXPECT_EQ(prepare_root_client_logs(logs.path()), std::nullopt);
  EXPECT_TRUE(IsRootsEmptyFile(logs / "ices.cue"));
  // A folder with something in it cannot be had: the client must not start.
  ASSERT_EQ(::unlink((logs / "ices.cue").c_str()), 0);
  ASSERT_EQ(::mkdir((logs / "ices.cue").c_str(), 0755), 0);
  WriteFile(logs / "ices.cue/x", "");
  std::optional<std::string> why = prepare_root_client_logs(logs.path());
  ASSERT_TRUE(why.has_value());
  EXPECT_NE(why->find(logs / "ices.cue"), std::string::npos) << *why;
}

// A folder whose owner or writers could swap the files after the check
// leaves nothing to make sure of: refused, and nothing in it is touched.
TEST(ClientLogsTest, AFolderOthersCouldChangeIsRefusedAsItIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir logs, elsewhere;
  const std::string victim = elsewhere / "shadow";
  WriteFile(victim, "root:secret\n", 0600);
  ASSERT_EQ(::symlink(victim.c_str(), (logs / "ices.cue").c_str()), 0);
  auto untouched = [&] {
    char target[256] = {};
    return ::readlink((logs / "ices.cue").c_str(), target, sizeof target - 1) > 0 && victim == target &&
           ReadFile(victim) == "root:secret\n";
  };
  // The server's own folder, as the boot script used to leave it.
  ASSERT_EQ(::chown(logs.path().c_str(), kServerUser, kServerUser), 0);
  ASSERT_EQ(::chmod(logs.path().c_str(), 0755), 0);
  std::optional<std::string> why = prepare_root_client_logs(logs.path());
  ASSERT_TRUE(why.has_value());
  EXPECT_NE(why->find("is not root's"), std::string::npos) << *why;
  EXPECT_TRUE(untouched());
  // Root's, but others may write to it and it is not sticky.
  ASSERT_EQ(::chown(logs.path().c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(logs.path().c_str(), 0770), 0);
  EXPECT_TRUE(prepare_root_client_logs(logs.path()).has_value());
  EXPECT_TRUE(untouched());
  // A link to a folder of root's is no log folder.
  ASSERT_EQ(::chmod(logs.path().c_str(), 01770), 0);
  TempDir holder;
  ASSERT_EQ(::symlink(logs.path().c_str(), (holder / "wavelorn").c_str()), 0);
  EXPECT_TRUE(prepare_root_client_logs(holder / "wavelorn").has_value());
  EXPECT_TRUE(untouched());
  // No folder: nothing to follow (only root makes one under /var/log).
  EXPECT_EQ(prepare_root_client_logs(holder / "missing"), std::nullopt);
  EXPECT_FALSE(Exists(holder / "missing"));
}

}  // namespace
