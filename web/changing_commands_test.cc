// The changing commands of the built stream_admin, with a stand-in tarnwick
// that records when it runs and what the config directory holds then.

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cgi_fixture.h"

namespace {

class ChangingCommandsTest : public CgiTest {
 protected:
  ChangingCommandsTest() : music_(MakeMusic()) {}

  // The music lies outside the config directory: no playlist takes any
  // from there.
  std::string MakeMusic() {
    for (const char* folder : {"music", "music/a", "music/b"}) ::mkdir((share_ / folder).c_str(), 0755);
    for (const char* file : {"music/a/1.mp3", "music/a/2.mp3", "music/b/3.mp3", "music/top.mp3"}) {
      WriteFile(share_ / file, "");
    }
    return share_ / "music";
  }
  Fields NewPlaylist(const std::string& name, Fields folders = {}) const {
    Fields fields = {{"cmd", "GUI_ice_playlist_new"}, {"f_name", name},       {"f_genre", "Jazz"},
                     {"f_desc", "Late"},              {"f_randomized", "1"}, {"f_total", std::to_string(folders.size())}};
    for (std::size_t i = 0; i < folders.size(); ++i) fields.emplace_back(Numbered("f_dir", i), folders[i].second);
    return fields;
  }
  // Every file of the config directory with its bytes.
  std::vector<std::pair<std::string, std::string>> Snapshot() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& name : ListDir(conf_.path())) {
      struct stat st;
      bool regular = ::lstat(At(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
      files.emplace_back(name, regular ? ReadFile(At(name)) : "<not a regular file>");
    }
    return files;
  }

  std::string music_;
};

TEST_F(ChangingCommandsTest, SetStoresThePortAndRestartsEverythingInOrder) {
  ASSERT_EQ(Cgi(NewPlaylist("A")).out, Config("<res>1</res>"));
  RunResult r = Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}});
  EXPECT_EQ(r.out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_NE(ReadFile(At("icecast.xml")).find("    <port>8010</port>\n"), std::string::npos);
  EXPECT_NE(ReadFile(At("ices.conf-A")).find("\n      <Port>8010</Port>\n"), std::string::npos);
  // Every config is in place before the stop: the streams are stopped and
  // started only for a change whose files all are.
  std::vector<std::string> log;
  for (const std::string& line : ReadLines(Log())) {
    if (line.starts_with("tarnwick")) log.push_back(line);
  }
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].starts_with("tarnwick|stop|all#")) << log[0];
  EXPECT_NE(log[0].find("icecast.xml"), std::string::npos);
  EXPECT_TRUE(log[0].ends_with("#<Port>8010</Port> ")) << log[0];
  EXPECT_TRUE(log[1].starts_with("tarnwick|start|all#")) << log[1];
  EXPECT_TRUE(log[1].ends_with("#<Port>8010</Port> ")) << log[1];
}

TEST_F(ChangingCommandsTest, SetRefusesWhatIsNotAPortAndChangesNothing) {
  Cgi(NewPlaylist("A"));
  Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}});
  ::unlink(Log().c_str());
  auto before = Snapshot();
  for (const char* port : {"", "80a", "0", "70000", " 80", "-1", "+80", "123456", "65536", "８０"}) {
    EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", port}}).out, Config("<res>0</res>")) << port;
  }
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ReadLines(Log()).empty());
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "65535"}}).out, Config("<res>1</res>"));
}

