#include "lib/playlist_builder.h"

#include <sys/mount.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "lib/music_folders.h"
#include "tests/test_util.h"

namespace {

class PlaylistBuilderTest : public ::testing::Test {
 protected:
  PlaylistBuilderTest() {
    PointConfDir(conf_.path());
    ::chmod(music_.path().c_str(), 0755);
  }
  ~PlaylistBuilderTest() override { ::unlink("/tmp/iceconf.dir"); }

  // Creates folders (names ending in "/") and empty files below the music
  // folder.
  void Make(std::initializer_list<std::string> paths) {
    for (const std::string& p : paths) {
      if (p.back() == '/') {
        ::mkdir((music_ / p).c_str(), 0755);
      } else {
        WriteFile(music_ / p, "");
      }
    }
  }
  void Link(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), (music_ / link).c_str()), 0);
  }
  // Builds playlist "P" from these list file contents; returns its lines.
  std::string Build(const std::string& list_contents) {
    FILE* list = std::tmpfile();
    std::fputs(list_contents.c_str(), list);
    EXPECT_EQ(build_playlist_file("P", list), 0);
    std::fclose(list);
    return ReadFile(conf_ / "playlist-P");
  }
  std::string M(const std::string& p) const { return music_ / p; }
  // The scan of the music folder as the user nobody sees it.
  std::string ScanAsNobody() {
    FILE* out = std::tmpfile();
    pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
      scan_music_dir(out, music_.path());
      std::fflush(out);
      ::_exit(0);
    }
    int status;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    std::rewind(out);
    char buffer[4096] = {};
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    return std::string(buffer, n);
  }

  TempDir conf_;
  TempDir music_;
};

TEST(Mp3NameTest, MatchesTheLastExtensionInAnyCase) {
  for (const char* yes : {"a.mp3", "A.MP3", "x.Mp3", ".mp3", "dir.mp3", "a.b.mp3"}) EXPECT_TRUE(is_mp3_name(yes)) << yes;
  for (const char* no : {"a.mp3.bak", "a.mp", "mp3", "a.mp4", "a.mp33", "", "a.", "a.ogg"}) EXPECT_FALSE(is_mp3_name(no)) << no;
}

