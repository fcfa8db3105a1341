#include "lib/settings_file.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_ / "settings"; }
  // Opens, optionally sets one key, closes; returns the file's bytes after.
  std::string RoundTrip(const std::string& contents, const char* name = nullptr, const char* value = nullptr) {
    WriteFile(Path(), contents);
    auto file = cfg_open(Path());
    EXPECT_NE(file, nullptr);
    if (name != nullptr) cfg_set(*file, name, value);
    EXPECT_EQ(cfg_close(std::move(file)), 0);
    return ReadFile(Path());
  }
  std::vector<SettingsEntry> Entries(const std::string& contents) {
    WriteFile(Path(), contents);
    auto file = cfg_open(Path());
    std::vector<SettingsEntry> entries = file->entries();
    cfg_close(std::move(file));
    return entries;
  }

  TempDir dir_;
};

TEST_F(SettingsFileTest, MissingFileIsCreatedEmptyAndLeftEmptyWithoutSet) {
  auto file = cfg_open(Path());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(cfg_get(*file, "port"), "");
  cfg_close(std::move(file));
  EXPECT_EQ(ReadFile(Path()), "");
}

TEST_F(SettingsFileTest, FileSetOnMissingFileWritesOneLine) {
  EXPECT_EQ(cfg_file_set(Path(), "port", "8010"), 0);
  EXPECT_EQ(ReadFile(Path()), "port=8010\n");
  EXPECT_EQ(cfg_file_get(Path(), "port"), "8010");
}

TEST_F(SettingsFileTest, CommentedKeyIsReusedOnSet) {
  WriteFile(Path(), "#port=1\n");
  EXPECT_EQ(cfg_file_get(Path(), "port"), "");
  cfg_file_set(Path(), "port", "2");
  EXPECT_EQ(ReadFile(Path()), "port=2\n");
}

TEST_F(SettingsFileTest, UnchangedFileKeepsEveryByte) {
  const std::string original = "!a=1\nb=2\r\n\nfree comment\n\r=x\n  \nlast=no newline";
  EXPECT_EQ(RoundTrip(original), original);
}

TEST_F(SettingsFileTest, RewriteNormalisesMarkersAndDropsLinesWithoutEquals) {
  EXPECT_EQ(RoundTrip("!a=1\nb=2\n", "b", "3"), "#a=1\nb=3\n");
  EXPECT_EQ(RoundTrip("free text\n\nk=v\r\n#c=d\n", "n", "1"), "k=v\r\n#c=d\nn=1\n");
}

TEST_F(SettingsFileTest, ReadingRules) {
  auto entries = Entries("a=b=c\nport = 8000\n=empty name\n\rskip=me\nnoequals\n#x=1\n!y=2\nlast=8000");
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_EQ(entries[0].value, "b=c");
  EXPECT_EQ(entries[1].name, "port ");
  EXPECT_EQ(entries[1].value, " 8000");
  EXPECT_EQ(entries[2].name, "");
  EXPECT_EQ(entries[2].value, "empty name");
  EXPECT_TRUE(entries[3].commented);
  EXPECT_EQ(entries[3].name, "x");
  EXPECT_TRUE(entries[4].commented);
  EXPECT_EQ(entries[4].name, "y");
  EXPECT_EQ(entries[5].value, "8000");

  EXPECT_EQ(Entries("port=8000\r\n")[0].value, "8000\r");
}