TEST_F(ChangingCommandsTest, NewWritesSettingsConfigAndPlaylistWithoutTheController) {
  RunResult r = Cgi(NewPlaylist("Jazz Classics", {{"", music_ + "/top.mp3"}, {"", music_ + "/b"}, {"", music_ + "/a/"}}));
  EXPECT_EQ(r.out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-ices-conf-Jazz Classics")), "name=Jazz Classics\ngenre=Jazz\ndesc=Late\nrand=1\nenabled=0\n");
  EXPECT_EQ(ReadFile(At("playlist-Jazz Classics")),
            music_ + "/top.mp3\n" + music_ + "/b/3.mp3\n" + music_ + "/a/1.mp3\n" + music_ + "/a/2.mp3\n");
  std::string config = ReadFile(At("ices.conf-Jazz Classics"));
  EXPECT_NE(config.find("    <File>" + At("playlist-Jazz Classics") + "</File>\n"), std::string::npos);
  EXPECT_NE(config.find("    <Randomize>1</Randomize>\n"), std::string::npos);
  EXPECT_TRUE(ControllerRuns().empty());
  for (const std::string& name : ListDir("/tmp")) EXPECT_FALSE(name.starts_with("tmp-ice-playlist.")) << name;
}

TEST_F(ChangingCommandsTest, NewCountsFolderFieldsByTotal) {
  Fields fields = NewPlaylist("P", {{"", music_ + "/a"}, {"", music_ + "/b"}});
  fields[5].second = "1";  // f_total: only f_dir0 counts
  Cgi(fields);
  EXPECT_EQ(ReadFile(At("playlist-P")), music_ + "/a/1.mp3\n" + music_ + "/a/2.mp3\n");

  fields.erase(fields.begin() + 5);  // no f_total: an empty playlist
  Cgi(fields);
  EXPECT_EQ(ReadFile(At("playlist-P")), "");

  // A huge count costs no more than the fields sent: the request may not
  // write even a megabyte (two billion empty lines would be two gigabytes).
  fields.emplace_back("f_total", "2000000000");
  fields.emplace_back("f_dir12", music_ + "/top.mp3");
  CgiRequest limited = Request(fields);
  limited.wrapper = {"/usr/bin/prlimit", "--fsize=1048576", "--"};
  EXPECT_EQ(RunCgi(limited).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")),
            music_ + "/a/1.mp3\n" + music_ + "/a/2.mp3\n" + music_ + "/b/3.mp3\n" + music_ + "/top.mp3\n");
}

TEST_F(ChangingCommandsTest, NewOverAnExistingNameResetsItAndKeepsOtherKeys) {
  Cgi(NewPlaylist("P", {{"", music_ + "/b"}}));
  WriteFile(At("simple-ices-conf-P"), "name=P\ngenre=Old\ndesc=x\nrand=0\nenabled=1\nmine=kept\n");
  Fields fields = NewPlaylist("P", {{"", music_ + "/top.mp3"}});
  fields[4].second = "10";  // f_randomized keeps one character
  EXPECT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-ices-conf-P")), "name=P\ngenre=Jazz\ndesc=Late\nrand=1\nenabled=0\nmine=kept\n");
  EXPECT_EQ(ReadFile(At("playlist-P")), music_ + "/top.mp3\n");
}

TEST_F(ChangingCommandsTest, NewFromAMultipartPost) {
  CgiRequest request = Request({});
  request.method = "POST";
  request.content_type = "multipart/form-data; boundary=----b";
  auto part = [](const std::string& name, const std::string& value) {
    return "------b\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  };
  request.body = part("cmd", "GUI_ice_playlist_new") + part("f_name", "Rock & Roll") + part("f_genre", "Rock") +
                 part("f_desc", "") + part("f_randomized", "0") + part("f_total", "1") + part("f_dir0", music_ + "/b") +
                 "------b--\r\n";
  EXPECT_EQ(RunCgi(request).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-Rock & Roll")), music_ + "/b/3.mp3\n");
  EXPECT_EQ(ReadFile(At("simple-ices-conf-Rock & Roll")), "name=Rock & Roll\ngenre=Rock\ndesc=\nrand=0\nenabled=0\n");
}

TEST_F(ChangingCommandsTest, EnableDisableAndDeleteRunTheControllerWithTheName) {
  Cgi(NewPlaylist("Jazz Classics", {{"", music_ + "/a"}}));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "Jazz Classics"}}).out, Config("<res>1</res>"));
  EXPECT_NE(ReadFile(At("simple-ices-conf-Jazz Classics")).find("\nenabled=1\n"), std::string::npos);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "Jazz Classics"}}).out, Config("<res>1</res>"));
  EXPECT_NE(ReadFile(At("simple-ices-conf-Jazz Classics")).find("\nenabled=0\n"), std::string::npos);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "Jazz Classics"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(ControllerRuns(), (std::vector<std::string>{"tarnwick|start|Jazz Classics", "tarnwick|stop|Jazz Classics",
                                                        "tarnwick|stop|Jazz Classics"}));
  // The stop ran while the playlist's files were still there.
  std::string last = ReadLines(Log()).back();
  for (const char* file : {"playlist-Jazz Classics", "simple-ices-conf-Jazz Classics", "ices.conf-Jazz Classics"}) {
    EXPECT_NE(last.find(file), std::string::npos) << file;
  }
  // Reading the port for the source client config created nothing; the
  // command lock's file stays.
  EXPECT_EQ(ListDir(conf_.path()), (std::vector<std::string>{".wl-lock"}));
}

