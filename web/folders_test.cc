// GUI_ice_folders of the built stream_admin: browsing the music roots.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/music_folders.h"

#include "tests/cgi_fixture.h"

namespace {

class FoldersTest : public CgiTest {
 protected:
  FoldersTest() {
    for (const char* folder : {"music", "music/b", "music/A", "music/recycle", "music/.AppleDouble", "music/a b",
                               "music/b/inner", "outside", "outside/secret"}) {
      ::mkdir((share_ / folder).c_str(), 0755);
    }
    WriteFile(share_ / "music/song.mp3", "");
    WriteFile(At("simple-icecast-conf"), "port=8000\nmusic_roots=" + Music() + ":relative/ignored\n");
  }
  std::string Music() const { return share_ / "music"; }
  std::string Folders(const std::string& path) const { return Cgi({{"cmd", "GUI_ice_folders"}, {"f_path", path}}).out; }
};

TEST_F(FoldersTest, RootsAndSubfoldersInTheScansOrder) {
  EXPECT_EQ(Folders(""), Config("<res>1</res><root>" + Music() + "</root>"));
  EXPECT_EQ(Folders(Music()), Config("<res>1</res><path>" + Music() +
                                     "</path><folder>A</folder><folder>a b</folder><folder>b</folder>"));
  EXPECT_EQ(Folders(Music() + "/b/"), Config("<res>1</res><path>" + Music() + "/b</path><folder>inner</folder>"));
  EXPECT_EQ(Folders(Music() + "/b/inner"), Config("<res>1</res><path>" + Music() + "/b/inner</path>"));
  // Without a setting, the device's share root.
  WriteFile(At("simple-icecast-conf"), "port=8000\n");
  EXPECT_EQ(Folders(""), Config("<res>1</res><root>/mnt/HD/HD_a2</root>"));
}

TEST_F(FoldersTest, NothingOutsideTheRootsIsListedOrTold) {
  ASSERT_EQ(::symlink((share_ / "outside").c_str(), (share_ / "music/escape").c_str()), 0);
  ASSERT_EQ(::symlink((share_ / "music/b").c_str(), (share_ / "music/to-b").c_str()), 0);
  // The link that leads out is not offered; the one inside is.
  EXPECT_EQ(Folders(Music()), Config("<res>1</res><path>" + Music() +
                                     "</path><folder>A</folder><folder>a b</folder><folder>b</folder>"
                                     "<folder>to-b</folder>"));
  const std::string refused = Config("<res>0</res>");
  for (const std::string& path : {Music() + "/..", Music() + "/escape", Music() + "/escape/secret", conf_.path(),
                                  Music() + "/missing", Music() + "/song.mp3", std::string("/"), std::string("relative"),
                                  Music() + "/bad\xFF", Music() + "/../outside", Music() + "x"}) {
    EXPECT_EQ(Folders(path), refused) << path;
  }
  // An unreadable folder inside a root answers as a missing one.
  ::chmod((share_ / "music/A").c_str(), 0);
  CgiRequest request = Request({{"cmd", "GUI_ice_folders"}, {"f_path", Music() + "/A"}});
  request.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  ::chmod(conf_.path().c_str(), 0755);
  ::chmod(At("simple-icecast-conf").c_str(), 0644);
  EXPECT_EQ(RunCgi(request).out, refused);
}

TEST_F(FoldersTest, AFolderOfManySubfoldersIsCut) {
  ::mkdir((share_ / "music/many").c_str(), 0755);
  for (int i = 0; i < 2005; ++i) ::mkdir((share_ / ("music/many/" + Numbered("d", 10000 + i))).c_str(), 0755);
  std::string out = Folders(Music() + "/many");
  std::size_t folders = 0;
  for (std::size_t at = 0; (at = out.find("<folder>", at)) != std::string::npos; ++at) ++folders;
  EXPECT_EQ(folders, 2000u);
  EXPECT_NE(out.find("<folder>d11999</folder><cut>1</cut></config>"), std::string::npos);
}

TEST_F(FoldersTest, AFolderSwappedForALinkOnTheWayListsNothingOutside) {
  // "x" turns from a folder inside into a link outside and back, while it is
  // listed again and again.
  ::mkdir((share_ / "music/x.dir").c_str(), 0755);
  ::mkdir((share_ / "music/x.dir/inside").c_str(), 0755);
  ASSERT_EQ(::symlink((share_ / "outside").c_str(), (share_ / "music/x.lnk").c_str()), 0);
  const std::string x = Music() + "/x";
  ASSERT_EQ(::rename((x + ".dir").c_str(), x.c_str()), 0);
  int listed = 0, leaked = 0;
  {
    FolderSwapper swapper(x);
    for (int i = 0; i < 3000; ++i) {
      if (std::optional<FolderListing> listing = list_music_folder(x)) {
        ++listed;
        leaked += listing->folders != std::vector<std::string>{"inside"};
      }
    }
  }
  EXPECT_EQ(leaked, 0) << "of " << listed << " listings";
}

TEST_F(FoldersTest, TheConfigDirectoryIsNeverOffered) {
  // A root that holds the config directory (as the device's share holds the
  // add-on's folder): the picker neither lists it nor opens it, nor a folder
  // in it.
  const std::string parent = conf_.path().substr(0, conf_.path().rfind('/'));
  const std::string name = conf_.path().substr(parent.size() + 1);
  ::mkdir(At("sub").c_str(), 0755);
  WriteFile(At("simple-icecast-conf"), "port=8000\nmusic_roots=" + parent + "\n");
  std::string listing = Folders(parent);
  EXPECT_NE(listing.find("<res>1</res>"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("<folder>" + name + "</folder>"), std::string::npos) << listing;
  EXPECT_NE(listing.find("<folder>" + share_.path().substr(parent.size() + 1) + "</folder>"), std::string::npos);
  EXPECT_EQ(Folders(conf_.path()), Config("<res>0</res>"));
  EXPECT_EQ(Folders(At("sub")), Config("<res>0</res>"));
  // Nor through a link.
  ASSERT_EQ(::symlink(conf_.path().c_str(), (share_ / "music/conf").c_str()), 0);
  EXPECT_EQ(Folders(Music()).find("<folder>conf</folder>"), std::string::npos);
  EXPECT_EQ(Folders(share_ / "music/conf"), Config("<res>0</res>"));
}

TEST_F(FoldersTest, AFilterKeepsTheFoldersWhoseNamesHoldItBeforeTheCut) {
  for (const std::string& folder :
       {std::string("music/100% Live"), std::string("music/x..y"), "music/" + std::string(255, 'z')}) {
    ::mkdir((share_ / folder).c_str(), 0755);
  }
  auto filtered = [&](const std::string& path, const std::string& filter) {
    return Cgi({{"cmd", "GUI_ice_folders"}, {"f_path", path}, {"f_filter", filter}}).out;
  };
  auto listing = [&](const std::string& folders) { return Config("<res>1</res><path>" + Music() + "</path>" + folders); };
  const std::string all = Folders(Music());
  // The filter is text, never a path nor a pattern: what no name can hold
  // matches nothing, and the folders the scan skips stay out.
  const std::pair<std::string, std::string> cases[] = {
      {"", all},
      {"B", listing("<folder>a b</folder><folder>b</folder>")},
      {"a B", listing("<folder>a b</folder>")},
      {"%", listing("<folder>100% Live</folder>")},
      {"% l", listing("<folder>100% Live</folder>")},
      {"..", listing("<folder>x..y</folder>")},
      {"/", listing("")},
      {"../outside", listing("")},
      {"*", listing("")},
      {"recycle", listing("")},
      {"apple", listing("")},
      {std::string("b\0", 2), listing("")},
      {"\xC3\xA9", listing("")},
      {std::string(255, 'Z'), listing("<folder>" + std::string(255, 'z') + "</folder>")},
      {std::string(256, 'z'), listing("")},
      {std::string(5000, 'z'), listing("")},
  };
  for (const auto& [filter, expected] : cases) {
    EXPECT_EQ(filtered(Music(), filter), expected) << filter.size() << " " << filter;
  }
  // A refused folder stays refused, and the roots are not filtered.
  EXPECT_EQ(filtered(share_ / "outside", "s"), Config("<res>0</res>"));
  EXPECT_EQ(filtered("", "zzz"), Config("<res>1</res><root>" + Music() + "</root>"));
  // Filtered first, then cut: the 2000 are those that match.
  ::mkdir((share_ / "music/many").c_str(), 0755);
  for (int i = 0; i < 2005; ++i) ::mkdir((share_ / ("music/many/" + Numbered("d", 10000 + i))).c_str(), 0755);
  EXPECT_EQ(filtered(Music() + "/many", "D120"),
            Config("<res>1</res><path>" + Music() + "/many</path><folder>d12000</folder><folder>d12001</folder>"
                   "<folder>d12002</folder><folder>d12003</folder><folder>d12004</folder>"));
  EXPECT_NE(filtered(Music() + "/many", "d1").find("<folder>d11999</folder><cut>1</cut></config>"), std::string::npos);
}

TEST_F(FoldersTest, ACountTellsTheSongsThePlaylistWouldTake) {
  for (const char* folder : {"music/b/inner/deep", "music/recycle"}) ::mkdir((share_ / folder).c_str(), 0755);
  for (const char* file : {"music/A/y.MP3", "music/b/inner/x.mp3", "music/b/inner/deep/z.mp3", "music/b/cover.jpg",
                           "music/recycle/r.mp3", "music/.AppleDouble/d.mp3", "outside/secret.mp3",
                           "outside/secret/s.mp3"}) {
    WriteFile(share_ / file, "");
  }
  ASSERT_EQ(::symlink((share_ / "outside").c_str(), (share_ / "music/escape").c_str()), 0);
  ASSERT_EQ(::symlink((share_ / "outside/secret.mp3").c_str(), (share_ / "music/leak.mp3").c_str()), 0);
  ASSERT_EQ(::symlink(Music().c_str(), (share_ / "music/b/loop").c_str()), 0);
  ASSERT_EQ(::symlink(conf_.path().c_str(), (share_ / "music/conf").c_str()), 0);
  WriteFile(At("in-conf.mp3"), "");
  auto count = [&](const std::string& path) {
    return Cgi({{"cmd", "GUI_ice_folders"}, {"f_path", path}, {"f_count", "1"}}).out;
  };
  // song.mp3, A/y.MP3, b/inner/x.mp3, b/inner/deep/z.mp3; not what the
  // builder leaves out (system folders, links out of the roots, the
  // config directory, the loop back).
  EXPECT_EQ(count(Music()), Config("<res>1</res><path>" + Music() + "</path><songs>4</songs>"));
  EXPECT_EQ(count(Music() + "/b/inner/"), Config("<res>1</res><path>" + Music() + "/b/inner</path><songs>2</songs>"));
  // From b the link back up leads to the rest of the music, as in a build.
  EXPECT_EQ(count(Music() + "/b"), Config("<res>1</res><path>" + Music() + "/b</path><songs>4</songs>"));
  EXPECT_EQ(count(Music() + "/b/inner/deep"),
            Config("<res>1</res><path>" + Music() + "/b/inner/deep</path><songs>1</songs>"));
  // Without f_count=1 it lists.
  EXPECT_NE(Cgi({{"cmd", "GUI_ice_folders"}, {"f_path", Music()}, {"f_count", "0"}}).out.find("<folder>A</folder>"),
            std::string::npos);
  // Refusals answer as a listing's do, whatever lies behind.
  const std::string refused = Config("<res>0</res>");
  for (const std::string& path :
       {std::string(), Music() + "/..", Music() + "/escape", Music() + "/escape/secret", share_ / "outside",
        Music() + "/../outside", conf_.path(), Music() + "/conf", Music() + "/song.mp3", Music() + "/missing",
        std::string("/"), std::string("relative"), Music() + "/bad\xFF", Music() + std::string("\0", 1),
        Music() + "/" + std::string(600, 'x'), Music() + "/b/%2e%2e"}) {
    EXPECT_EQ(count(path), refused) << path;
  }
  // The settings store no roots: the picker's roots confine the count.
  WriteFile(At("simple-icecast-conf"), "port=8000\n");
  EXPECT_EQ(count(Music()), refused);
}

TEST_F(FoldersTest, APlaylistsStoredFoldersAreToldForItsEditForm) {
  auto stored = [&](const std::string& name) {
    return Cgi({{"cmd", "GUI_ice_folders"}, {"f_playlist", name}}).out;
  };
  WriteFile(At("playlist-Rock"), "");
  // Blank lines are folder fields that were not sent: nothing to edit.
  WriteFile(At("folders-Rock"), Music() + "/b\n\n" + Music() + "/a b\n" + Music() + "/<&>");
  EXPECT_EQ(stored("Rock"), Config("<res>1</res><playlist_folder>" + Music() + "/b</playlist_folder><playlist_folder>" +
                                   Music() + "/a b</playlist_folder><playlist_folder>" + Music() +
                                   "/&lt;&amp;&gt;</playlist_folder>"));
  // Stored folders without their playlist, a playlist made before folders
  // were stored, names that are no playlist's: nothing is known.
  WriteFile(At("folders-Gone"), Music() + "\n");
  WriteFile(At("playlist-Old"), "");
  const std::string refused = Config("<res>0</res>");
  for (const std::string& name : {std::string("Gone"), std::string("Old"), std::string("../folders-Rock"),
                                  std::string("Ro/ck"), std::string(300, 'R')}) {
    EXPECT_EQ(stored(name), refused) << name;
  }
}

}  // namespace