TEST_F(SettingsFileTest, LongLinesAreReadWhole) {
  std::string xs(298, 'x');
  auto entries = Entries("k=" + xs + "\nnext=1\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].value, xs);

  // A value the program itself writes (a 255-character description) survives
  // any number of rewrites.
  std::string desc(255, 'd');
  cfg_file_set(Path(), "desc", desc);
  cfg_file_set(Path(), "other", "1");
  EXPECT_EQ(cfg_file_get(Path(), "desc"), desc);
}

TEST_F(SettingsFileTest, DuplicatesAreKeptAndOnlyTheFirstIsUsed) {
  EXPECT_EQ(RoundTrip("k=1\nk=2\n", "k", "3"), "k=3\nk=2\n");
  EXPECT_EQ(cfg_file_get(Path(), "k"), "3");
}

TEST_F(SettingsFileTest, ErrorTableAndLastError) {
  EXPECT_STREQ(cfg_strerror(0), "Nothing");
  EXPECT_STREQ(cfg_strerror(5), "CFGERR_LAST - You should not see this!");
  EXPECT_EQ(cfg_strerror(6), nullptr);
  EXPECT_EQ(cfg_strerror(-1), nullptr);

  EXPECT_EQ(cfg_open(dir_ / "missing/settings"), nullptr);
  EXPECT_EQ(cfg_last_error, CFGERR_OPEN);
  EXPECT_EQ(cfg_open(dir_.path()), nullptr);  // a directory is no settings file
  EXPECT_EQ(cfg_last_error, CFGERR_OPEN);
  auto file = cfg_open(Path());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(cfg_last_error, CFGERR_OPEN);
  EXPECT_EQ(cfg_close(std::move(file)), 0);
  EXPECT_EQ(cfg_last_error, CFGERR_NONE);
  EXPECT_EQ(cfg_close(nullptr), -1);
}

// Whatever the umask and the old file's mode: others may neither read a
// settings file nor take its lock.
TEST_F(SettingsFileTest, CreatedAndRewrittenFilesAreTheOwnersAlone) {
  mode_t old = ::umask(0);
  WriteFile(Path(), "a=1\n", 0666);
  cfg_file_set(Path(), "a", "2");
  const std::string created = dir_ / "created";
  cfg_file_set(created, "a", "1");
  std::unique_ptr<SettingsFile> empty = cfg_open(dir_ / "empty");  // created empty, not rewritten
  ::umask(old);
  for (const std::string& path : {Path(), created, dir_ / "empty"}) {
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
  cfg_close(std::move(empty));
  EXPECT_EQ(ListDir(dir_.path()), (std::vector<std::string>{"created", "empty", "settings"}));
}

TEST_F(SettingsFileTest, SecondOpenerWaitsAndSeesTheChange) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    auto file = cfg_open(Path());
    cfg_set(*file, "port", "9000");
    ::write(ready[1], "x", 1);
    ::usleep(200 * 1000);
    cfg_close(std::move(file));
    ::_exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  auto file = cfg_open(Path());  // blocks until the child has closed
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(cfg_get(*file, "port"), "9000");
  cfg_close(std::move(file));
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(SettingsFileTest, LockHoldsAcrossRewritesOfManyProcesses) {
  // Each process increments a counter; a lost update would mean two processes
  // held the lock on different files at once.
  cfg_file_set(Path(), "n", "0");
  constexpr int kProcs = 4, kRounds = 50;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcs; ++p) {
    pid_t child = ::fork();
    if (child == 0) {
      for (int i = 0; i < kRounds; ++i) {
        auto file = cfg_open(Path());
        if (!file) ::_exit(1);
        cfg_set(*file, "n", std::to_string(std::stoi(cfg_get(*file, "n")) + 1));
        cfg_close(std::move(file));
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(cfg_file_get(Path(), "n"), std::to_string(kProcs * kRounds));
}

TEST_F(SettingsFileTest, KillDuringRewriteLeavesOldOrNewFile) {
  const std::string a(4000, 'a'), b(9000, 'b');
  cfg_file_set(Path(), "v", a);
  const std::string old_bytes = "v=" + a + "\n", new_bytes = "v=" + b + "\n";
  for (int round = 0; round < 40; ++round) {
    pid_t child = ::fork();
    if (child == 0) {
      for (;;) {
        cfg_file_set(Path(), "v", b);
        cfg_file_set(Path(), "v", a);
      }
    }
    ::usleep(static_cast<useconds_t>(200 + round * 97 % 1500));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::string now = ReadFile(Path());
    ASSERT_TRUE(now == old_bytes || now == new_bytes) << "round " << round << ": " << now.size() << " bytes";
  }
}

}  // namespace

namespace {

// Files an attacker (anyone who can write to the config directory) may plant
// where a settings file is expected. None may hang, be followed, or fill
// memory; each is simply unreadable.
TEST_F(SettingsFileTest, HostileFilesAreRefusedWithoutWaitingOrFollowing) {
  WriteFile(dir_ / "secret", "port=1\n");
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
  };
  const Case cases[] = {
      {"dangling link", [](const std::string& p) { ASSERT_EQ(::symlink("/nonexistent/x", p.c_str()), 0); }},
      {"link to a file", [&](const std::string& p) { ASSERT_EQ(::symlink((dir_ / "secret").c_str(), p.c_str()), 0); }},
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }},
      {"directory", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0755), 0); }},
      {"oversized file", [](const std::string& p) { WriteFile(p, std::string(kMaxSettingsFileSize / 2 + 1, 'a') + "=" + std::string(kMaxSettingsFileSize / 2, 'b')); }},
  };
  for (const Case& c : cases) {
    RemoveTree(Path());
    c.make(Path());
    for (bool create : {true, false}) {
      cfg_last_error = CFGERR_NONE;
      EXPECT_EQ(cfg_open(Path(), create), nullptr) << c.what;
      EXPECT_EQ(cfg_last_error, CFGERR_OPEN) << c.what;
    }
    EXPECT_EQ(cfg_file_get(Path(), "port"), std::nullopt) << c.what;
    EXPECT_EQ(cfg_file_set(Path(), "port", "2"), -1) << c.what;
  }
  EXPECT_EQ(ReadFile(dir_ / "secret"), "port=1\n");
  // Just under the limit is still a settings file.
  RemoveTree(Path());
  WriteFile(Path(), "k=" + std::string(kMaxSettingsFileSize - 3, 'v') + "\n");
  EXPECT_EQ(cfg_file_get(Path(), "k")->size(), static_cast<std::size_t>(kMaxSettingsFileSize - 3));
}

