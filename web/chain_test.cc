// stream_admin running the built tarnwick, which runs stand-in icecast and
// ices programs; and many requests at once.

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
    WriteFile(conf_ / "song.mp3", "");
    WriteFile(conf_ / "list-me", "");
  }
  std::size_t Running(const std::string& name) const { return find_source_clients(At("ices.conf-" + name)).size(); }
  Fields New(const std::string& name) const {
    return {{"cmd", "GUI_ice_playlist_new"}, {"f_name", name},       {"f_genre", "G"},
            {"f_desc", "D"},                 {"f_randomized", "0"}, {"f_total", "1"},
            {"f_dir0", conf_ / "song.mp3"}};
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
    EXPECT_EQ(ReadFile(At("playlist-" + name)), conf_ / "song.mp3\n");
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

}  // namespace
