// stream_admin running the built tarnwick, which runs stand-in icecast and
// ices programs; and many requests at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "controller/process_control.h"
#include "tests/cgi_fixture.h"

namespace {

class ChainTest : public CgiTest {
 protected:
  ChainTest() {
    ::unlink((bin_ / "tarnwick").c_str());
    EXPECT_EQ(::symlink(TARNWICK_BIN, (bin_ / "tarnwick").c_str()), 0);
    WriteFile(share_ / "song.mp3", "");
    WriteFile(conf_ / "list-me", "");
  }
  std::size_t Running(const std::string& name) const { return find_source_clients(At("ices.conf-" + name)).size(); }
  Fields New(const std::string& name) const {
    return {{"cmd", "GUI_ice_playlist_new"}, {"f_name", name},       {"f_genre", "G"},
            {"f_desc", "D"},                 {"f_randomized", "0"}, {"f_total", "1"},
            {"f_dir0", share_ / "song.mp3"}};
  }
};

TEST_F(ChainTest, EnablingStartsTheClientDisablingAndDeletingStopIt) {
  const std::string name = "Jazz & Blues 'live'";
  ASSERT_EQ(Cgi(New(name)).out, Config("<res>1</res>"));
  EXPECT_EQ(Running(name), 0u);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", name}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Running(name), 1u);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", name}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Running(name), 0u);

  Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", name}});
  Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", name}, {"f_genre", "New"}});
  EXPECT_EQ(Running(name), 1u);  // restarted, not doubled
  // A port change restarts the server and every enabled client once.
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8020"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Running(name), 1u);
  EXPECT_NE(ReadFile(At("ices.conf-" + name)).find("<Port>8020</Port>"), std::string::npos);

  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", name}}).out, Config("<res>1</res>"));
  EXPECT_EQ(Running(name), 0u);
  EXPECT_FALSE(Exists(At("playlist-" + name)));
  EXPECT_FALSE(Exists(At("ices.conf-" + name)));
  EXPECT_FALSE(Exists(At("simple-ices-conf-" + name)));
  std::vector<std::string> calls = ReadLines(Log());
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "icecast|-c|" + At("icecast.xml") + "|-b"), 1);
}

TEST_F(ChainTest, ConcurrentNewRequestsLeaveCompleteSettingsFiles) {
  constexpr int kRequests = 30;
  std::vector<std::thread> threads;
  std::vector<RunResult> results(kRequests);
  for (int i = 0; i < kRequests; ++i) {
    threads.emplace_back([&, i] { results[i] = Cgi(New(Numbered("P", i))); });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kRequests; ++i) {
    std::string name = Numbered("P", i);
    EXPECT_EQ(results[i].out, Config("<res>1</res>")) << name;
    EXPECT_EQ(ReadFile(At("simple-ices-conf-" + name)), "name=" + name + "\ngenre=G\ndesc=D\nrand=0\nenabled=0\n");
    EXPECT_EQ(ReadFile(At("playlist-" + name)), share_ / "song.mp3\n");
  }
  for (const std::string& name : ListDir("/tmp")) EXPECT_FALSE(name.starts_with("tmp-ice-playlist.")) << name;
}

TEST_F(ChainTest, ReadersSeeOneWholeValueWhileRenewsAlternate) {
  const std::string a(255, 'a'), b = std::string(200, 'b') + " & <b>";
  ASSERT_EQ(Cgi(New("P")).out, Config("<res>1</res>"));
  std::atomic<bool> done = false;
  std::thread writer([&] {
    for (int i = 0; !done; ++i) {
      Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "P"}, {"f_genre", i % 2 ? a : b}, {"f_desc", "D"}});
    }
  });
  const std::string with_a = Config("<res>1</res><genre>" + a + "</genre><desc>D</desc><rand></rand>");
  const std::string with_b =
      Config("<res>1</res><genre>" + std::string(200, 'b') + " &amp; &lt;b&gt;</genre><desc>D</desc><rand></rand>");
  int seen_a = 0, seen_b = 0;
  for (int i = 0; i < 60; ++i) {
    std::string out = Cgi({{"cmd", "GUI_ice_modify_info"}, {"f_name", "P"}}).out;
    seen_a += out == with_a;
    seen_b += out == with_b;
    // A failure must not leave the writer running (and the thread joinable).
    bool whole = out == with_a || out == with_b ||
                 out == Config("<res>1</res><genre>G</genre><desc>D</desc><rand>0</rand>");
    EXPECT_TRUE(whole) << out;
    if (!whole) break;
  }
  done = true;
  writer.join();
  EXPECT_GT(seen_a + seen_b, 0);
}

