// Files and times past the 32-bit limits: on 32-bit devices the library is
// built with 64-bit file offsets and time, so an MP3 over 2 GiB (a long live
// recording, a concatenated album) still makes it into a playlist.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "lib/playlist_builder.h"
#include "tests/test_util.h"

namespace {

static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

constexpr off_t kLarge = (off_t{5} << 30) + 12345;  // 5 GiB and a bit: past 2 and 4 GiB

class LargeFileTest : public ::testing::Test {
 protected:
  LargeFileTest() { PointConfDir(conf_.path()); }
  ~LargeFileTest() override { ::unlink("/tmp/iceconf.dir"); }

  // A sparse file of `size` bytes: cheap on the test's tmpfs.
  static void MakeSparse(const std::string& path, off_t size) {
    WriteFile(path, "");
    ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(st.st_size, size);
  }
  std::string Build(const std::string& list_contents) {
    FILE* list = std::tmpfile();
    std::fputs(list_contents.c_str(), list);
    EXPECT_EQ(build_playlist_file("Big", list), 0);
    std::fclose(list);
    return ReadFile(playlist_path("Big"));
  }

  TempDir conf_;
  TempDir music_;
};

TEST_F(LargeFileTest, FileOver2GiBIsFoundInAFolder) {
  MakeSparse(music_ / "live.mp3", kLarge);
  WriteFile(music_ / "small.mp3", "");
  EXPECT_EQ(Build(music_.path() + "\n"), music_ / "live.mp3" + "\n" + music_ / "small.mp3" + "\n");
}

TEST_F(LargeFileTest, FileOver2GiBIsTakenWhenListed) {
  MakeSparse(music_ / "album.MP3", kLarge);
  EXPECT_EQ(Build(music_ / "album.MP3" + "\n"), music_ / "album.MP3" + "\n");
}

TEST_F(LargeFileTest, FileDatedPast2038IsFound) {
  WriteFile(music_ / "future.mp3", "");
  const struct timespec times[2] = {{4102444800, 0}, {4102444800, 0}};  // 2100-01-01
  ASSERT_EQ(::utimensat(AT_FDCWD, (music_ / "future.mp3").c_str(), times, 0), 0);
  EXPECT_EQ(Build(music_.path() + "\n"), music_ / "future.mp3" + "\n");
}

}  // namespace
