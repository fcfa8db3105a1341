#include "lib/folder_state.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include <gtest/gtest.h>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "lib/playlist_builder.h"
#include "lib/unique_fd.h"
#include "tests/test_util.h"

namespace {

class FolderStateTest : public ::testing::Test {
 protected:
  FolderStateTest() { PointConfDir(conf_.path()); }
  ~FolderStateTest() override { ::unlink("/tmp/iceconf.dir"); }

  // Builds playlist P from `fields` as a rescan does, and returns its record.
  FolderState Build(const std::string& fields) {
    std::string text = fields;
    std::unique_ptr<FILE, FileCloser> list(::fmemopen(text.data(), text.size(), "r"));
    EXPECT_NE(rebuild_playlist_file("P", list.get()), RebuildResult::kFailed);
    std::optional<FolderState> record = read_folder_state("P");
    EXPECT_TRUE(record);
    return record.value_or(FolderState{});
  }
  // The record as if its search had begun long after every stamp: no
  // longer uncertain.
  static FolderState Settled(FolderState state) {
    state.scan_sec += 60;
    return state;
  }
  static std::vector<std::string> Paths(const FolderState& state) {
    std::vector<std::string> paths;
    for (const FolderStamp& stamp : state.stamps) paths.push_back(stamp.path);
    return paths;
  }