TEST_F(ChangingCommandsTest, RenewRewritesSettingsAndKeepsEnabled) {
  Cgi(NewPlaylist("P", {{"", music_ + "/a"}}));
  Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}});
  std::string playlist = ReadFile(At("playlist-P"));
  RunResult r = Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "P"}, {"f_genre", "Blues & Soul"},
                     {"f_desc", "Night"}, {"f_randomized", "0"}});
  EXPECT_EQ(r.out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-ices-conf-P")), "name=P\ngenre=Blues & Soul\ndesc=Night\nrand=0\nenabled=1\n");
  EXPECT_NE(ReadFile(At("ices.conf-P")).find("    <Genre>Blues &amp; Soul</Genre>\n"), std::string::npos);
  EXPECT_EQ(ReadFile(At("playlist-P")), playlist);
  EXPECT_EQ(ControllerRuns(), (std::vector<std::string>{"tarnwick|start|P", "tarnwick|stop|P", "tarnwick|start|P"}));
}

TEST_F(ChangingCommandsTest, NamesThatCannotNameAPlaylistAreRefusedWithoutSideEffects) {
  Cgi(NewPlaylist("P"));
  ::unlink(Log().c_str());
  auto before = Snapshot();
  const std::string too_long(239, 'n');
  for (const std::string& name : {std::string(""), std::string("a/b"), std::string("../x"), too_long,
                                  std::string("tab\tx"), std::string("bad\xFF")}) {
    Fields fields = NewPlaylist(name, {{"", music_}});
    EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>")) << name;
    fields[0].second = "GUI_ice_playlist_renew";
    EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>")) << name;
    for (const char* cmd : {"GUI_ice_playlist_del", "GUI_ice_playlist_enable", "GUI_ice_playlist_disable"}) {
      EXPECT_EQ(Cgi({{"cmd", cmd}, {"f_name", name}}).out, Config("<res>0</res>")) << cmd << " " << name;
    }
  }
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(Exists(conf_.path() + "/../x"));
  EXPECT_TRUE(ReadLines(Log()).empty());
}

TEST_F(ChangingCommandsTest, UnwritableSettingsAreReportedAndNothingRuns) {
  PointConfDir(At("missing"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "P"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi(NewPlaylist("P", {{"", music_}})).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "P"}}).out, Config("<res>0</res>"));
  EXPECT_TRUE(ReadLines(Log()).empty());
  EXPECT_FALSE(Exists(At("missing")));
}

TEST_F(ChangingCommandsTest, RepeatedFolderFieldsAreScannedOnce) {
  Fields fields = NewPlaylist("P");
  fields[5].second = "100";
  for (int i = 0; i < 100; ++i) fields.emplace_back(Numbered("f_dir", i), music_ + "/b");
  EXPECT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")), music_ + "/b/3.mp3\n");
  // The same folder spelt in other ways is the same folder.
  fields = NewPlaylist("P", {{"", music_ + "/b"}, {"", music_ + "/b/"}, {"", music_ + "//b/."}, {"", music_ + "/a/../b"}});
  EXPECT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")), music_ + "/b/3.mp3\n");
  // At most a thousand folder fields count.
  fields = NewPlaylist("P");
  fields[5].second = "1500";
  for (int i = 0; i < 1500; ++i) fields.emplace_back(Numbered("f_dir", i), Numbered(music_ + "/top.mp3", i));
  fields.emplace_back("f_dir1499", music_ + "/top.mp3");
  WriteFile(music_ + "/top.mp3999", "");
  EXPECT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")), "");  // none of them names an MP3 file
}

TEST_F(ChangingCommandsTest, SetChangesNothingWhenTheServerConfigCannotBeReplaced) {
  Cgi(NewPlaylist("A"));
  Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}});
  ::unlink(Log().c_str());
  // A directory in its place: the rename of the new file fails.
  ::unlink(At("icecast.xml").c_str());
  ::mkdir(At("icecast.xml").c_str(), 0755);
  auto before = Snapshot();
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8020"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ReadLines(Log()).empty());

  // A server settings file that cannot be written: icecast.xml goes back.
  ::rmdir(At("icecast.xml").c_str());
  Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}});
  ::unlink(Log().c_str());
  ::unlink(At("simple-icecast-conf").c_str());
  ::mkfifo(At("simple-icecast-conf").c_str(), 0644);
  before = Snapshot();
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8020"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ReadLines(Log()).empty());
}

