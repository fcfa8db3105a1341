// Commands of the built stream_admin and tarnwick running side by side, and
// commands killed at random moments: afterwards every file of the config
// directory must be consistent with one state, and no playlist may have more
// than one source client.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "controller/process_control.h"
#include "lib/config_dir.h"
#include "tests/cgi_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Under a user-mode emulator every process start costs many times more: the
// same scenarios run with fewer commands there.
constexpr int kScale = WAVELORN_EMULATED ? 4 : 1;
// No scenario issues new commands after this long.
constexpr std::chrono::seconds kBudget{WAVELORN_EMULATED ? 90 : 60};

class ConcurrencyTest : public CgiTest {
 protected:
  ConcurrencyTest() {
    ::unlink((bin_ / "tarnwick").c_str());
    EXPECT_EQ(::symlink(TARNWICK_BIN, (bin_ / "tarnwick").c_str()), 0);
    ::mkdir((share_ / "music").c_str(), 0755);
    for (int i = 0; i < 4; ++i) {
      ::mkdir(Folder(i).c_str(), 0755);
      WriteFile(Folder(i) + "/" + Numbered("song", i) + ".mp3", "");
    }
  }
  std::string Folder(int i) const { return share_ / Numbered("music/f", i); }
  std::size_t Running(const std::string& name) const { return find_source_clients(At("ices.conf-" + name)).size(); }
  Fields New(const std::string& name, int folder, const std::string& genre = "G") const {
    return {{"cmd", "GUI_ice_playlist_new"}, {"f_name", name},       {"f_genre", genre},
            {"f_desc", "D"},                 {"f_randomized", "0"}, {"f_total", "1"},
            {"f_dir0", Folder(folder)}};
  }
  // One of the changing commands, chosen by `pick`, on one of `names`.
  Fields RandomCommand(std::mt19937& random, const std::vector<std::string>& names) const {
    const std::string& name = names[random() % names.size()];
    switch (random() % 7) {
      case 0: return {{"cmd", "GUI_ice_set"}, {"f_port", std::to_string(8000 + random() % 50)}};
      case 1: return New(name, static_cast<int>(random() % 4));
      case 2: return {{"cmd", "GUI_ice_playlist_del"}, {"f_name", name}};
      case 3:
      case 4: return {{"cmd", "GUI_ice_playlist_enable"}, {"f_name", name}};
      case 5: return {{"cmd", "GUI_ice_playlist_disable"}, {"f_name", name}};
      default:
        return {{"cmd", "GUI_ice_playlist_renew"}, {"f_name", name}, {"f_genre", "R"}, {"f_randomized", "1"}};
    }
  }

  // Every way the config directory can be inconsistent, one line each. With
  // `processes`, also a client running for a playlist that is not enabled
  // (a kill between storing "enabled" and stopping the client leaves one).
  std::vector<std::string> Inconsistencies(bool processes = true) const {
    std::vector<std::string> problems;
    const std::string port = get_server_port();
    for (const std::string& file : ListDir(conf_.path())) {
      for (const std::string prefix : {"simple-ices-conf-", "ices.conf-"}) {
        if (file.starts_with(prefix) && !Exists(At("playlist-" + file.substr(prefix.size())))) {
          problems.push_back("ghost " + file);
        }
      }
      if (file.starts_with("ices.conf-") && ReadFile(At(file)).find("\n      <Port>" + port + "</Port>\n") == std::string::npos) {
        problems.push_back(file + " does not follow port " + port);
      }
      // The lock, the record of the server started and those of the folders
      // a playlist's build searched stay; nothing else.
      if (file.starts_with(".wl-folders-") && !Exists(At("playlist-" + file.substr(12)))) {
        problems.push_back("ghost " + file);
      } else if (file.starts_with(".wl-") && file != ".wl-lock" && file != ".wl-server-id" &&
                 !file.starts_with(".wl-folders-")) {
        problems.push_back("left over " + file);
      }
      if (file.starts_with("playlist-")) {
        std::string name = file.substr(9);
        std::optional<std::string> enabled = get_playlist_enabled(name);
        std::size_t clients = Running(name);
        if (clients > 1) problems.push_back(std::to_string(clients) + " clients of " + name);
        if (processes && clients > 0 && !(enabled && is_on(*enabled))) problems.push_back("client of disabled " + name);
      }
    }
    if (Exists(At("icecast.xml")) && ReadFile(At("icecast.xml")).find("<port>" + port + "</port>") == std::string::npos) {
      problems.push_back("icecast.xml does not follow port " + port);
    }
    for (const std::string& file : ListDir("/tmp")) {
      if (file.starts_with("tmp-ice-playlist.")) problems.push_back("left over /tmp/" + file);
    }
    return problems;
  }

  // Starts the CGI program on `fields` without waiting for it; in its own
  // process group, so that the group can be killed with it.
  pid_t StartCgi(const Fields& fields) const {
    std::vector<std::string> env = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "QUERY_STRING=" + Query(fields),
                                    "PATH=" + bin_.path() + ":/usr/local/bin:/usr/bin:/bin", "STANDIN_LOG=" + Log()};
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      std::vector<char*> envp;
      for (std::string& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      ::execle(STREAM_ADMIN_BIN, STREAM_ADMIN_BIN, static_cast<char*>(nullptr), envp.data());
      ::_exit(127);
    }
    return pid;
  }
};

