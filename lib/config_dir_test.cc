#include "lib/config_dir.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

class ConfigDirTest : public ::testing::Test {
 protected:
  ConfigDirTest() { PointConfDir(conf_.path()); }
  ~ConfigDirTest() override { ::unlink(kConfDirPointer); }
  std::string At(const std::string& name) const { return conf_ / name; }
  void AddPlaylistSettings(const std::string& name, const std::string& contents) {
    WriteFile(At("simple-ices-conf-" + name), contents);
  }

  TempDir conf_;
};

TEST_F(ConfigDirTest, PointerFileChoosesTheDirectory) {
  EXPECT_EQ(get_conf_dir(), conf_.path());
  EXPECT_EQ(server_settings_path(), conf_.path() + "/simple-icecast-conf");

  PointConfDir(conf_.path() + "\n");  // the line feed belongs to the path
  EXPECT_EQ(get_conf_dir(), conf_.path() + "\n");
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{});

  ::unlink(kConfDirPointer);
  EXPECT_EQ(get_conf_dir(), "/mnt/HD/HD_a2/Nas_Prog/sonorell/iceconf");

  WriteFile(kConfDirPointer, "");
  EXPECT_EQ(get_conf_dir(), "");
}

TEST_F(ConfigDirTest, LongPathsAreNeverCutShort) {
  std::string fits(127, 'p');
  PointConfDir(fits);
  EXPECT_EQ(get_conf_dir(), fits);
  PointConfDir(fits + "\nsecond line");
  EXPECT_EQ(get_conf_dir(), fits);
  PointConfDir(std::string(126, 'p') + "\nx");
  EXPECT_EQ(get_conf_dir(), std::string(126, 'p') + "\n");
  PointConfDir(fits + "q");
  EXPECT_EQ(get_conf_dir(), kDefaultConfDir);
}

TEST_F(ConfigDirTest, UntrustedPointerFilesAreIgnored) {
  TempDir other;
  WriteFile(other / "target", conf_.path());
  ::unlink(kConfDirPointer);
  ASSERT_EQ(::symlink((other / "target").c_str(), kConfDirPointer), 0);
  EXPECT_EQ(get_conf_dir(), kDefaultConfDir);

  ::unlink(kConfDirPointer);
  PointConfDir(conf_.path());
  ASSERT_EQ(::chown(kConfDirPointer, 4321, 4321), 0);
  EXPECT_EQ(get_conf_dir(), kDefaultConfDir);
}

TEST_F(ConfigDirTest, ServerPortDefaultsAndCreatesTheSettingsFile) {
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "");
  WriteFile(At("simple-icecast-conf"), "port=\n");
  EXPECT_EQ(get_server_port(), "8000");
  WriteFile(At("simple-icecast-conf"), "#port=9000\n");
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(get_server_password(), "quillfen");

  ::unlink(At("simple-icecast-conf").c_str());
  EXPECT_EQ(set_server_port("8010"), 0);
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_EQ(get_server_port(), "8010");

  PointConfDir(conf_ / "missing");
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(set_server_port("1"), 1);
  EXPECT_FALSE(Exists(conf_ / "missing"));
}

TEST_F(ConfigDirTest, PlaylistGetterCreatesASettingsFileThatThenCounts) {
  EXPECT_EQ(has_playlist_name("Jazz"), 0);
  EXPECT_EQ(get_playlist_genre("Jazz"), "");
  EXPECT_EQ(ReadFile(At("simple-ices-conf-Jazz")), "");
  EXPECT_EQ(has_playlist_name("Jazz"), 1);
  EXPECT_EQ(has_playlist_name("jazz"), 0);
  EXPECT_EQ(has_playlist_name(""), 0);

  PointConfDir(conf_ / "missing");
  EXPECT_EQ(get_playlist_genre("Jazz"), std::nullopt);
  EXPECT_EQ(has_playlist_name("Jazz"), 1);
  EXPECT_EQ(is_playlist_full(), 1);
  EXPECT_EQ(is_active_full(), -1);
}