TEST_F(ChangingCommandsTest, HostileFilesInTheConfigDirectoryAreNotFollowed) {
  TempDir elsewhere;
  WriteFile(elsewhere / "secret", "root:x:0:0\n      <Port>1</Port>\n", 0600);
  Cgi(NewPlaylist("A"));
  ASSERT_EQ(::symlink((elsewhere / "secret").c_str(), At("ices.conf-Link").c_str()), 0);
  ASSERT_EQ(::mkfifo(At("ices.conf-Fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/nonexistent", At("simple-ices-conf-Dangling").c_str()), 0);
  WriteFile(At("playlist-Dangling"), "");
  // None of these may hang, follow the link or copy the secret.
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(elsewhere / "secret"), "root:x:0:0\n      <Port>1</Port>\n");
  EXPECT_NE(ReadFile(At("ices.conf-A")).find("<Port>8010</Port>"), std::string::npos);
  for (const std::string& name : ListDir(conf_.path())) EXPECT_FALSE(name.starts_with(".wl-") && name.size() == 10);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_modify_info"}, {"f_name", "Dangling"}}).out, Config("<res>1</res>"));
  EXPECT_NE(Cgi({{"cmd", "GUI_ice_playlist"}}).out.find("<cell>Dangling</cell></row>"), std::string::npos);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_is_active_full"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "Dangling"}}).out, Config("<res>0</res>"));

  // A pointer that is not an absolute path makes the default apply, so
  // nothing is written relative to the working directory.
  WriteFile("/tmp/iceconf.dir", "");
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8030"}}).out, Config("<res>0</res>"));
  EXPECT_FALSE(Exists("/simple-icecast-conf"));
  EXPECT_FALSE(Exists("/icecast.xml"));
}

TEST_F(ChangingCommandsTest, CommandsOnAPlaylistWithoutPlaylistFileCreateNothing) {
  Cgi(NewPlaylist("P"));
  ::unlink(At("playlist-P").c_str());
  auto before = Snapshot();
  for (const char* cmd : {"GUI_ice_playlist_enable", "GUI_ice_playlist_disable", "GUI_ice_playlist_renew"}) {
    EXPECT_EQ(Cgi({{"cmd", cmd}, {"f_name", "P"}}).out, Config("<res>0</res>")) << cmd;
    EXPECT_EQ(Cgi({{"cmd", cmd}, {"f_name", "Never"}}).out, Config("<res>0</res>")) << cmd;
  }
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ControllerRuns().empty());
}

TEST_F(ChangingCommandsTest, AllIsNoPlaylistName) {
  Cgi(NewPlaylist("A"));
  ::unlink(Log().c_str());
  auto before = Snapshot();
  Fields fields = NewPlaylist("all", {{"", music_}});
  EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>"));
  fields[0].second = "GUI_ice_playlist_renew";
  EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>"));
  for (const char* cmd : {"GUI_ice_playlist_del", "GUI_ice_playlist_enable", "GUI_ice_playlist_disable"}) {
    EXPECT_EQ(Cgi({{"cmd", cmd}, {"f_name", "all"}}).out, Config("<res>0</res>")) << cmd;
  }
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_has_playlist_name"}, {"f_name", "all"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ReadLines(Log()).empty());
  // A hand-made playlist file of that name is no row of the table.
  WriteFile(At("playlist-all"), "");
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist"}}).out.find("<cell>all</cell>"), std::string::npos);
}

TEST_F(ChangingCommandsTest, CarriageReturnsOfHandEditedFilesReadBack) {
  Cgi(NewPlaylist("P"));
  WriteFile(At("simple-ices-conf-P"), "genre=Jazz\r\ndesc=Late\r\nrand=1\r\n");
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_modify_info"}, {"f_name", "P"}}).out,
            Config("<res>1</res><genre>Jazz&#13;</genre><desc>Late&#13;</desc><rand>1&#13;</rand>"));
}

