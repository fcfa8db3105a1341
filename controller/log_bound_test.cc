#include "controller/log_bound.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(LogBoundTest, AFullSourceLogKeepsItsNewestPartAsOldAndStartsAfresh) {
  TempDir dir;
  std::string log;
  for (int line = 0; log.size() <= static_cast<std::size_t>(kSourceLogLimit) + 4096; ++line) {
    log += Numbered("Playing track ", line) + "\n";
  }
  WriteFile(dir / "ices.log", log);
  EXPECT_TRUE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "ices.log"), "");
  EXPECT_EQ(ReadFile(dir / "ices.log.old"), log.substr(log.size() - kSourceLogLimit));
  // Within the limit, or not a regular file of its own: left alone.
  WriteFile(dir / "ices.log", "short\n");
  EXPECT_FALSE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "ices.log"), "short\n");
  ::unlink((dir / "ices.log").c_str());
  WriteFile(dir / "elsewhere", log);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "ices.log").c_str()), 0);
  EXPECT_FALSE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "elsewhere"), log);
}

constexpr uid_t kOtherUser = 12345;

// The log folder is the stream user's, who may plant a hard link or a link
// to any file there: root's cron run truncated a root-only file through a
// hard link named ices.log and copied its tail into ices.log.old.
TEST(LogBoundTest, RootTrimsOnlyTheOwnersOwnLogAndFollowsNoLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir logs, elsewhere;
  ASSERT_EQ(::chown(logs.path().c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(logs.path().c_str(), 0755), 0);
  const std::string secret(static_cast<std::size_t>(kSourceLogLimit) + 100, 's');
  const std::string victim = elsewhere / "root-only";
  WriteFile(victim, secret, 0600);
  auto victim_intact = [&] {
    struct stat st;
    return ::stat(victim.c_str(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == 0600 &&
           ReadFile(victim) == secret;
  };
  // A hard link to root's file, and the same file's link beside it.
  ASSERT_EQ(::link(victim.c_str(), (logs / "ices.log").c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (logs / "ices.log.old").c_str()), 0);
  EXPECT_FALSE(bound_source_client_log(logs.path()));
  EXPECT_TRUE(victim_intact());
  // A file of its own but another owner's (root's), and a hard link to a
  // file of the owner's: neither is the clients' log.
  ::unlink((logs / "ices.log").c_str());
  WriteFile(logs / "ices.log", secret, 0600);
  EXPECT_FALSE(bound_source_client_log(logs.path()));
  EXPECT_EQ(ReadFile(logs / "ices.log"), secret);
  ASSERT_EQ(::chown((logs / "ices.log").c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::link((logs / "ices.log").c_str(), (logs / "second-name").c_str()), 0);
  EXPECT_FALSE(bound_source_client_log(logs.path()));
  EXPECT_EQ(ReadFile(logs / "ices.log"), secret);
  // The owner's own log is trimmed, by the owner: the old part replaces the
  // planted link and is the owner's.
  ::unlink((logs / "second-name").c_str());
  EXPECT_TRUE(bound_source_client_log(logs.path()));
  EXPECT_EQ(ReadFile(logs / "ices.log"), "");
  struct stat old;
  ASSERT_EQ(::lstat((logs / "ices.log.old").c_str(), &old), 0);
  EXPECT_TRUE(S_ISREG(old.st_mode));
  EXPECT_EQ(old.st_uid, kOtherUser);
  EXPECT_EQ(ReadFile(logs / "ices.log.old"), secret.substr(100));
  EXPECT_TRUE(victim_intact());
}

// Root's streams: the folder is root's, sticky, the server's (nobody's)
// group's to write. The trim runs as root, takes root's own log only, and
// replaces a link the server planted as ices.log.old.
TEST(LogBoundTest, InRootsStickyFolderRootsLogIsTrimmedAndTheServersFilesAreNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir logs, elsewhere;
  ASSERT_EQ(::chown(logs.path().c_str(), 0, kOtherUser), 0);
  ASSERT_EQ(::chmod(logs.path().c_str(), 01770), 0);
  const std::string secret(static_cast<std::size_t>(kSourceLogLimit) + 100, 's');
  const std::string victim = elsewhere / "root-only";
  WriteFile(victim, "root:secret\n", 0600);
  // The server's own file in the log's place is no log of root's clients.
  WriteFile(logs / "ices.log", secret, 0600);
  ASSERT_EQ(::chown((logs / "ices.log").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(bound_source_client_log(logs.path()));
  EXPECT_EQ(ReadFile(logs / "ices.log"), secret);
  ASSERT_EQ(::chown((logs / "ices.log").c_str(), 0, 0), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (logs / "ices.log.old").c_str()), 0);
  ASSERT_EQ(::lchown((logs / "ices.log.old").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_TRUE(bound_source_client_log(logs.path()));
  EXPECT_EQ(ReadFile(logs / "ices.log"), "");
  struct stat old;
  ASSERT_EQ(::lstat((logs / "ices.log.old").c_str(), &old), 0);
  EXPECT_TRUE(S_ISREG(old.st_mode));
  EXPECT_EQ(old.st_uid, 0u);
  EXPECT_EQ(ReadFile(logs / "ices.log.old"), secret.substr(100));
  EXPECT_EQ(ReadFile(victim), "root:secret\n");
}

}  // namespace