TEST_F(ChainTest, StatusTellsHowTheStreamsAre) {
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(New("Road Trip")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(New("Q&A")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "Road Trip"}}).out, Config("<res>1</res>"));
  const std::string server = "<server><running>1</running><port>8010</port><listening>1</listening></server>";
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_status"}}).out,
            Config("<res>1</res>" + server +
                   "<playlist><name>Q&amp;A</name><enabled>0</enabled><running>0</running><songs>1</songs></playlist>"
                   "<playlist><name>Road Trip</name><enabled>1</enabled><running>1</running><songs>1</songs>"
                   "</playlist>"));
  KillSourceClients();
  // The chosen file gone: the playlist still lists it, and tells it is gone
  // (what lies below the music roots is looked at).
  WriteFile(At("simple-icecast-conf"), ReadFile(At("simple-icecast-conf")) + "music_roots=" + share_.path() + "\n");
  ASSERT_EQ(::unlink((share_ / "song.mp3").c_str()), 0);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_status"}}).out,
            Config("<res>1</res><server><running>0</running><port>8010</port><listening>0</listening></server>"
                   "<playlist><name>Q&amp;A</name><enabled>0</enabled><running>0</running><songs>1</songs>"
                   "<missing_folders>1</missing_folders></playlist>"
                   "<playlist><name>Road Trip</name><enabled>1</enabled><running>0</running><songs>1</songs>"
                   "<missing_folders>1</missing_folders></playlist>"));
}

TEST_F(ChainTest, SetAnswersZeroWhenAnotherProgramHoldsThePort) {
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}).out, Config("<res>1</res>"));
  // A port no other test uses; connections of earlier servers may linger.
  int holder = ListenOn(8037);
  ASSERT_GE(holder, 0);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8037"}}).out, Config("<res>0</res>"));
  // The port stays as the user set it, so a check or the next boot retries.
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8037\n");
  ::close(holder);
  EXPECT_EQ(RunCapture({TARNWICK_BIN, "check"}, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()}).status, 0);
  EXPECT_NE(Cgi({{"cmd", "GUI_ice_status"}}).out.find("<running>1</running><port>8037</port><listening>1</listening>"),
            std::string::npos);
}

TEST_F(ChainTest, EnableAnswersZeroWhenTheClientCannotStart) {
  ASSERT_EQ(Cgi(New("P")).out, Config("<res>1</res>"));
  ::unlink(At("ices.conf-P").c_str());
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}}).out, Config("<res>0</res>"));
  EXPECT_NE(ReadFile(At("simple-ices-conf-P")).find("enabled=1\n"), std::string::npos);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "P"}}).out, Config("<res>1</res>"));
}

TEST_F(ChainTest, RescanFollowsTheChosenFolders) {
  ::mkdir((share_ / "music").c_str(), 0755);
  WriteFile(share_ / "music/a.mp3", "");
  Fields fields = New("P");
  fields.back().second = share_ / "music";
  ASSERT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("folders-P")), share_ / "music\n");
  WriteFile(share_ / "music/b.mp3", "");
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_rescan"}, {"f_name", "P"}}).out, Config("<res>1</res>"));
  EXPECT_EQ(ReadFile(At("playlist-P")), share_ / "music/a.mp3\n" + share_ / "music/b.mp3\n");
  // Refused names, playlists without stored folders, and missing ones: 0.
  WriteFile(At("playlist-Old"), "");
  for (const char* name : {"Old", "Missing", "all", "", "a/b"}) {
    EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_rescan"}, {"f_name", name}}).out, Config("<res>0</res>")) << name;
  }
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "P"}}).out, Config("<res>1</res>"));
  EXPECT_FALSE(Exists(At("folders-P")));
}

