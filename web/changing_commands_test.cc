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

  std::string MakeMusic() {
    for (const char* folder : {"music", "music/a", "music/b"}) ::mkdir((conf_ / folder).c_str(), 0755);
    for (const char* file : {"music/a/1.mp3", "music/a/2.mp3", "music/b/3.mp3", "music/top.mp3"}) {
      WriteFile(conf_ / file, "");
    }
    return conf_ / "music";
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
    for (const std::string& name : ListDir(conf_.path())) files.emplace_back(name, ReadFile(At(name)));
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
  // The server config is written before the stop; the client configs are
  // rewritten between the stop and the start.
  std::vector<std::string> log = ReadLines(Log());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(log[0].starts_with("tarnwick|stop|all#")) << log[0];
  EXPECT_NE(log[0].find("icecast.xml"), std::string::npos);
  EXPECT_TRUE(log[0].ends_with("#<Port>8000</Port> ")) << log[0];
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

  // A huge count costs no more than the fields sent.
  fields.emplace_back("f_total", "2000000000");
  fields.emplace_back("f_dir12", music_ + "/top.mp3");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
  EXPECT_EQ(ListDir(conf_.path()), (std::vector<std::string>{".wl-lock", "music"}));
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

}  // namespace