  TempDir conf_;
  TempDir music_;
};

TEST_F(FolderStateTest, ARecordReadsBackWholeWhateverItsPathsHoldAndNothingElseReadsAsOne) {
  FolderState state;
  state.fields = {"/music/a\nb", "/music/12:3 ", std::string("/x\xff\x01", 4)};
  state.confined = true;
  state.roots = {"/music", ""};
  state.scan_sec = 1700000000;
  state.scan_nsec = 999999999;
  FolderStamp folder{"/music/a\nb", FolderStamp::Kind::kFolder, 2049, 1ull << 40, 1699999999, 5, 1699999998, 7};
  FolderStamp missing{"/music/later\n3:abc\n", FolderStamp::Kind::kMissing};
  FolderStamp file{"/music/one.mp3", FolderStamp::Kind::kOther, 1, 2};
  state.stamps = {folder, missing, file};
  const std::string text = format_folder_state(state);
  EXPECT_EQ(parse_folder_state(text), state);
  EXPECT_EQ(parse_folder_state(format_folder_state(FolderState{})), FolderState{});
  // Cut anywhere, or with anything after it, it is no record.
  for (std::size_t size = 0; size < text.size(); ++size) {
    EXPECT_FALSE(parse_folder_state(text.substr(0, size))) << size;
  }
  EXPECT_FALSE(parse_folder_state(text + "x"));
  // Counts and lengths that the rest cannot hold, kinds and numbers that are
  // none.
  for (const std::string& bad : {
           std::string("wavelorn folder state 1\nscan 1 2\nroots 0 18446744073709551615\n"),
           std::string("wavelorn folder state 1\nscan 1 2\nroots 2 0\nfields 0\nstamps 0\nend\n"),
           std::string("wavelorn folder state 1\nscan 1 2\nroots 0 0\nfields 1\n99999999999999999999:a\nstamps 0\nend\n"),
           std::string("wavelorn folder state 1\nscan 1 2\nroots 0 0\nfields 0\nstamps 1\nx 1 2 3 4 5 6 1:/\nend\n"),
           std::string("wavelorn folder state 1\nscan 1 2\nroots 0 0\nfields 0\nstamps 1\nd -1 2 3 4 5 6 1:/\nend\n"),
           std::string("wavelorn folder state 2\nscan 1 2\nroots 0 0\nfields 0\nstamps 0\nend\n"),
       }) {
    EXPECT_FALSE(parse_folder_state(bad)) << bad;
  }
}

TEST_F(FolderStateTest, TheRecordTellsEveryChangeThatCouldChangeThePlaylist) {
  for (const char* folder : {"a", "a/b", "elsewhere"}) ::mkdir((music_ / folder).c_str(), 0755);
  WriteFile(music_ / "a/b/one.mp3", "");
  ASSERT_EQ(::symlink((music_ / "elsewhere").c_str(), (music_ / "a/link").c_str()), 0);
  const std::string fields = music_ / "a" + "\n" + music_ / "missing" + "\n\n";
  FolderState state = Settled(Build(fields));
  struct stat st;
  ASSERT_EQ(::stat(folder_state_path("P").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Each stored field (the empty line is none), each folder entered, the
  // link to a folder as well as where it leads, and the missing field.
  EXPECT_EQ(state.fields, (std::vector<std::string>{music_ / "a", music_ / "missing"}));
  EXPECT_EQ(Paths(state), (std::vector<std::string>{music_ / "a", music_ / "a/b", music_ / "a/link",
                                                     music_ / "elsewhere", music_ / "missing"}));
  EXPECT_EQ(state.stamps.back().kind, FolderStamp::Kind::kMissing);
  const std::vector<std::string> now = state.fields;
  EXPECT_EQ(compare_folder_state(state, now, false, {}), FolderCheck::kUnchanged);
  EXPECT_EQ(compare_folder_state(Build(fields), now, false, {}), FolderCheck::kUncertain) << "just searched";
  EXPECT_EQ(compare_folder_state(state, {music_ / "a"}, false, {}), FolderCheck::kChanged) << "other fields";
  EXPECT_EQ(compare_folder_state(state, now, true, {music_.path()}), FolderCheck::kChanged) << "roots stored since";
  EXPECT_EQ(check_folder_state("Q", now, false, {}), FolderCheck::kNoRecord);

  // Each change on its own, a moment after the search (a coarse clock
  // could give both the same time; that is what kUncertain is for).
  auto changed = [&](const char* what) {
    EXPECT_EQ(compare_folder_state(state, now, false, {}), FolderCheck::kChanged) << what;
    state = Settled(Build(fields));
    ::usleep(20000);
  };
  ::usleep(20000);
  WriteFile(music_ / "a/b/two.mp3", "");
  changed("a file added deep down");
  ASSERT_EQ(::rename((music_ / "a/b/two.mp3").c_str(), (music_ / "a/b/three.mp3").c_str()), 0);
  changed("a file renamed");
  ASSERT_EQ(::chmod((music_ / "a/b").c_str(), 0700), 0);
  changed("a folder's mode");
  WriteFile(music_ / "elsewhere/e.mp3", "");
  changed("a file added where a link leads");
  ASSERT_EQ(::unlink((music_ / "a/link").c_str()), 0);
  ASSERT_EQ(::symlink((music_ / "a/b").c_str(), (music_ / "a/link").c_str()), 0);
  changed("a link led elsewhere");
  ::mkdir((music_ / "missing").c_str(), 0755);
  changed("a stored folder appeared");
  EXPECT_EQ(Paths(state).back(), music_ / "missing");
  EXPECT_EQ(state.stamps.back().kind, FolderStamp::Kind::kFolder);
  ASSERT_EQ(::rename((music_ / "missing").c_str(), (music_ / "gone").c_str()), 0);
  ::mkdir((music_ / "missing").c_str(), 0755);
  changed("a stored folder swapped for another");
  // A song's own contents are none of the playlist's.
  WriteFile(music_ / "a/b/one.mp3", "ID3");
  EXPECT_EQ(compare_folder_state(state, now, false, {}), FolderCheck::kUnchanged);
}

TEST_F(FolderStateTest, AFolderDatedAheadIsNotSearchedAgainEveryMinute) {
  ::mkdir((music_ / "ahead").c_str(), 0755);
  const std::string fields = music_ / "ahead";
  auto date = [&](std::int64_t sec) {
    const struct timespec times[2] = {{sec, 0}, {sec, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, fields.c_str(), times, 0), 0);
  };
  // Copied from a machine whose clock ran a day ahead (its status change
  // time, that of the copy, long past): a check a minute later has no
  // reason to search it again, and neither has the next.
  date(std::time(nullptr) + 86400);
  EXPECT_EQ(compare_folder_state(Settled(Build(fields)), {fields}, false, {}), FolderCheck::kUnchanged);
  // Dated beyond what a clock holds in nanoseconds.
  date(16725225600);  // 2500-01-01
  EXPECT_EQ(compare_folder_state(Settled(Build(fields)), {fields}, false, {}), FolderCheck::kUnchanged);
}

TEST_F(FolderStateTest, ACreateRecordsOnceItsPlaylistIsInPlaceAndADeleteRemovesTheRecord) {
  WriteFile(music_ / "one.mp3", "");
  std::string fields = music_.path() + "\n";
  std::unique_ptr<FILE, FileCloser> list(::fmemopen(fields.data(), fields.size(), "r"));
  ASSERT_EQ(build_playlist_file("P", list.get()), 0);
  std::optional<FolderState> record = read_folder_state("P");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->fields, std::vector<std::string>{music_.path()});
  // A record that cannot be written leaves none (a directory in its place
  // stands for a full disk here): an older one could hide a change.
  WriteFile(folder_state_path("Q"), format_folder_state(*record));
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0500), 0);
  if (::access((conf_ / "x").c_str(), F_OK) != 0 && ::geteuid() != 0) {
    EXPECT_EQ(write_folder_state("Q", *record), 1);
  }
  ::chmod(conf_.path().c_str(), 0700);
  delete_playlist("P");
  EXPECT_FALSE(read_folder_state("P"));
}

}  // namespace