TEST_F(ChangingCommandsTest, ASixthEnabledPlaylistIsRefusedAndNothingRuns) {
  for (int i = 1; i <= 6; ++i) ASSERT_EQ(Cgi(NewPlaylist(Numbered("P", i))).out, Config("<res>1</res>"));
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", Numbered("P", i)}}).out, Config("<res>1</res>"));
  }
  ::unlink(Log().c_str());
  auto before = Snapshot();
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P6"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_TRUE(ControllerRuns().empty());
  // One of the five may be enabled again (its client restarted if down);
  // after a disable the sixth gets its place.
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P5"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "P1"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P6"}}).out, Config("<res>1</res>"));
}

TEST_F(ChangingCommandsTest, FoldersOutsideTheStoredMusicRootsAreNotScanned) {
  WriteFile(At("simple-icecast-conf"), "port=8000\nmusic_roots=" + music_ + "/a\n");
  ASSERT_EQ(Cgi(NewPlaylist("P", {{"", music_ + "/a/../b"}, {"", "/"}, {"", music_ + "/b/3.mp3"}, {"", music_ + "/a"}}))
                .out,
            Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")), music_ + "/a/1.mp3\n" + music_ + "/a/2.mp3\n");
}

TEST_F(ChangingCommandsTest, AChangeLeftRecordedThatCannotBeFinishedBlocksEveryChangingCommand) {
  Cgi(NewPlaylist("A"));
  Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}});
  // A port change that failed after its record, with icecast.xml not
  // replaceable for the moment.
  const std::string record = "set\n8010\nsimple-icecast-conf\nicecast.xml\nices.conf-A\n";
  const std::string config = ReadFile(At("ices.conf-A"));
  const std::string moved = config.substr(0, config.find("8000")) + "8010" + config.substr(config.find("8000") + 4);
  WriteFile(At(".wl-journal"), record);
  WriteFile(At(".wl-s-0"), "port=8010\n");
  WriteFile(At(".wl-s-1"), "<port>8010</port>");
  WriteFile(At(".wl-s-2"), moved);
  ::unlink(At("icecast.xml").c_str());
  ::mkdir(At("icecast.xml").c_str(), 0755);
  ::unlink(Log().c_str());
  for (const Fields& fields : std::vector<Fields>{{{"cmd", "GUI_ice_set"}, {"f_port", "8020"}},
                                                  {{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "A"}},
                                                  {{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "A"}},
                                                  {{"cmd", "GUI_ice_playlist_del"}, {"f_name", "A"}},
                                                  {{"cmd", "GUI_ice_playlist_rescan"}, {"f_name", "A"}},
                                                  NewPlaylist("B")}) {
    EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>")) << fields[0].second;
    EXPECT_EQ(ReadFile(At(".wl-journal")), record) << fields[0].second;
  }
  EXPECT_TRUE(ControllerRuns().empty());
  EXPECT_FALSE(Exists(At("playlist-B")));
  // Once it can be, the next command finishes the port change first.
  ::rmdir(At("icecast.xml").c_str());
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "A"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_EQ(ReadFile(At("icecast.xml")), "<port>8010</port>");
  EXPECT_EQ(ReadFile(At("ices.conf-A")), moved);
  EXPECT_EQ(ListDir(conf_.path()), (std::vector<std::string>{".wl-folders-A", ".wl-lock", "folders-A", "icecast.xml", "ices.conf-A",
                                                              "playlist-A", "simple-icecast-conf",
                                                              "simple-ices-conf-A"}));
  EXPECT_EQ(ControllerRuns(), (std::vector<std::string>{"tarnwick|stop|all", "tarnwick|start|all", "tarnwick|start|A"}));
}

// Server settings that are there but cannot be read are no fresh install:
// a change that would write their port or password is refused and touches
// nothing; the question of the port answers as it always has.
TEST_F(ChangingCommandsTest, UnreadableServerSettingsRefuseEveryChangeThatWritesThem) {
  ASSERT_EQ(Cgi(NewPlaylist("A")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}).out, Config("<res>1</res>"));
  // Over 64 KiB: not a settings file of ours.
  WriteFile(At("simple-icecast-conf"), "port=8010\npasswd=S3cret\n#" + std::string(70000, 'x') + "=\n");
  ::unlink(Log().c_str());
  const auto before = Snapshot();
  for (const Fields& fields :
       {Fields{{"cmd", "GUI_ice_set"}, {"f_port", "8020"}}, NewPlaylist("B"), NewPlaylist("A"),
        Fields{{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "A"}, {"f_genre", "R"}, {"f_desc", "N"}}}) {
    EXPECT_EQ(Cgi(fields).out, Config("<res>0</res>")) << fields[0].second;
    EXPECT_EQ(Snapshot(), before) << fields[0].second;
  }
  EXPECT_TRUE(ReadLines(Log()).empty());
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_get"}}).out, Config("<res>1</res><port>8000</port>"));
  // The status tells the page why: the settings cannot be read.
  std::string status = Cgi({{"cmd", "GUI_ice_status"}}).out;
  EXPECT_NE(status.find("<server_settings>unreadable</server_settings>"), std::string::npos) << status;
}