TEST_F(SettingsFileTest, ReadingAMissingFileCreatesNothing) {
  auto file = cfg_open(Path(), false);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->exists());
  EXPECT_EQ(cfg_get(*file, "port"), "");
  EXPECT_EQ(cfg_close(std::move(file)), 0);
  EXPECT_EQ(cfg_file_get(Path(), "port"), "");
  EXPECT_FALSE(Exists(Path()));
  // In a directory that does not exist, a read fails as a write would.
  EXPECT_EQ(cfg_open(dir_ / "missing/settings", false), nullptr);
}

TEST_F(SettingsFileTest, RemoveTakesAwayFilesAndPlantedLinks) {
  WriteFile(dir_ / "target", "x=1\n");
  ASSERT_EQ(::symlink((dir_ / "target").c_str(), Path().c_str()), 0);
  EXPECT_EQ(cfg_remove(Path()), 0);
  EXPECT_FALSE(Exists(Path()));
  EXPECT_EQ(ReadFile(dir_ / "target"), "x=1\n");
  WriteFile(Path(), "x=1\n");
  EXPECT_EQ(cfg_remove(Path()), 0);
  EXPECT_EQ(cfg_remove(Path()), 0);
  EXPECT_FALSE(Exists(Path()));
}

}  // namespace

namespace {

TEST_F(SettingsFileTest, ReadersShareTheLockAndWriteNothing) {
  WriteFile(Path(), "port=1\n");
  ASSERT_EQ(::chmod(Path().c_str(), 0444), 0);
  auto first = cfg_open(Path(), false);
  auto second = cfg_open(Path(), false);  // would wait 30 s for an exclusive lock
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(cfg_get(*second, "port"), "1");
  cfg_set(*first, "port", "2");
  EXPECT_EQ(cfg_close(std::move(first)), 1);
  EXPECT_EQ(cfg_close(std::move(second)), 0);
  EXPECT_EQ(ReadFile(Path()), "port=1\n");
  EXPECT_FALSE(Exists(dir_ / "missing"));
  auto missing = cfg_open(dir_ / "missing", false);
  ASSERT_NE(missing, nullptr);
  cfg_set(*missing, "port", "2");
  EXPECT_EQ(cfg_close(std::move(missing)), 1);
  EXPECT_FALSE(Exists(dir_ / "missing"));
}

}  // namespace
