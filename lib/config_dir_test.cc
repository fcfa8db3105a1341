#include "lib/config_dir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/settings_file.h"
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

  // Only an absolute path can name the directory: anything else would be
  // taken relative to whatever the working directory happens to be.
  for (const char* pointer : {"", "\n", "relative/dir", "./conf"}) {
    WriteFile(kConfDirPointer, pointer);
    EXPECT_EQ(get_conf_dir(), kDefaultConfDir) << pointer;
  }
  WriteFile(kConfDirPointer, std::string("/tmp\0/x", 7));
  EXPECT_EQ(get_conf_dir(), kDefaultConfDir);
}

TEST_F(ConfigDirTest, PinnedDirectoryHoldsWhateverThePointerSaysLater) {
  pin_conf_dir();
  PointConfDir(conf_ / "elsewhere");
  EXPECT_EQ(get_conf_dir(), conf_.path());
  EXPECT_EQ(server_settings_path(), conf_.path() + "/simple-icecast-conf");
  unpin_conf_dir();
  EXPECT_EQ(get_conf_dir(), conf_ / "elsewhere");
}

TEST_F(ConfigDirTest, LongPathsAreNeverCutShort) {
  std::string fits = "/" + std::string(126, 'p');
  PointConfDir(fits);
  EXPECT_EQ(get_conf_dir(), fits);
  PointConfDir(fits + "\nsecond line");
  EXPECT_EQ(get_conf_dir(), fits);
  PointConfDir("/" + std::string(125, 'p') + "\nx");
  EXPECT_EQ(get_conf_dir(), "/" + std::string(125, 'p') + "\n");
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

TEST_F(ConfigDirTest, ServerPortDefaultsWithoutCreatingTheSettingsFile) {
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_FALSE(Exists(At("simple-icecast-conf")));
  WriteFile(At("simple-icecast-conf"), "port=\n");
  EXPECT_EQ(get_server_port(), "8000");
  WriteFile(At("simple-icecast-conf"), "#port=9000\n");
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(get_server_password(), "quillfen");

  // A file that is there but cannot be read is no fresh install: the
  // password is not known, and no default stands in for it; the port, which
  // only questions ask for, answers as it always has.
  WriteFile(At("simple-icecast-conf"), "port=9000\npasswd=S3cret\n#" + std::string(70000, 'x') + "=\n");
  EXPECT_EQ(get_server_password(), std::nullopt);
  EXPECT_FALSE(read_server_settings());
  EXPECT_EQ(get_server_port(), "8000");
  WriteFile(At("simple-icecast-conf"), "passwd=S3cret\nport=9000\n");
  std::optional<ServerSettings> settings = read_server_settings();
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->port, "9000");
  EXPECT_EQ(settings->password, "S3cret");
  WriteFile(At("simple-icecast-conf"), "passwd=\n");
  settings = read_server_settings();
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->port, "8000");
  EXPECT_EQ(settings->password, "quillfen");

  ::unlink(At("simple-icecast-conf").c_str());
  EXPECT_EQ(set_server_port("8010"), 0);
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_EQ(get_server_port(), "8010");

  PointConfDir(conf_ / "missing");
  EXPECT_EQ(get_server_port(), "8000");
  EXPECT_EQ(set_server_port("1"), 1);
  EXPECT_FALSE(Exists(conf_ / "missing"));
}

TEST_F(ConfigDirTest, QuestionsAboutAMissingPlaylistCreateNothing) {
  EXPECT_EQ(has_playlist_name("Jazz"), 0);
  EXPECT_EQ(get_playlist_genre("Jazz"), "");
  EXPECT_EQ(get_playlist_enabled("Jazz"), "");
  EXPECT_EQ(read_playlist_settings("Jazz")->enabled, "");
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{});
  EXPECT_EQ(has_playlist_name("Jazz"), 0);
  AddPlaylistSettings("Jazz", "");
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
  WriteFile(At(".wl-folders-Jazz"), "");
  WriteFile(At("playlist-Jazz2"), "");
  delete_playlist("Jazz");
  delete_playlist("Nothing");
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{"playlist-Jazz2"});
}

TEST_F(ConfigDirTest, DeletionWaitsForAWriterAndTheFileStaysDeleted) {
  WriteFile(At("playlist-Jazz"), "");
  AddPlaylistSettings("Jazz", "name=Jazz\nenabled=0\n");
  // The deleter is forked first: a child forked later would share the
  // writer's open file and so its lock.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t child = ::fork();
  if (child == 0) {
    char byte;
    if (::read(go[0], &byte, 1) == 1) delete_playlist("Jazz");
    ::_exit(0);
  }
  std::unique_ptr<SettingsFile> writer = cfg_open(At("simple-ices-conf-Jazz"));
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(::write(go[1], "x", 1), 1);
  ::usleep(50000);  // the deleter now waits for the lock
  cfg_set(*writer, "enabled", "1");
  EXPECT_EQ(cfg_close(std::move(writer)), 0);
  int status;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(go[0]);
  ::close(go[1]);
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{});

  // Removed behind the writer's back: the rewrite fails and brings nothing back.
  AddPlaylistSettings("Rock", "enabled=0\n");
  writer = cfg_open(At("simple-ices-conf-Rock"));
  ASSERT_NE(writer, nullptr);
  ::unlink(At("simple-ices-conf-Rock").c_str());
  cfg_set(*writer, "enabled", "1");
  EXPECT_EQ(cfg_close(std::move(writer)), 1);
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{});
}

TEST(PlaylistNameTest, RefusesNamesThatCannotNameAPlaylist) {
  EXPECT_TRUE(is_valid_playlist_name("Playlist-01"));
  EXPECT_TRUE(is_valid_playlist_name("Jazz Classics"));
  EXPECT_TRUE(is_valid_playlist_name("Rock & Roll <live> 'x' \"y\" $(id) ;"));
  EXPECT_TRUE(is_valid_playlist_name("Caf\xC3\xA9"));
  EXPECT_TRUE(is_valid_playlist_name(std::string(238, 'n')));
  EXPECT_TRUE(is_valid_playlist_name(".."));  // a file suffix, never a path
  EXPECT_TRUE(is_valid_playlist_name("All"));
  EXPECT_TRUE(is_valid_playlist_name("all "));

  EXPECT_FALSE(is_valid_playlist_name("all"));  // the controller's keyword
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