TEST_F(ConcurrencyTest, ParallelPortChangesKeepEverySourceConfig) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Cgi(New(Numbered("P", i), i)).out, Config("<res>1</res>"));
    Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", Numbered("P", i)}});
  }
  std::vector<std::thread> threads;
  const auto give_up = Clock::now() + kBudget;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 12 / kScale && Clock::now() < give_up; ++i) {
        Cgi({{"cmd", "GUI_ice_set"}, {"f_port", std::to_string(8001 + t * 100 + i)}});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Inconsistencies(), std::vector<std::string>{});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Running(Numbered("P", i)), 1u);
}

TEST_F(ConcurrencyTest, NoToggleIsLostBesideRenews) {
  ASSERT_EQ(Cgi(New("P", 0)).out, Config("<res>1</res>"));
  std::atomic<bool> done = false;
  std::vector<std::thread> renewers;
  for (int t = 0; t < 7; ++t) {
    renewers.emplace_back([&] {
      while (!done) Cgi({{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "P"}, {"f_genre", "R"}});
    });
  }
  int lost = 0;
  const auto give_up = Clock::now() + kBudget;
  for (int i = 0; i < 60 / kScale && Clock::now() < give_up; ++i) {
    const bool on = i % 2 == 0;
    Cgi({{"cmd", on ? "GUI_ice_playlist_enable" : "GUI_ice_playlist_disable"}, {"f_name", "P"}});
    // Renews keep "enabled" as they find it, so the toggle must stand.
    lost += get_playlist_enabled("P") != std::string(on ? "1" : "0");
  }
  done = true;
  for (std::thread& thread : renewers) thread.join();
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(Inconsistencies(), std::vector<std::string>{});
}

TEST_F(ConcurrencyTest, CreatesOfOneNameEachLeaveOneWholeRequest) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&, t] { Cgi(New("Same", t % 4, Numbered("genre", t % 4))); });
  }
  for (std::thread& thread : threads) thread.join();
  // The playlist holds the folder of the request whose genre is stored.
  std::string genre = *get_playlist_genre("Same");
  ASSERT_TRUE(genre.starts_with("genre")) << genre;
  int folder = std::stoi(genre.substr(5));
  EXPECT_EQ(ReadFile(At("playlist-Same")), Folder(folder) + "/" + Numbered("song", folder) + ".mp3\n");
  EXPECT_EQ(Inconsistencies(), std::vector<std::string>{});
}

TEST_F(ConcurrencyTest, ParallelStartsNeverRunTwoClients) {
  ASSERT_EQ(Cgi(New("P", 0)).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}}).out, Config("<res>1</res>"));
  const std::vector<std::string> env = {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()};
  const auto give_up = Clock::now() + kBudget;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5 && Clock::now() < give_up; ++i) {
        std::vector<std::string> args = {TARNWICK_BIN, (t + i) % 3 == 0 ? "stop" : "start", t % 2 ? "P" : "all"};
        RunCapture(args, env);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  RunCapture({TARNWICK_BIN, "start", "all"}, env);
  RunCapture({TARNWICK_BIN, "start", "all"}, env);
  Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "P"}});
  EXPECT_EQ(Running("P"), 1u);
}

// Many commands of every kind from several processes at once.
TEST_F(ConcurrencyTest, MixedCommandsFromEightProcesses) {
  const std::vector<std::string> names = {"A", "B b", "C'c", "D"};
  constexpr int kProcesses = 8, kCommands = 200 / kScale;
  std::vector<std::thread> threads;
  std::atomic<int> ran = 0;
  const auto give_up = Clock::now() + 2 * kBudget;
  for (int t = 0; t < kProcesses; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kCommands && Clock::now() < give_up; ++i) {
        Cgi(RandomCommand(random, names));
        ++ran;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf("[ info ] %d commands ran\n", ran.load());
  // A create over a playlist that streams leaves its client running while the
  // new settings say disabled, as it always has; "check" settles that.
  EXPECT_EQ(Inconsistencies(false), std::vector<std::string>{});
  RunCapture({TARNWICK_BIN, "check"}, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()});
  for (const std::string& name : names) {
    std::optional<std::string> enabled = get_playlist_enabled(name);
    bool on = Exists(At("playlist-" + name)) && enabled && is_on(*enabled);
    EXPECT_EQ(Running(name), on ? 1u : 0u) << name;
  }
}

// Commands killed at random moments (the web server gives up on a request,
// or the device loses power for that process): the next command that takes
// the lock finishes or undoes each, and clears up after it.
TEST_F(ConcurrencyTest, CommandsKilledAtRandomLeaveOneConsistentState) {
  const std::vector<std::string> names = {"A", "B"};
  std::mt19937 random(42);
  int killed = 0, rounds = 0;
  const auto give_up = Clock::now() + kBudget;
  for (; rounds < 400 / kScale && Clock::now() < give_up; ++rounds) {
    pid_t pid = StartCgi(RandomCommand(random, names));
    ::usleep(static_cast<useconds_t>(random() % 20000));
    killed += ::kill(random() % 2 ? pid : -pid, SIGKILL) == 0;
    int status;
    ::waitpid(pid, &status, 0);
    if (rounds % 25 == 24) {
      // Any changing command takes the lock and repairs what the kills left.
      Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "none"}});
      // A controller the killed command had started may still be finishing.
      RunCapture({TARNWICK_BIN, "stop", "none"}, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()});
      EXPECT_EQ(Inconsistencies(false), std::vector<std::string>{}) << "after round " << rounds;
    }
  }
  std::printf("[ info ] %d rounds, %d commands killed\n", rounds, killed);
  Cgi({{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "none"}});
  RunCapture({TARNWICK_BIN, "stop", "none"}, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()});
  EXPECT_EQ(Inconsistencies(false), std::vector<std::string>{});
}

}  // namespace