TEST_F(PlaylistBuilderTest, FilesComeBeforeSubfoldersInByteOrder) {
  Make({"b.mp3", "A.mp3", "x/", "x/d.mp3", "W/", "W/e.mp3", "cover.jpg", "notes.txt", "Z.MP3"});
  EXPECT_EQ(Build(music_.path() + "\n"),
            M("A.mp3") + "\n" + M("Z.MP3") + "\n" + M("b.mp3") + "\n" + M("W/e.mp3") + "\n" + M("x/d.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, ListedFilesAreWrittenAsGivenAndFoldersResolved) {
  Make({"a/", "a/song.mp3", "a/sub/", "a/sub/t.mp3", "skip.txt"});
  Link(M("a"), "via");
  std::string listed = music_.path() + "//via/song.mp3";
  EXPECT_EQ(Build(listed + "\n\n" + M("skip.txt") + "\n" + M("missing.mp3") + "\n" + M("via") + "/\n"),
            listed + "\n" + M("a/song.mp3") + "\n" + M("a/sub/t.mp3") + "\n");
  // The last line needs no newline and keeps all its characters.
  EXPECT_EQ(Build(M("a/song.mp3")), M("a/song.mp3") + "\n");
  EXPECT_EQ(Build(""), "");
}

TEST_F(PlaylistBuilderTest, SystemFoldersAreSkippedOnlyInsideAScan) {
  Make({"recycle/", "recycle/r.mp3", "lost+found/", "lost+found/l.mp3", "Recycle/", "Recycle/R.mp3",
        ".git/", ".git/g.mp3", "album.mp3/", "album.mp3/in.mp3", ".hidden.mp3", "Network Trash Folder/",
        "Network Trash Folder/n.mp3"});
  EXPECT_EQ(Build(music_.path() + "\n" + M("recycle") + "\n"),
            M(".hidden.mp3") + "\n" + M(".git/g.mp3") + "\n" + M("Recycle/R.mp3") + "\n" + M("album.mp3/in.mp3") +
                "\n" + M("recycle/r.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, LinksAreFollowedWithoutLooping) {
  Make({"a/", "a/1.mp3", "b/", "b/2.mp3", "b/c/", "b/c/3.mp3", "z.mp3"});
  Link(M("z.mp3"), "a/link.mp3");         // a file link keeps the link's name
  Link(M("b"), "a/m-sibling");            // a folder link is scanned under its target
  Link(M("a"), "a/n-self");               // loops back to the folder itself
  Link(M("b"), "b/c/up");                 // loops back to an ancestor
  Link(M("nowhere"), "a/dangling.mp3");   // dangling: skipped
  EXPECT_EQ(Build(M("a") + "\n"), M("a/1.mp3") + "\n" + M("a/link.mp3") + "\n" + M("b/2.mp3") + "\n" +
                                      M("b/c/3.mp3") + "\n");
}

// Longest line of a playlist, without printing megabytes on failure.
std::size_t LongestLine(const std::string& text) {
  std::size_t longest = 0;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    longest = std::max(longest, end - start);
  }
  return longest;
}

// Makes `levels` nested folders named `name` below `top`, each holding
// x.mp3, creating them relative to each other since their full paths may
// pass the system's path limit.
void MakeChain(const std::string& top, const std::string& name, int levels) {
  ASSERT_EQ(::chdir(top.c_str()), 0);
  for (int i = 0; i < levels; ++i) {
    ASSERT_EQ(::mkdir(name.c_str(), 0755), 0);
    ASSERT_EQ(::chdir(name.c_str()), 0);
    WriteFile("x.mp3", "");
  }
  ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(PlaylistBuilderTest, PathsThatALineCannotCarryAreSkipped) {
  Make({"new\nline.mp3", "ok.mp3", "feed\n/", "feed\n/in.mp3", "deep/"});
  MakeChain(M("deep"), std::string(200, 'd'), 22);  // passes 4095 bytes at about level 20
  std::string out = Build(music_.path() + "\n");
  EXPECT_EQ(out.find("new"), std::string::npos);
  EXPECT_EQ(out.find("feed"), std::string::npos);
  EXPECT_NE(out.find(M("ok.mp3") + "\n"), std::string::npos);
  EXPECT_LE(LongestLine(out), 4095u);
  EXPECT_GT(LongestLine(out), 3800u);
}

TEST_F(PlaylistBuilderTest, DeepTreesDoNotExhaustTheStack) {
  ::mkdir(M("t").c_str(), 0755);
  MakeChain(M("t"), "d", 2000);
  std::string out = Build(M("t") + "\n");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2000);
  EXPECT_TRUE(out.starts_with(M("t") + "/d/x.mp3\n" + M("t") + "/d/d/x.mp3\n"));
  EXPECT_GT(LongestLine(out), 4000u);
}

TEST_F(PlaylistBuilderTest, UnreadableFolderContributesNothing) {
  Make({"open/", "open/o.mp3", "shut/", "shut/s.mp3", "noenter/", "noenter/n.mp3"});
  ::chmod(M("shut").c_str(), 0);
  ::chmod(M("noenter").c_str(), 0644);  // listable, not enterable
  // As an ordinary user: root reads every folder.
  EXPECT_EQ(ScanAsNobody(), M("open/o.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, FoldersOfAVolumeMountedInsideAreAllFound) {
  // Two file systems both number their folders from the root, so folders of
  // the inner one share inode numbers with folders of the outer one.
  Make({"outer/", "outer/o.mp3", "outer/usb/"});
  ASSERT_EQ(::mount("inner", M("outer/usb").c_str(), "tmpfs", 0, "mode=0755"), 0);
  for (const char* folder : {"a", "b", "c"}) {
    ::mkdir(M(std::string("outer/usb/") + folder).c_str(), 0755);
    WriteFile(M(std::string("outer/usb/") + folder + "/" + folder + ".mp3"), "");
  }
  std::string out = Build(M("outer") + "\n");
  ::umount(M("outer/usb").c_str());
  EXPECT_EQ(out, M("outer/o.mp3") + "\n" + M("outer/usb/a/a.mp3") + "\n" + M("outer/usb/b/b.mp3") + "\n" +
                     M("outer/usb/c/c.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, ManyLinksToTheSameFoldersCostNoMoreThanTheFolders) {
  // Each folder holds two links to the next: 2^18 paths to the last one.
  constexpr int kLevels = 18;
  for (int i = 0; i <= kLevels; ++i) {
    Make({Numbered("f", i) + "/", Numbered("f", i) + "/x.mp3"});
  }
  for (int i = 0; i < kLevels; ++i) {
    Link(M(Numbered("f", i + 1)), Numbered("f", i) + "/l1");
    Link(M(Numbered("f", i + 1)), Numbered("f", i) + "/l2");
  }
  std::string out = Build(M("f0") + "\n");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), kLevels + 1);
  // Folders the user chose twice, one inside the other, appear as chosen.
  out = Build(M("f17") + "\n" + M("f18") + "\n");
  EXPECT_EQ(out, M("f17/x.mp3") + "\n" + M("f18/x.mp3") + "\n" + M("f18/x.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, PseudoFileSystemsAreNeverEntered) {
  Make({"m/", "m/a.mp3"});
  Link("/proc", "m/proc");
  Link("/sys", "m/sys");
  EXPECT_EQ(Build(M("m") + "\n/proc\n/sys\n/proc/self\n"), M("m/a.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, ABuildStopsAtTheLineLimitAndKeepsWhatItFound) {
  Make({"many/"});
  for (int i = 0; i < 2000; ++i) WriteFile(M("many/" + Numbered("s", i) + ".mp3"), "");
  std::string list;
  for (std::size_t i = 0; i * 2000 <= kMaxPlaylistLines; ++i) list += M("many") + "\n";
  std::string out = Build(list);
  EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')), kMaxPlaylistLines);
  EXPECT_TRUE(out.starts_with(M("many/s0.mp3\n")));
}

// Gives `path` the access ACL "user::rwx, user:UID:r-x, group::---,
// mask::r-x, other::---" in the kernel's binary form, as setfacl would.
bool GrantUserByAcl(const std::string& path, std::uint32_t uid) {
  struct Entry {
    std::uint16_t tag, perm;
    std::uint32_t id;
  };
  struct {
    std::uint32_t version = 2;
    Entry entries[5];
  } acl;
  const std::uint32_t kUndefined = 0xFFFFFFFF;
  acl.entries[0] = {0x01, 7, kUndefined};  // user::rwx
  acl.entries[1] = {0x02, 5, uid};         // user:UID:r-x
  acl.entries[2] = {0x04, 0, kUndefined};  // group::---
  acl.entries[3] = {0x10, 5, kUndefined};  // mask::r-x
  acl.entries[4] = {0x20, 0, kUndefined};  // other::---
  return ::setxattr(path.c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) == 0;
}

TEST_F(PlaylistBuilderTest, FoldersOpenedByAnAclAreEntered) {
  Make({"shared/", "shared/s.mp3"});
  ::chmod(M("shared").c_str(), 0700);  // the mode bits alone shut others out
  if (!GrantUserByAcl(M("shared"), 65534)) GTEST_SKIP() << "no ACLs on this file system";
  EXPECT_EQ(ScanAsNobody(), M("shared/s.mp3") + "\n");
}

TEST_F(PlaylistBuilderTest, FailedBuildLeavesTheOldPlaylist) {
  WriteFile(conf_ / "playlist-P", "old\n");
  PointConfDir(conf_ / "missing");
  FILE* list = std::tmpfile();
  EXPECT_EQ(build_playlist_file("P", list), 1);
  EXPECT_EQ(build_playlist_file("a/b", list), 1);
  std::fclose(list);
  EXPECT_EQ(ReadFile(conf_ / "playlist-P"), "old\n");
}

TEST_F(PlaylistBuilderTest, StoredMusicRootsConfineListedPathsAndLinks) {
  Make({"in/", "in/sub/", "out/", "in/a.mp3", "in/sub/b.mp3", "out/secret.mp3"});
  Link(M("out/secret.mp3"), "in/leak.mp3");
  Link(M("out"), "in/door");
  Link(M("in/sub/b.mp3"), "in/alias.mp3");
  const std::string list = M("in") + "\n" + M("in/../out") + "\n" + M("out/secret.mp3") + "\n" +
                           M("in/../out/secret.mp3") + "\n" + M("in/leak.mp3") + "\n";
  // Without the setting every path counts, as it always did.
  EXPECT_EQ(Build(list), M("in/a.mp3") + "\n" + M("in/alias.mp3") + "\n" + M("in/leak.mp3") + "\n" +
                             M("out/secret.mp3") + "\n" + M("in/sub/b.mp3") + "\n" + M("out/secret.mp3") + "\n" +
                             M("out/secret.mp3") + "\n" + M("in/../out/secret.mp3") + "\n" + M("in/leak.mp3") + "\n");
  WriteFile(conf_ / "simple-icecast-conf", "music_roots=/nonexistent:" + M("in") + "\n");
  EXPECT_EQ(Build(list + "/\n"), M("in/a.mp3") + "\n" + M("in/alias.mp3") + "\n" + M("in/sub/b.mp3") + "\n");
  // Roots that do not resolve confine to nothing.
  WriteFile(conf_ / "simple-icecast-conf", "music_roots=/nonexistent\n");
  EXPECT_EQ(Build(list), "");
}

TEST_F(PlaylistBuilderTest, AFolderSwappedForALinkDuringTheSearchLeadsNowhereOutside) {
  Make({"in/", "in/x.dir/", "in/x.dir/in.mp3", "out/", "out/secret.mp3"});
  Link(M("out"), "in/x.lnk");
  ASSERT_EQ(::rename(M("in/x.dir").c_str(), M("in/x").c_str()), 0);
  WriteFile(conf_ / "simple-icecast-conf", "music_roots=" + M("in") + "\n");
  int leaked = 0;
  {
    FolderSwapper swapper(M("in/x"));
    for (int i = 0; i < 1000; ++i) leaked += Build(M("in") + "\n").find("secret") != std::string::npos;
  }
  EXPECT_EQ(leaked, 0);
}

TEST_F(PlaylistBuilderTest, TheAddOnsOwnFoldersAreNeverPartOfAPlaylist) {
  // The config directory below the music, as on the device (the add-on's
  // folder lies on the share), holding a config whose name is an MP3's.
  const std::string conf = M("app/iceconf");
  Make({"app/", "app/iceconf/", "app/iceconf/sub/", "song.mp3", "app/bin/", "app/bin/tarnwick"});
  PointConfDir(conf);
  WriteFile(conf + "/ices.conf-leak.mp3", "<Password>secret</Password>");
  WriteFile(conf + "/sub/x.mp3", "");
  WriteFile(M("app/tune.mp3"), "");
  Link(conf, "conf-link");
  Link(conf + "/ices.conf-leak.mp3", "pw.mp3");
  // Unconfined, and confined to a root that holds it all: below a root, named
  // in the list, inside it, or through links, nothing of the config
  // directory is taken; nor of the add-on's folder (it holds bin/tarnwick)
  // once it lies inside a root.
  const std::string tune = M("app/tune.mp3") + "\n";
  for (const auto& [settings, app] : {std::pair(std::string(), tune + tune + tune),
                                      std::pair("music_roots=" + music_.path() + "\n", std::string())}) {
    WriteFile(conf + "/simple-icecast-conf", settings);
    const std::string list = music_.path() + "\n" + conf + "\n" + conf + "/ices.conf-leak.mp3\n" + conf + "/sub\n" +
                             M("app") + "\n" + M("app/tune.mp3") + "\n" + M("conf-link") + "\n" + M("pw.mp3") + "\n";
    FILE* file = std::tmpfile();
    std::fputs(list.c_str(), file);
    EXPECT_EQ(build_playlist_file("P", file), 0);
    std::fclose(file);
    EXPECT_EQ(ReadFile(conf + "/playlist-P"), M("song.mp3") + "\n" + app) << settings;
  }
  // The add-on's folder counts only strictly inside a root: a root is
  // never ruled out whole.
  WriteFile(conf + "/simple-icecast-conf", "music_roots=" + M("app") + "\n");
  std::vector<std::string> addon = addon_folders();
  EXPECT_NE(std::find(addon.begin(), addon.end(), conf), addon.end());
  EXPECT_EQ(std::find(addon.begin(), addon.end(), M("app")), addon.end());
  EXPECT_FALSE(in_addon_folder("/", addon));
}

// The count of a folder is the number of lines a build of it writes: one
// walk, one set of rules.
TEST_F(PlaylistBuilderTest, ACountTakesWhatABuildTakes) {
  const std::string conf = M("app/iceconf");
  Make({"app/", "app/iceconf/", "a/", "a/1.mp3", "a/2.MP3", "a/x.txt", "a/recycle/", "a/recycle/r.mp3", "a/b/",
        "a/b/3.mp3", "a/.AppleDouble/", "a/.AppleDouble/d.mp3", "out/", "out/secret.mp3"});
  PointConfDir(conf);
  WriteFile(conf + "/in-conf.mp3", "");
  Link(M("a"), "a/b/up");                // a cycle
  Link(M("b-again"), "a/dangling");      // leads nowhere
  Link(M("out"), "a/door");              // out of the roots
  Link(M("out/secret.mp3"), "a/leak.mp3");
  Link(conf, "a/conf");                  // the config directory
  Link(M("a/b"), "a/same-b");            // a folder reached twice
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (const std::string& roots : {M("a"), music_.path()}) {
    WriteFile(conf + "/simple-icecast-conf", "music_roots=" + roots + "\n");
    FILE* list = std::tmpfile();
    std::fputs((M("a") + "\n").c_str(), list);
    ASSERT_EQ(build_playlist_file("P", list), 0);
    std::fclose(list);
    const std::string built = ReadFile(conf + "/playlist-P");
    std::optional<SongCount> count = count_folder_songs(M("a"), later);
    ASSERT_TRUE(count) << roots;
    EXPECT_EQ(count->songs, static_cast<std::uint64_t>(std::count(built.begin(), built.end(), '\n'))) << built;
    EXPECT_FALSE(count->cut);
  }
  // 1, 2, b/3, and now that out/ lies inside the roots leak.mp3 and
  // door/secret.mp3; b once.
  EXPECT_EQ(count_folder_songs(M("a"), later)->songs, 5u);
  // Not a folder.
  EXPECT_FALSE(count_folder_songs(M("a/1.mp3"), later));
  EXPECT_FALSE(count_folder_songs(M("missing"), later));
  // Without stored roots a count keeps inside the picker's roots (here the
  // device's share, which does not exist): it tells nothing of other folders.
  WriteFile(conf + "/simple-icecast-conf", "port=8000\n");
  EXPECT_EQ(count_folder_songs(M("a"), later)->songs, 0u);
}

TEST_F(PlaylistBuilderTest, ACountStopsAtItsDeadline) {
  Make({"a/", "a/1.mp3", "a/b/", "a/b/2.mp3", "a/c/", "a/c/3.mp3"});
  WriteFile(conf_ / "simple-icecast-conf", "music_roots=" + music_.path() + "\n");
  // Past already: the folder itself is searched, the rest is not.
  std::optional<SongCount> count = count_folder_songs(M("a"), std::chrono::steady_clock::now());
  ASSERT_TRUE(count);
  EXPECT_EQ(count->songs, 1u);
  EXPECT_TRUE(count->cut);
  // A folder without subfolders is done before any deadline is asked.
  count = count_folder_songs(M("a/b"), std::chrono::steady_clock::now());
  EXPECT_EQ(count->songs, 1u);
  EXPECT_FALSE(count->cut);
}

}  // namespace