// Nothing a command makes is open to other users, whatever umask the web
// server leaves: the files hold the password, and an open descriptor is all
// a flock needs.
TEST_F(ChangingCommandsTest, EveryFileACommandMakesIsTheOwnersAlone) {
  const mode_t old = ::umask(0);  // the CGI program inherits it
  Cgi(NewPlaylist("A"));
  Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}});
  Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "A"}});
  Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "A"}, {"f_genre", "R"}, {"f_desc", "N"}});
  ::umask(old);
  int files = 0;
  for (const std::string& name : ListDir(conf_.path())) {
    struct stat st;
    ASSERT_EQ(::lstat(At(name).c_str(), &st), 0) << name;
    if (!S_ISREG(st.st_mode)) continue;
    ++files;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  EXPECT_GE(files, 7);  // settings, configs, playlist, folders, the lock
}

TEST_F(ChangingCommandsTest, TheConfigDirectoryIsNeverPartOfAPlaylist) {
  // A playlist whose name is an MP3's makes a config of that name, which
  // holds the password.
  ASSERT_EQ(Cgi(NewPlaylist("leak.mp3", {{"", music_ + "/b"}})).out, Config("<res>1</res>"));
  ASSERT_TRUE(Exists(At("ices.conf-leak.mp3")));
  ::mkdir(At("sub").c_str(), 0755);
  WriteFile(At("sub/x.mp3"), "");
  ASSERT_EQ(::symlink(conf_.path().c_str(), (music_ + "/a/conf").c_str()), 0);
  ASSERT_EQ(::symlink(At("ices.conf-leak.mp3").c_str(), (music_ + "/a/pw.mp3").c_str()), 0);
  // Fields naming it, a file or a folder in it, or a link to it are dropped
  // (and not stored for rescans); the response is the usual one.
  RunResult r = Cgi(NewPlaylist("X", {{"", conf_.path()},
                                      {"", At("ices.conf-leak.mp3")},
                                      {"", At("sub") + "/"},
                                      {"", music_ + "/a/conf"},
                                      {"", music_ + "/a"}}));
  EXPECT_EQ(r.out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-X")), music_ + "/a/1.mp3\n" + music_ + "/a/2.mp3\n");
  EXPECT_EQ(ReadFile(At("folders-X")), music_ + "/a\n");
}

// A change of playlist A that cannot be applied (a folder stands where its
// file goes) refuses every other change but the deletion of another
// playlist, which goes ahead and leaves A's change whole; the status says
// what waits.
TEST_F(ChangingCommandsTest, ADeleteGoesAheadWhileAnotherPlaylistsChangeWaits) {
  ASSERT_EQ(Cgi(NewPlaylist("A")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(NewPlaylist("B")).out, Config("<res>1</res>"));
  const std::string record = "renew\nA\nblocked\n";
  WriteFile(At(".wl-journal"), record);
  WriteFile(At(".wl-s-0"), "new");
  ::mkdir(At("blocked").c_str(), 0755);
  WriteFile(At("blocked/keep"), "");

  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "B"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "A"}}).out, Config("<res>0</res>"));
  EXPECT_TRUE(Exists(At("playlist-A")));
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "B"}}).out, Config("<res>1</res>"));
  for (const char* file : {"playlist-B", "simple-ices-conf-B", "ices.conf-B", "folders-B"}) {
    EXPECT_FALSE(Exists(At(file))) << file;
  }
  EXPECT_EQ(ReadFile(At(".wl-journal")), record);
  EXPECT_EQ(ReadFile(At(".wl-s-0")), "new");
  const std::string status = Cgi({{"cmd", "GUI_ice_status"}}).out;
  EXPECT_TRUE(status.ends_with(
      "<change><action>renew</action><argument>A</argument><reason>not applied yet</reason></change></config>"))
      << status;
  ::unlink(At("blocked/keep").c_str());
  ::rmdir(At("blocked").c_str());
}

}  // namespace
