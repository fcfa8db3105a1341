#include "lib/playlist_contents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "lib/music_folders.h"
#include "tests/test_util.h"

namespace {

TEST(CountFileLinesTest, LineFeedsAndALastLineWithoutOne) {
  TempDir dir;
  const std::string file = dir / "playlist-P";
  const std::pair<std::string, std::uint64_t> cases[] = {
      {"", 0}, {"\n", 1}, {"a", 1}, {"a\n", 1}, {"a\nb", 2}, {"a\n\nb\n", 3}, {std::string("a\0b\n", 4), 1},
  };
  for (const auto& [contents, lines] : cases) {
    WriteFile(file, contents);
    EXPECT_EQ(count_file_lines(file), lines) << contents;
  }
  // Across the pieces it is read in, a last line without a line feed
  // ending exactly at a piece's end included.
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "/mnt/HD/HD_a2/Music/" + std::to_string(i) + ".mp3\n";
  WriteFile(file, big);
  EXPECT_EQ(count_file_lines(file), 200000u);
  WriteFile(file, std::string(65536 * 2, 'x'));
  EXPECT_EQ(count_file_lines(file), 1u);
  WriteFile(file, std::string(65535, 'x') + "\n" + std::string(65536, 'y'));
  EXPECT_EQ(count_file_lines(file), 2u);
  // Nothing to count: missing, a folder, a pipe (which must not block).
  EXPECT_FALSE(count_file_lines(dir / "missing"));
  EXPECT_FALSE(count_file_lines(dir.path()));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(count_file_lines(dir / "fifo"));
  // A link to a playlist file counts as the file.
  ASSERT_EQ(::symlink(file.c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(count_file_lines(dir / "link"), 2u);
}

TEST(CountMissingFoldersTest, StoredPathsThatNameNothingNow) {
  TempDir conf, music;
  PointConfDir(conf.path());
  ::mkdir((music / "here").c_str(), 0755);
  WriteFile(music / "song.mp3", "");
  ASSERT_EQ(::symlink((music / "here").c_str(), (music / "link").c_str()), 0);
  ASSERT_EQ(::symlink((music / "gone").c_str(), (music / "dangling").c_str()), 0);
  WriteFile(conf / "simple-icecast-conf", "port=8000\nmusic_roots=" + music.path() + "/\n");
  EXPECT_EQ(count_missing_folders("P", music_roots()), 0u);  // nothing stored
  // What lies outside the music roots is never looked at: the count would
  // tell whether any path of the device exists.
  WriteFile(conf / "folders-P", music / "here\n\n" + music / "song.mp3\n" + music / "link\n" + music / "gone\n" +
                                    music / "song.mp3/below\n" + music / "dangling\n" + music / "gone too\n" +
                                    "/nonexistent/x\n" + music / "../nonexistent\n" + music.path() +
                                    "-other/gone\nrelative/gone");
  EXPECT_EQ(count_missing_folders("P", music_roots()), 4u);
  EXPECT_EQ(count_missing_folders("all", music_roots()), 0u);  // names no playlist
  ::unlink("/tmp/iceconf.dir");
}

}  // namespace