TEST_F(ChainTest, AForeignListenerOnThePortGetsNoPasswordAndIsNotHealthy) {
  WriteFile(At("simple-icecast-conf"), "port=8043\npasswd=Secret1\n");
  // Our server runs, but on another port; a foreign program holds ours.
  WriteFile(At("icecast.xml"), "<port>8044</port>");
  ASSERT_EQ(RunCapture({bin_ / "icecast", "-c", At("icecast.xml"), "-b"}, {}).status, 0);
  int foreign = ListenOn(8043, SOCK_NONBLOCK);
  ASSERT_GE(foreign, 0);
  // Let the server come up, so that a status that asks would ask it.
  for (int i = 0; i < 200 && find_servers().empty(); ++i) ::usleep(10000);
  EXPECT_NE(Cgi({{"cmd", "GUI_ice_status"}}).out.find("<running>1</running><port>8043</port><listening>1</listening>"),
            std::string::npos);
  std::string received;
  for (int client; (client = ::accept(foreign, nullptr, nullptr)) >= 0; ::close(client)) {
    char buffer[4096];
    ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(received, "");
  EXPECT_EQ(RunCapture({TARNWICK_BIN, "status"}, {"PATH=/usr/bin:/bin"}).status, 3);
  ::close(foreign);
}

TEST_F(ChainTest, ADeleteAnswersOneOnlyWhenNoClientOfThePlaylistRunsAfterIt) {
  ASSERT_EQ(Cgi(New("P")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(Running("P"), 1u);
  // A controller killed before its signal, every time: the client streams
  // on, so the delete answers 0 and every file stays (the page still shows
  // the playlist that streams).
  ::unlink((bin_ / "tarnwick").c_str());
  WriteFile(bin_ / "tarnwick", "#!/bin/sh\nkill -9 $$\n", 0755);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "P"}}).out, Config("<res>0</res>"));
  EXPECT_EQ(Running("P"), 1u);
  for (const char* file : {"playlist-P", "ices.conf-P", "simple-ices-conf-P", "folders-P"}) {
    EXPECT_TRUE(Exists(At(file))) << file;
  }
  // The next controller that takes the lock stops the client, then
  // completes the delete.
  RunCapture({TARNWICK_BIN, "check"}, {"PATH=" + bin_.path() + ":/usr/bin:/bin"});
  EXPECT_EQ(Running("P"), 0u);
  EXPECT_FALSE(Exists(At("playlist-P")));
  EXPECT_FALSE(Exists(At("ices.conf-P")));
  EXPECT_FALSE(Exists(At(".wl-journal")));

  // A controller killed once: the stop is run again, and it takes.
  ::unlink((bin_ / "tarnwick").c_str());
  ASSERT_EQ(::symlink(TARNWICK_BIN, (bin_ / "tarnwick").c_str()), 0);
  ASSERT_EQ(Cgi(New("Q")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "Q"}}).out, Config("<res>1</res>"));
  ::unlink((bin_ / "tarnwick").c_str());
  WriteFile(bin_ / "tarnwick",
            "#!/bin/sh\n[ -e \"$0.died\" ] || { : > \"$0.died\"; kill -9 $$; }\nexec " + std::string(TARNWICK_BIN) +
                " \"$@\"\n",
            0755);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "Q"}}).out, Config("<res>1</res>"));
  EXPECT_TRUE(Exists(bin_ / "tarnwick.died"));
  EXPECT_EQ(Running("Q"), 0u);
  EXPECT_FALSE(Exists(At("playlist-Q")));
}

}  // namespace