TEST_F(ConfigDirTest, NextNameLooksAtPlaylistFilesOnly) {
  WriteFile(At("playlist-Playlist-01"), "");
  WriteFile(At("playlist-Playlist-03"), "");
  AddPlaylistSettings("Playlist-02", "");
  EXPECT_EQ(next_playlist_name(), "Playlist-02");
  for (int n = 1; n <= 20; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "playlist-Playlist-%02d", n);
    WriteFile(At(name), "");
  }
  EXPECT_EQ(next_playlist_name(), std::nullopt);
  EXPECT_EQ(playlist_file_exists("Playlist-20"), At("playlist-Playlist-20"));
  EXPECT_EQ(playlist_file_exists("Rock"), std::nullopt);
}

TEST_F(ConfigDirTest, CapacityCounts) {
  WriteFile(At("simple-ices-conf-"), "enabled=1\n");  // names no playlist
  for (int n = 0; n < 19; ++n) AddPlaylistSettings(Numbered("p", n), n < 4 ? "enabled=1\n" : "enabled=0\n");
  EXPECT_EQ(is_playlist_full(), 0);
  EXPECT_EQ(is_active_full(), 0);
  AddPlaylistSettings("ten", "enabled=10\n");
  EXPECT_EQ(is_playlist_full(), 1);
  EXPECT_EQ(is_active_full(), 1);
  AddPlaylistSettings("ten", "enabled=yes\n");
  AddPlaylistSettings("blank", "enabled=\n");
  AddPlaylistSettings("zero", "#enabled=1\nenabled=0\n");
  EXPECT_EQ(is_active_full(), 0);
}

TEST_F(ConfigDirTest, WritePlaylistSettingsKeepsExistingKeysInPlace) {
  EXPECT_EQ(write_playlist_settings("Jazz", "Jazz", "", "1", "0"), 0);
  EXPECT_EQ(ReadFile(At("simple-ices-conf-Jazz")), "name=Jazz\ngenre=Jazz\ndesc=\nrand=1\nenabled=0\n");

  AddPlaylistSettings("Rock", "enabled=1\nmine=kept\ngenre=old\n");
  EXPECT_EQ(write_playlist_settings("Rock", "Rock", "loud", "0", std::nullopt), 0);
  EXPECT_EQ(ReadFile(At("simple-ices-conf-Rock")), "enabled=1\nmine=kept\ngenre=Rock\nname=Rock\ndesc=loud\nrand=0\n");
  EXPECT_EQ(set_playlist_enabled("Rock", "0"), 0);
  EXPECT_EQ(get_playlist_enabled("Rock"), "0");
}

TEST_F(ConfigDirTest, DeletePlaylistRemovesWhatExists) {
  WriteFile(At("playlist-Jazz"), "");
  WriteFile(At("ices.conf-Jazz"), "");
  WriteFile(At("playlist-Jazz2"), "");
  delete_playlist("Jazz");
  delete_playlist("Nothing");
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{"playlist-Jazz2"});
}

TEST(PlaylistNameTest, RefusesNamesThatCannotNameAPlaylist) {
  EXPECT_TRUE(is_valid_playlist_name("Playlist-01"));
  EXPECT_TRUE(is_valid_playlist_name("Jazz Classics"));
  EXPECT_TRUE(is_valid_playlist_name("Rock & Roll <live> 'x' \"y\" $(id) ;"));
  EXPECT_TRUE(is_valid_playlist_name("Caf\xC3\xA9"));
  EXPECT_TRUE(is_valid_playlist_name(std::string(238, 'n')));
  EXPECT_TRUE(is_valid_playlist_name(".."));  // a file suffix, never a path

  EXPECT_FALSE(is_valid_playlist_name(""));
  EXPECT_FALSE(is_valid_playlist_name(std::string(239, 'n')));
  EXPECT_FALSE(is_valid_playlist_name("../../etc/x"));
  EXPECT_FALSE(is_valid_playlist_name("a/b"));
  EXPECT_FALSE(is_valid_playlist_name("tab\there"));
  EXPECT_FALSE(is_valid_playlist_name(std::string("nul\0x", 5)));
  EXPECT_FALSE(is_valid_playlist_name("del\x7F"));
  EXPECT_FALSE(is_valid_playlist_name("Caf\xE9"));
}

}  // namespace
