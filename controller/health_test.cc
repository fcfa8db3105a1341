// tarnwick status, check and rescan, with stand-in programs that keep running
// as the real ones do: the server and the source clients are fake_ices
// processes whose command lines look like theirs.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "lib/atomic_file.h"
#include "lib/process_table.h"
#include "lib/stream_status.h"
#include "lib/unique_fd.h"
#include "tests/test_util.h"

namespace {

class HealthTest : public ::testing::Test {
 protected:
  HealthTest() {
    PointConfDir(conf_.path());
    WriteStandIns(bin_.path());
    // The server stand-in stays up like "icecast -b"; killall takes it down.
    ::unlink((bin_ / "icecast").c_str());
    EXPECT_EQ(::symlink(FAKE_ICES_BIN, (bin_ / "icecast").c_str()), 0);
    WriteFile(bin_ / "killall", "#!/bin/sh\nprintf 'killall|%s\\n' \"$*\" >> \"$STANDIN_LOG\"\npkill -9 -x icecast\nexit 0\n",
              0755);
    ::mkdir(Share("music").c_str(), 0755);
    WriteFile(At("icecast.xml"), "<icecast>\n  <listen-socket>\n    <port>8000</port>\n  </listen-socket>\n</icecast>");
  }
  ~HealthTest() override {
    KillSourceClients();
    Tarnwick({"stop", "all"});
    ::unlink("/tmp/iceconf.dir");
  }

  RunResult Tarnwick(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {TARNWICK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCapture(argv, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()});
  }
  std::string Log() const { return bin_ / "log"; }
  std::string At(const std::string& name) const { return conf_ / name; }
  // Music lies outside the config directory: no playlist takes any from there.
  std::string Share(const std::string& name) const { return share_ / name; }
  void AddPlaylist(const std::string& name, const std::string& enabled) {
    WriteFile(At("playlist-" + name), "");
    WriteFile(At("simple-ices-conf-" + name), "enabled=" + enabled + "\n");
  }
  std::vector<pid_t> Clients(const std::string& name) const { return find_source_clients(At("ices.conf-" + name)); }
  static void Kill(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    for (int i = 0; i < 2000 && std::any_of(pids.begin(), pids.end(), [](pid_t p) { return ::kill(p, 0) == 0 && ReadFile("/proc/" + std::to_string(p) + "/cmdline") != ""; }); ++i) {
      ::usleep(1000);
    }
  }
  std::string Pids(const std::vector<pid_t>& pids) const {
    std::string list;
    for (pid_t pid : pids) {
      if (!list.empty()) list += ',';
      list += std::to_string(pid);
    }
    return list.empty() ? "-" : list;
  }

  TempDir share_;
  TempDir conf_;
  TempDir bin_;
};

TEST_F(HealthTest, StatusTellsWhatRunsAndExitsThreeWhenSomethingIsDown) {
  AddPlaylist("A", "1");
  AddPlaylist("B b", "0");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  // The detached server stand-in listens a moment after start returns.
  for (int i = 0; i < 30000 && !port_accepts(8000, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  RunResult r = Tarnwick({"status"});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string server = "server\trunning\t8000\tlistening\t" + Pids(find_servers()) + "\n";
  EXPECT_EQ(r.out, server + "playlist\tA\tenabled\tlive\t" + Pids(Clients("A")) +
                       "\nplaylist\tB b\tdisabled\tstopped\t-\n");
  EXPECT_EQ(r.err, "");

  // A user's folder of a playlist's name (in a shared folder) is nobody's
  // playlist: no line, nothing started for it, nothing to rescan.
  ASSERT_EQ(::mkdir(At("playlist-2019 party").c_str(), 0755), 0);
  WriteFile(At("simple-ices-conf-2019 party"), "enabled=1\n");
  EXPECT_EQ(Tarnwick({"status"}).out, r.out);
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  EXPECT_NE(RunCgi("cmd=GUI_ice_status").out.find("<name>A</name>"), std::string::npos);
  EXPECT_EQ(RunCgi("cmd=GUI_ice_status").out.find("2019 party"), std::string::npos);

  Kill(Clients("A"));
  r = Tarnwick({"status", "all"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, server + "playlist\tA\tenabled\tdown\t-\nplaylist\tB b\tdisabled\tstopped\t-\n");

  Kill(find_servers());
  r = Tarnwick({"status"});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.out.starts_with("server\tstopped\t8000\tclosed\t-\n")) << r.out;
  EXPECT_EQ(Tarnwick({"statu"}).status, 1);
  EXPECT_EQ(Tarnwick({"start"}).status, 1);  // every other action still needs a target
}

TEST_F(HealthTest, CheckRestartsExactlyWhatIsDown) {
  AddPlaylist("A", "1");
  AddPlaylist("B", "1");
  AddPlaylist("Off", "0");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  const std::vector<pid_t> server = find_servers(), a = Clients("A");
  ASSERT_EQ(server.size(), 1u);
  Kill(Clients("B"));
  // A client of a disabled playlist and one of a playlist that is gone.
  WriteFile(At("simple-ices-conf-Off"), "enabled=1\n");
  Tarnwick({"start", "Off"});
  WriteFile(At("simple-ices-conf-Off"), "enabled=0\n");
  AddPlaylist("Gone", "1");
  Tarnwick({"start", "Gone"});
  ::unlink(At("playlist-Gone").c_str());
  ASSERT_EQ(Clients("Gone").size(), 1u);

  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(find_servers(), server);  // healthy processes are left alone
  EXPECT_EQ(Clients("A"), a);
  EXPECT_EQ(Clients("B").size(), 1u);
  EXPECT_TRUE(Clients("Off").empty());
  EXPECT_TRUE(Clients("Gone").empty());

  // The server dies: its clients stream to nobody, and are not live. One
  // check brings the server back and replaces them, with no restart strike.
  Kill(find_servers());
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 3);
  EXPECT_NE(status.out.find("playlist\tA\tenabled\tdown\t" + Pids(a) + "\n"), std::string::npos) << status.out;
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(find_servers().size(), 1u);
  ASSERT_EQ(Clients("A").size(), 1u);
  EXPECT_NE(Clients("A"), a);
  EXPECT_EQ(Clients("B").size(), 1u);
  for (const std::string& line : ReadLines(At(".wl-restarts"))) EXPECT_FALSE(line.starts_with("A=")) << line;
  EXPECT_NE(Tarnwick({"status"}).out.find("playlist\tA\tenabled\tlive\t" + Pids(Clients("A")) + "\n"),
            std::string::npos);
}

TEST_F(HealthTest, AClientThatKeepsDyingIsLeftAloneUntilItsSettingsChange) {
  AddPlaylist("Flaky", "1");
  for (int strike = 0; strike < 3; ++strike) {
    Tarnwick({"check"});
    ASSERT_EQ(Clients("Flaky").size(), 1u) << strike;
    Kill(Clients("Flaky"));
  }
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_TRUE(Clients("Flaky").empty());
  EXPECT_NE(Tarnwick({"status"}).out.find("playlist\tFlaky\tenabled\tgiven-up\t-\n"), std::string::npos);
  // New settings (a renew, an enable) give it another chance.
  ::unlink(At("simple-ices-conf-Flaky").c_str());
  WriteFile(At("simple-ices-conf-Flaky"), "enabled=1\ngenre=x\n");
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(Clients("Flaky").size(), 1u);
}

// A source client that cannot even be launched (ices installed nowhere it
// is looked for) is no client that keeps failing: check says why on standard
// error, and never gives up on it for that.
TEST_F(HealthTest, AClientThatCannotBeLaunchedIsNoRestartStrike) {
  AddPlaylist("Jazz", "1");
  ASSERT_EQ(::unlink((bin_ / "ices").c_str()), 0);
  for (int run = 0; run < kMaxRestarts + 1; ++run) {
    RunResult check = Tarnwick({"check"});
    EXPECT_EQ(check.status, 3);
    EXPECT_NE(check.err.find("tarnwick: cannot start ices: not found in " + bin_.path() + ":"), std::string::npos)
        << check.err;
  }
  EXPECT_NE(Tarnwick({"status"}).out.find("playlist\tJazz\tenabled\tdown\t-\n"), std::string::npos);
  ASSERT_EQ(::symlink(FAKE_ICES_BIN, (bin_ / "ices").c_str()), 0);
  Tarnwick({"check"});
  EXPECT_EQ(Clients("Jazz").size(), 1u);
}

TEST_F(HealthTest, RescanPicksUpChangesAndTellsOnlyThatPlaylistsClient) {
  WriteFile(Share("music/a.mp3"), "");
  for (const char* name : {"P", "Q"}) {
    AddPlaylist(name, "1");
    WriteFile(At(std::string("folders-") + name), Share("music") + "\n");
    WriteFile(At(std::string("playlist-") + name), Share("music/a.mp3") + "\n");
  }
  Tarnwick({"start", "all"});
  // A hangup before the detached client has set up its handler would end it.
  for (const char* name : {"P", "Q"}) {
    ASSERT_EQ(Clients(name).size(), 1u);
    const std::string status = "/proc/" + std::to_string(Clients(name)[0]) + "/status";
    auto catches_hangup = [&] {
      std::string text = ReadFile(status);
      std::size_t at = text.find("SigCgt:\t");
      return at != std::string::npos && (std::stoull(text.substr(at + 8, 16), nullptr, 16) & 1) != 0;
    };
    for (int i = 0; i < 30000 && !catches_hangup(); ++i) ::usleep(1000);
    ASSERT_TRUE(catches_hangup()) << name;
  }
  const std::string p_client = "hup|-c|" + At("ices.conf-P") + "|-B";
  auto hangups = [&](const std::string& line) {
    std::vector<std::string> log = ReadLines(Log());
    return std::count(log.begin(), log.end(), line);
  };
  // Nothing changed: nothing is written, nobody is told.
  struct stat before, after;
  ::stat(At("playlist-P").c_str(), &before);
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  ::stat(At("playlist-P").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  for (const std::string& file : ListDir(conf_.path())) {
    EXPECT_TRUE(file == ".wl-lock" || file == ".wl-server-id" || file.starts_with(".wl-folders-") || !file.starts_with(".wl-"))
        << "no temporary file either: " << file;
  }

  // A file added, one removed: only P is rebuilt, and only P's client hears.
  WriteFile(Share("music/b.mp3"), "");
  ::unlink(Share("music/a.mp3").c_str());
  EXPECT_EQ(Tarnwick({"rescan", "P"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-P")), Share("music/b.mp3") + "\n");
  EXPECT_EQ(ReadFile(At("playlist-Q")), Share("music/a.mp3") + "\n");
  for (int i = 0; i < 30000 && hangups(p_client) == 0; ++i) ::usleep(1000);
  EXPECT_EQ(hangups(p_client), 1);
  EXPECT_EQ(hangups("hup|-c|" + At("ices.conf-Q") + "|-B"), 0);

  // Without stored folders there is nothing to rescan.
  AddPlaylist("Old", "0");
  EXPECT_EQ(Tarnwick({"rescan", "Old"}).status, 1);
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-Q")), Share("music/b.mp3") + "\n");
}

}  // namespace

namespace {

// A descriptor handed down as the lock that is not the lock file must not
// reach the programs the controller starts: they run for good.
TEST_F(HealthTest, AnInheritedDescriptorNeverReachesTheStreams) {
  AddPlaylist("A", "1");
  const std::string other = conf_ / "not-the-lock";
  int fd = ::open(other.c_str(), O_RDWR | O_CREAT, 0644);  // inherited: no close-on-exec
  ASSERT_GE(fd, 3);
  std::vector<std::string> argv = {TARNWICK_BIN, "start", "all"};
  RunCapture(argv, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log(),
                    "WAVELORN_LOCK_FD=" + std::to_string(fd)});
  ::close(fd);
  std::vector<pid_t> started = Clients("A");
  for (pid_t server : find_servers()) started.push_back(server);
  ASSERT_EQ(started.size(), 2u);
  for (pid_t pid : started) {
    for (const std::string& link : ListDir("/proc/" + std::to_string(pid) + "/fd")) {
      char target[4096] = {};
      ::readlink(("/proc/" + std::to_string(pid) + "/fd/" + link).c_str(), target, sizeof target - 1);
      EXPECT_NE(std::string(target), other) << pid;
    }
  }
}

}  // namespace

namespace {

// A volume that turns read-only after a disk error: every setting still
// reads as stored, and nothing that runs is stopped for it.
TEST_F(HealthTest, AReadOnlyVolumeStillReadsEverySetting) {
  if (const char* sandbox = std::getenv("WAVELORN_SANDBOX"); sandbox == nullptr || std::string(sandbox) != "1") {
    GTEST_SKIP() << "mounts only inside tests/sandbox.sh";
  }
  ASSERT_EQ(::mount("wavelorn-conf", conf_.path().c_str(), "tmpfs", 0, nullptr), 0);
  WriteFile(At("icecast.xml"), "<icecast><port>8001</port></icecast>\n");
  WriteFile(At("simple-icecast-conf"), "port=8001\n");
  AddPlaylist("Jazz", "1");
  AddPlaylist("Off", "0");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  const std::vector<pid_t> jazz = Clients("Jazz");
  ASSERT_EQ(jazz.size(), 1u);
  // On a busy machine the server takes a while to listen.
  for (int i = 0; i < 30000 && !port_accepts(8001, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  ASSERT_EQ(::mount(nullptr, conf_.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(Clients("Jazz"), jazz);
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.out.substr(status.out.find('\n') + 1),
            "playlist\tJazz\tenabled\tlive\t" + Pids(jazz) + "\nplaylist\tOff\tdisabled\tstopped\t-\n");
  EXPECT_TRUE(status.out.starts_with("server\trunning\t8001\t")) << status.out;
  EXPECT_NE(RunCgi("cmd=GUI_ice_get").out.find("<port>8001</port>"), std::string::npos);
  EXPECT_NE(RunCgi("cmd=GUI_ice_modify_info&f_name=Jazz").out.find("<genre>"), std::string::npos);

  KillSourceClients();
  Tarnwick({"stop", "all"});
  EXPECT_EQ(::umount2(conf_.path().c_str(), MNT_DETACH), 0);
}

// A port change whose files cannot be renamed into place (the volume turned
// read-only) waits: every check leaves the server and the clients running as
// they are and says why; status shows it and exits 3. Once the volume takes
// the renames again, the next check applies it.
TEST_F(HealthTest, APortChangeThatCannotBeAppliedLeavesTheStreamsAloneAndSaysSo) {
  if (const char* sandbox = std::getenv("WAVELORN_SANDBOX"); sandbox == nullptr || std::string(sandbox) != "1") {
    GTEST_SKIP() << "mounts only inside tests/sandbox.sh";
  }
  ASSERT_EQ(::mount("wavelorn-conf", conf_.path().c_str(), "tmpfs", 0, nullptr), 0);
  const std::string xml = "<icecast>\n  <listen-socket>\n    <port>8001</port>\n  </listen-socket>\n</icecast>";
  WriteFile(At("icecast.xml"), xml);
  WriteFile(At("simple-icecast-conf"), "port=8001\n");
  AddPlaylist("Jazz", "1");
  WriteFile(At("ices.conf-Jazz"), "<Port>8001</Port>\n");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  for (int i = 0; i < 30000 && !port_accepts(8001, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  const std::vector<pid_t> server = find_servers(), jazz = Clients("Jazz");
  ASSERT_EQ(server.size(), 1u);
  ASSERT_EQ(jazz.size(), 1u);
  // The change as a command leaves it when the disk fails after the
  // server's files were renamed into place: recorded, with the source client
  // config still staged.
  WriteFile(At("simple-icecast-conf"), "port=8101\n");
  WriteFile(At("icecast.xml"), std::string(xml).replace(xml.find("8001"), 4, "8101"));
  WriteFile(At(".wl-s-2"), "<Port>8101</Port>\n");
  WriteFile(At(".wl-journal"), "set\n8101\nsimple-icecast-conf\nicecast.xml\nices.conf-Jazz\n");
  ASSERT_EQ(::mount(nullptr, conf_.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

  for (int check = 0; check < 2; ++check) {
    RunResult r = Tarnwick({"check"});
    EXPECT_EQ(r.status, 3) << check;
    EXPECT_NE(r.err.find("tarnwick: change set 8101 waiting: rename failed: Read-only file system\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(find_servers(), server) << check;
    EXPECT_EQ(Clients("Jazz"), jazz) << check;
  }
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 3);
  // The stored port is the new one, where no server of ours listens yet:
  // the client streams on (to the old port) but is not called live.
  EXPECT_TRUE(status.out.ends_with("\tdown\t" + Pids(jazz) +
                                   "\nchange\tset\t8101\twaiting\tconfig directory not writable: Read-only file "
                                   "system\n"))
      << status.out;
  EXPECT_NE(ReadFile(At("ices.conf-Jazz")).find("<Port>8001</Port>"), std::string::npos);
  // While a command holds the lock, a record is its change under way: not
  // reported as waiting.
  {
    UniqueFd lock(::open(At(".wl-lock").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(lock.valid());
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    EXPECT_EQ(Tarnwick({"status"}).out.find("change\t"), std::string::npos);
  }

  ASSERT_EQ(::mount(nullptr, conf_.path().c_str(), nullptr, MS_REMOUNT, nullptr), 0);
  RunResult r = Tarnwick({"check"});
  EXPECT_EQ(r.err.find("waiting"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_EQ(ReadFile(At("ices.conf-Jazz")), "<Port>8101</Port>\n");
  EXPECT_NE(find_servers(), server);
  EXPECT_EQ(Clients("Jazz").size(), 1u);
  EXPECT_NE(Clients("Jazz"), jazz);
  EXPECT_EQ(Tarnwick({"status"}).out.find("change\t"), std::string::npos);

  KillSourceClients();
  Tarnwick({"stop", "all"});
  EXPECT_EQ(::umount2(conf_.path().c_str(), MNT_DETACH), 0);
}

// A settings file that is there but cannot be read says nothing about
// whether its playlist is to run: check neither stops nor starts it.
TEST_F(HealthTest, AnUnreadableSettingsFileIsUnknownNeverOff) {
  struct Case {
    const char* what;
    void (*make)(const std::string& path);
  } cases[] = {
      {"too large", [](const std::string& path) { WriteFile(path, "enabled=1\n" + std::string(1 << 17, '#')); }},
      {"a folder", [](const std::string& path) { ::mkdir(path.c_str(), 0755); }},
  };
  for (const Case& c : cases) {
    AddPlaylist("Jazz", "1");
    ASSERT_EQ(Tarnwick({"start", "all"}).status, 0) << c.what;
    const std::vector<pid_t> jazz = Clients("Jazz");
    ASSERT_EQ(jazz.size(), 1u) << c.what;
    ::unlink(At("simple-ices-conf-Jazz").c_str());
    c.make(At("simple-ices-conf-Jazz"));

    EXPECT_EQ(Tarnwick({"check"}).status, 3) << c.what;
    EXPECT_EQ(Tarnwick({"start", "all"}).status, 0) << c.what;
    EXPECT_EQ(Clients("Jazz"), jazz) << c.what;
    RunResult status = Tarnwick({"status"});
    EXPECT_EQ(status.status, 3) << c.what;
    EXPECT_NE(status.out.find("\nplaylist\tJazz\tunreadable\tunknown\t" + Pids(jazz) + "\n"), std::string::npos)
        << c.what << status.out;
    // Nor is a client started while it is unknown.
    Kill(jazz);
    EXPECT_EQ(Tarnwick({"check"}).status, 3) << c.what;
    EXPECT_TRUE(Clients("Jazz").empty()) << c.what;
    RemoveTree(At("simple-ices-conf-Jazz"));
  }
}

}  // namespace

namespace {

constexpr uid_t kOtherUser = 12345;

// The state letter of process `pid` ("R", "S", "T", "Z"...), empty when it
// is gone.
std::string StateOf(pid_t pid) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  std::size_t at = status.find("State:\t");
  return at == std::string::npos ? "" : status.substr(at + 7, 1);
}
bool Alive(pid_t pid) { return StateOf(pid) != "" && StateOf(pid) != "Z"; }

// Starts the stand-in as `program` with "-c CONFIG FLAG" as user `uid` and
// returns the id of the process it leaves running.
pid_t StartAs(uid_t uid, const char* program, const std::string& config, const char* flag) {
  const std::string cmdline = std::string(program) + '\0' + "-c" + '\0' + config + '\0' + flag + '\0';
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(126);
    ::execl(FAKE_ICES_BIN, program, "-c", config.c_str(), flag, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::waitpid(child, nullptr, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const std::string& entry : ListDir("/proc")) {
      if (entry.find_first_not_of("0123456789") != std::string::npos) continue;
      struct stat st;
      if (ReadFile("/proc/" + entry + "/cmdline") == cmdline && ::stat(("/proc/" + entry).c_str(), &st) == 0 &&
          st.st_uid == uid) {
        return std::stoi(entry);
      }
    }
    ::usleep(1000);
  }
  ADD_FAILURE() << program << " of user " << uid << " did not come up";
  return -1;
}

// Processes of another user with our command lines: enable and check saw
// a playlist live that was not, and the server's restart killed them.
TEST_F(HealthTest, LookalikesOfAnotherUserAreNeitherCountedNorKilled) {
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0755), 0);  // the other user reads icecast.xml
  AddPlaylist("Jazz", "1");
  AddPlaylist("Off", "0");
  const std::vector<pid_t> foreign = {
      StartAs(kOtherUser, "icecast", At("icecast.xml"), "-b"), StartAs(kOtherUser, "ices", At("ices.conf-Jazz"), "-B"),
      StartAs(kOtherUser, "ices", At("ices.conf-Off"), "-B"), StartAs(kOtherUser, "ices", At("ices.conf-Gone"), "-B")};
  // Ours listens elsewhere: the other user's server holds port 8000.
  for (int i = 0; i < 30000 && !port_accepts(8000, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  ASSERT_TRUE(port_accepts(8000, std::chrono::milliseconds(100)));
  WriteFile(At("icecast.xml"), "<icecast><port>8002</port></icecast>\n");
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 3);
  EXPECT_TRUE(status.out.starts_with("server\tstopped\t8000\t")) << status.out;
  EXPECT_TRUE(status.out.ends_with("\t-\nplaylist\tJazz\tenabled\tdown\t-\nplaylist\tOff\tdisabled\tstopped\t-\n"))
      << status.out;

  // Ours runs again, but the stored port is still another's: not healthy.
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_EQ(find_servers().size(), 1u);
  EXPECT_EQ(Clients("Jazz").size(), 1u);
  Tarnwick({"stop", "all"});
  EXPECT_TRUE(find_servers().empty());
  EXPECT_TRUE(Clients("Jazz").empty());
  for (pid_t pid : foreign) EXPECT_TRUE(Alive(pid)) << pid;
}

// A server or client stopped by SIGSTOP serves nobody: it counts as down,
// and check replaces it.
TEST_F(HealthTest, AStoppedServerOrClientCountsAsDownAndIsReplaced) {
  AddPlaylist("Jazz", "1");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  const std::vector<pid_t> stopped = {find_servers().at(0), Clients("Jazz").at(0)};
  for (pid_t pid : stopped) ::kill(pid, SIGSTOP);
  for (pid_t pid : stopped) {
    for (int i = 0; i < 30000 && StateOf(pid) != "T"; ++i) ::usleep(1000);
    ASSERT_EQ(StateOf(pid), "T");
  }
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 3);
  // (Whether the stopped server had begun to listen is of no account.)
  EXPECT_TRUE(status.out.starts_with("server\tstopped\t8000\t")) << status.out;
  EXPECT_TRUE(status.out.ends_with("\t-\nplaylist\tJazz\tenabled\tdown\t-\n")) << status.out;

  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  for (pid_t pid : stopped) EXPECT_FALSE(Alive(pid)) << pid;
  ASSERT_EQ(find_servers().size(), 1u);
  EXPECT_NE(find_servers()[0], stopped[0]);
  ASSERT_EQ(Clients("Jazz").size(), 1u);
  EXPECT_NE(Clients("Jazz")[0], stopped[1]);
}

// Root's boot and cron runs start the streams as the config directory's
// owner (the web user), so that the page can stop and replace them and
// both count the same processes.
TEST_F(HealthTest, StreamsRunAsTheConfigDirectorysOwner) {
  AddPlaylist("Jazz", "1");
  ASSERT_EQ(::chown(conf_.path().c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(bin_.path().c_str(), 0755), 0);  // the stand-ins
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  const std::vector<pid_t> running = {find_servers().at(0), Clients("Jazz").at(0)};
  for (pid_t pid : running) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("\nUid:\t12345\t12345\t12345\t12345\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nGid:\t12345\t12345\t12345\t12345\n"), std::string::npos) << status;
  }
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(find_servers().at(0), running[0]);
  EXPECT_EQ(Clients("Jazz"), std::vector<pid_t>{running[1]});
}

// A web server that runs the page as its own user beside root's boot and
// cron runs: every changing command of the page kept answering 0 once root
// had made the command lock, and files that root rewrote became root's.
TEST_F(HealthTest, APageRunAsTheWebUserWorksBesideRoot) {
  ::mkdir(Share("music").c_str(), 0755);
  WriteFile(Share("music/a.mp3"), "");
  AddPlaylist("Jazz", "1");
  WriteFile(At("folders-Jazz"), Share("music") + "\n");
  WriteFile(At("ices.conf-Jazz"), "<Port>8000</Port>\n");
  for (const std::string& file : ListDir(conf_.path())) {
    ASSERT_EQ(::lchown(At(file).c_str(), kOtherUser, kOtherUser), 0);  // as the installer leaves them
  }
  ASSERT_EQ(::chown(conf_.path().c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(bin_.path().c_str(), 0755), 0);
  // Root: cron's rescan, the boot and cron's check.
  ASSERT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  Kill(Clients("Jazz"));
  ASSERT_EQ(Tarnwick({"check"}).status, 0);
  for (const std::string& file : ListDir(conf_.path())) {
    struct stat st;
    ASSERT_EQ(::lstat(At(file).c_str(), &st), 0);
    if (file != ".wl-lock") {
      EXPECT_EQ(st.st_uid, kOtherUser) << file;
    }
  }
  const std::vector<pid_t> started_by_root = Clients("Jazz");
  ASSERT_EQ(started_by_root.size(), 1u);

  // The page, as the web user: it stops and restarts what root started.
  auto page = [&](const std::string& query) {
    CgiRequest request;
    request.query = query;
    request.path_prefix = bin_.path() + ":" + directory_of(TARNWICK_BIN);
    request.wrapper = {"/usr/bin/setpriv", "--reuid=12345", "--regid=12345", "--clear-groups"};
    return RunCgi(request).out;
  };
  EXPECT_NE(page("cmd=GUI_ice_playlist_disable&f_name=Jazz").find("<res>1</res>"), std::string::npos);
  EXPECT_TRUE(Clients("Jazz").empty());
  EXPECT_NE(page("cmd=GUI_ice_playlist_enable&f_name=Jazz").find("<res>1</res>"), std::string::npos);
  ASSERT_EQ(Clients("Jazz").size(), 1u);
  const pid_t started_by_page = Clients("Jazz")[0];
  EXPECT_NE(started_by_page, started_by_root[0]);
  // Root's check counts the page's client as the one it wants.
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(Clients("Jazz"), std::vector<pid_t>{started_by_page});
}

// A fresh install has no icecast.xml until a port is set on the page: the
// boot and check start the server on the stored port all the same, and
// check's exit status says what status says after it.
TEST_F(HealthTest, AFreshInstallStartsTheServerOnTheStoredPort) {
  ::unlink(At("icecast.xml").c_str());
  WriteFile(At("simple-icecast-conf"), "port=8003\n");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_NE(ReadFile(At("icecast.xml")).find("<port>8003</port>"), std::string::npos);
  ASSERT_EQ(find_servers().size(), 1u);

  Kill(find_servers());
  ::unlink(At("icecast.xml").c_str());
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_TRUE(status.out.starts_with("server\trunning\t8003\tlistening\t")) << status.out;

  // A server that cannot have its port: check says so, as status does.
  Kill(find_servers());
  TempDir other;
  WriteFile(other / "icecast.xml", "<icecast><port>8003</port></icecast>\n");
  WriteFile(other / "ices.conf-x", "");
  const pid_t holder = StartAs(0, "icecast", other / "icecast.xml", "-b");
  for (int i = 0; i < 30000 && !port_accepts(8003, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_EQ(Tarnwick({"status"}).status, 3);
  EXPECT_TRUE(Alive(holder));
}

// A client that check gave up on stays given up until its settings change,
// not just for ten minutes.
TEST_F(HealthTest, AGivenUpClientStaysGivenUpAfterTheWindow) {
  AddPlaylist("Flaky", "1");
  struct stat st;
  ASSERT_EQ(::stat(At("simple-ices-conf-Flaky").c_str(), &st), 0);
  char signature[64];
  std::snprintf(signature, sizeof signature, "%llu:%lld.%09ld", static_cast<unsigned long long>(st.st_ino),
                static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
  const long long an_hour_ago = static_cast<long long>(std::time(nullptr)) - 3600;
  WriteFile(At(".wl-restarts"), "Flaky=" + std::string(signature) + " " + std::to_string(an_hour_ago) + " " +
                                    std::to_string(an_hour_ago + 60) + " " + std::to_string(an_hour_ago + 120) + "\n");
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_TRUE(Clients("Flaky").empty());
  EXPECT_NE(Tarnwick({"status"}).out.find("playlist\tFlaky\tenabled\tgiven-up\t-\n"), std::string::npos);
}

// Stored folders left without their playlist (a deletion by hand) are no
// failure of the nightly rescan.
TEST_F(HealthTest, RescanAllPassesOverFoldersWithoutAPlaylist) {
  WriteFile(Share("music/a.mp3"), "");
  AddPlaylist("Kept", "0");
  WriteFile(At("folders-Kept"), Share("music") + "\n");
  WriteFile(At("folders-Gone"), Share("music") + "\n");
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-Kept")), Share("music/a.mp3") + "\n");
  EXPECT_FALSE(Exists(At("playlist-Gone")));
  EXPECT_EQ(Tarnwick({"rescan", "Gone"}).status, 1);  // named, it is still no playlist
}

// With the pointer to the config directory gone (a /tmp cleaner), check
// looks at a directory without a server of its own: the running server is
// not one it can show is ours to replace, and stays.
TEST_F(HealthTest, CheckNeverKillsAServerOfAnotherConfigDirectory) {
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  const std::vector<pid_t> server = find_servers();
  ASSERT_EQ(server.size(), 1u);
  PointConfDir(conf_ / "gone");
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_EQ(Tarnwick({"stop", "all"}).status, 0);
  EXPECT_TRUE(Alive(server[0]));
  PointConfDir(conf_.path());
  EXPECT_EQ(find_servers(), server);
}

// Cron's rescan runs as root, but the folders it searches and the stored
// folders it follows are the stream user's to choose: the playlist is built
// with that user's rights, never root's, and stays that user's file. A
// folder only root may read lists nothing, named or reached through a link.
TEST_F(HealthTest, RootsRescanSearchesWithTheStreamUsersRights) {
  TempDir root_only;  // 0700, root's
  WriteFile(root_only / "secret.mp3", "", 0600);
  WriteFile(Share("music/a.mp3"), "");
  ASSERT_EQ(::chmod(share_.path().c_str(), 0755), 0);
  ASSERT_EQ(::symlink(root_only.path().c_str(), Share("music/through-a-link").c_str()), 0);
  AddPlaylist("Jazz", "0");
  WriteFile(At("folders-Jazz"), Share("music") + "\n" + root_only.path() + "\n" + (root_only / "secret.mp3") + "\n");
  for (const std::string& file : ListDir(conf_.path())) {
    ASSERT_EQ(::lchown(At(file).c_str(), kOtherUser, kOtherUser), 0);
  }
  ASSERT_EQ(::chown(conf_.path().c_str(), kOtherUser, kOtherUser), 0);
  ASSERT_EQ(::chmod(conf_.path().c_str(), 0755), 0);
  EXPECT_EQ(Tarnwick({"rescan", "Jazz"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-Jazz")), Share("music/a.mp3") + "\n");
  for (const std::string& file : ListDir(conf_.path())) {
    struct stat st;
    ASSERT_EQ(::lstat(At(file).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kOtherUser) << file;
  }
  // The same folders in a directory of root's are root's to search.
  ASSERT_EQ(::chown(conf_.path().c_str(), 0, 0), 0);
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 0);
  EXPECT_NE(ReadFile(At("playlist-Jazz")).find("secret.mp3"), std::string::npos);
}

TEST_F(HealthTest, OnlyTheServerThatWasStartedAndRecordedIsTrustedWithThePassword) {
  auto listening = [] {
    for (int i = 0; i < 3000 && !port_accepts(8000, std::chrono::milliseconds(100)); ++i) ::usleep(1000);
  };
  // A server that looks like ours (command line, user) but that no
  // controller started here: one started by hand, or before records were
  // kept. It holds the port, but is not sent the password.
  ASSERT_EQ(RunCapture({bin_ / "icecast", "-c", At("icecast.xml"), "-b"}, {}).status, 0);
  listening();
  const std::vector<pid_t> unrecorded = find_servers();
  ASSERT_EQ(unrecorded.size(), 1u);
  StreamStatus status = collect_stream_status();
  EXPECT_EQ(status.server.ours_listening, true);
  EXPECT_EQ(status.server.recorded, std::nullopt);
  EXPECT_FALSE(status.server.serving());
  // A record of its id with another start time is another process's.
  const std::string start = std::to_string(process_start_time(unrecorded[0]).value());
  WriteFile(At(".wl-server-id"), std::to_string(unrecorded[0]) + " 1" + start + "\n");
  EXPECT_FALSE(collect_stream_status().server.serving());
  // A check leaves it running (its streams go on); start all replaces it
  // and records the new one, as it was started.
  EXPECT_EQ(Tarnwick({"check"}).status, 0);
  EXPECT_EQ(find_servers(), unrecorded);
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  listening();
  const std::vector<pid_t> started = find_servers();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_NE(started, unrecorded);
  EXPECT_EQ(ReadFile(At(".wl-server-id")),
            std::to_string(started[0]) + " " + std::to_string(process_start_time(started[0]).value()) + "\n");
  status = collect_stream_status();
  EXPECT_EQ(status.server.recorded, started[0]);
  EXPECT_TRUE(status.server.serving());
  // Stopped (SIGSTOP), it serves nobody and is not asked.
  ::kill(started[0], SIGSTOP);
  const std::string stat = "/proc/" + std::to_string(started[0]) + "/status";
  for (int i = 0; i < 2000 && ReadFile(stat).find("\nState:\tT") == std::string::npos; ++i) ::usleep(1000);
  EXPECT_FALSE(collect_stream_status().server.serving());
  ::kill(started[0], SIGCONT);
  Kill(started);
  EXPECT_EQ(recorded_server(), std::nullopt);
}

TEST_F(HealthTest, ARescanPassesOverTheConfigDirectoryStoredAsAFolderAndSaysSo) {
  // Folders stored before the config directory was refused: the rescan
  // takes the music, drops what the config directory held, and exits 1.
  WriteFile(Share("music/a.mp3"), "");
  WriteFile(At("ices.conf-leak.mp3"), "<Password>secret</Password>");
  AddPlaylist("L", "0");
  WriteFile(At("folders-L"), conf_.path() + "\n" + Share("music") + "\n");
  WriteFile(At("playlist-L"), At("ices.conf-leak.mp3") + "\n" + Share("music/a.mp3") + "\n");
  EXPECT_EQ(Tarnwick({"rescan", "L"}).status, 1);
  EXPECT_EQ(ReadFile(At("playlist-L")), Share("music/a.mp3") + "\n");
  EXPECT_EQ(Tarnwick({"rescan", "all"}).status, 1);
}

}  // namespace

namespace {

// Check follows the folders by itself: a playlist whose folders changed since
// its last build is rebuilt, and its running client is told with SIGHUP and
// keeps running (its listeners stay connected).
class FollowTest : public HealthTest {
 protected:
  // P, enabled, over music (with sub/a.mp3 and gone/c.mp3) and a folder
  // "later" that does not exist yet; built by a rescan, its client running
  // and catching SIGHUP.
  void SetUp() override {
    for (const char* folder : {"music/sub", "music/gone"}) ::mkdir(Share(folder).c_str(), 0755);
    WriteFile(Share("music/sub/a.mp3"), "");
    WriteFile(Share("music/gone/c.mp3"), "");
    AddPlaylist("P", "1");
    WriteFile(At("folders-P"), Share("music") + "\n" + Share("later") + "\n");
    ASSERT_EQ(Tarnwick({"rescan", "P"}).status, 0);
    ASSERT_EQ(ReadFile(At("playlist-P")), Share("music/gone/c.mp3") + "\n" + Share("music/sub/a.mp3") + "\n");
    Tarnwick({"start", "all"});
    ASSERT_EQ(Clients("P").size(), 1u);
    client_ = Clients("P")[0];
    const std::string status = "/proc/" + std::to_string(client_) + "/status";
    auto catches_hangup = [&] {
      std::string text = ReadFile(status);
      std::size_t at = text.find("SigCgt:\t");
      return at != std::string::npos && (std::stoull(text.substr(at + 8, 16), nullptr, 16) & 1) != 0;
    };
    for (int i = 0; i < 30000 && !catches_hangup(); ++i) ::usleep(1000);
    ASSERT_TRUE(catches_hangup());
  }
  std::size_t Hangups() const {
    std::vector<std::string> log = ReadLines(Log());
    return std::count(log.begin(), log.end(), "hup|-c|" + At("ices.conf-P") + "|-B");
  }
  // A check that rebuilds P: its line, P's new file, and one more SIGHUP to
  // the same client.
  void ExpectRebuilt(const std::string& line, const std::string& playlist) {
    const std::size_t before = Hangups();
    RunResult check = Tarnwick({"check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, line);
    EXPECT_EQ(ReadFile(At("playlist-P")), playlist);
    for (int i = 0; i < 30000 && Hangups() == before; ++i) ::usleep(1000);
    EXPECT_EQ(Hangups(), before + 1);
    EXPECT_EQ(Clients("P"), std::vector<pid_t>{client_}) << "told, not restarted";
  }
  // A check that finds nothing new: nothing said, written or sent.
  void ExpectNothingNew() {
    struct stat before, after;
    ::stat(At("playlist-P").c_str(), &before);
    const std::size_t hangups = Hangups();
    RunResult check = Tarnwick({"check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "");
    ::stat(At("playlist-P").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    ::usleep(50000);
    EXPECT_EQ(Hangups(), hangups);
    EXPECT_EQ(Clients("P"), std::vector<pid_t>{client_});
  }

  pid_t client_ = 0;
};

TEST_F(FollowTest, ANewSongInASubfolderIsPlayedAfterOneCheckAndTheClientKeepsRunning) {
  ExpectNothingNew();
  WriteFile(Share("music/sub/b.mp3"), "");
  ExpectRebuilt("rescanned P: 3 songs (+1)\n", Share("music/gone/c.mp3") + "\n" + Share("music/sub/a.mp3") + "\n" +
                                                   Share("music/sub/b.mp3") + "\n");
  ExpectNothingNew();
  // A file that is no song changes a folder, not the playlist: rebuilt,
  // but the client has nothing to reread.
  WriteFile(Share("music/sub/cover.jpg"), "");
  const std::size_t hangups = Hangups();
  EXPECT_EQ(Tarnwick({"check"}).out, "rescanned P: 3 songs (+0)\n");
  ::usleep(50000);
  EXPECT_EQ(Hangups(), hangups);
}

TEST_F(FollowTest, RemovedFoldersRenamedFilesAndFoldersThatAppearAreFollowed) {
  ::unlink(Share("music/gone/c.mp3").c_str());
  ASSERT_EQ(::rmdir(Share("music/gone").c_str()), 0);
  ExpectRebuilt("rescanned P: 1 song (-1)\n", Share("music/sub/a.mp3") + "\n");
  ASSERT_EQ(::rename(Share("music/sub/a.mp3").c_str(), Share("music/sub/z.mp3").c_str()), 0);
  ExpectRebuilt("rescanned P: 1 song (+0)\n", Share("music/sub/z.mp3") + "\n");
  // The stored folder that was missing at the build.
  ::mkdir(Share("later").c_str(), 0755);
  WriteFile(Share("later/l.mp3"), "");
  ExpectRebuilt("rescanned P: 2 songs (+1)\n", Share("music/sub/z.mp3") + "\n" + Share("later/l.mp3") + "\n");
  // A stored folder that goes missing.
  ::unlink(Share("later/l.mp3").c_str());
  ::rmdir(Share("later").c_str());
  ExpectRebuilt("rescanned P: 1 song (-1)\n", Share("music/sub/z.mp3") + "\n");
  ExpectNothingNew();
}

TEST_F(FollowTest, MusicThatIsAwayLeavesThePlaylistPlayingUntilItIsBack) {
  // The share moved away (unmounted, renamed): the check keeps what the
  // stream plays, says so, and looks again next time.
  ASSERT_EQ(::rename(Share("music").c_str(), Share("away").c_str()), 0);
  const std::string playlist = ReadFile(At("playlist-P"));
  const std::size_t hangups = Hangups();
  for (int i = 0; i < 2; ++i) {
    RunResult check = Tarnwick({"check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "");
    EXPECT_NE(check.err.find("no song found in the folders of P now; its playlist is kept as it was"),
              std::string::npos)
        << check.err;
    EXPECT_EQ(ReadFile(At("playlist-P")), playlist);
  }
  ::usleep(50000);
  EXPECT_EQ(Hangups(), hangups);
  EXPECT_EQ(Clients("P"), std::vector<pid_t>{client_});
  // Back: the playlist is the same, nothing to tell the client.
  ASSERT_EQ(::rename(Share("away").c_str(), Share("music").c_str()), 0);
  EXPECT_EQ(Tarnwick({"check"}).out, "rescanned P: 2 songs (+0)\n");
  ExpectNothingNew();
  // The owner's own rescan empties it, as asked.
  ASSERT_EQ(::rename(Share("music").c_str(), Share("away").c_str()), 0);
  EXPECT_EQ(Tarnwick({"rescan", "P"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-P")), "");
}

TEST_F(FollowTest, AFolderReachedThroughALinkIsFollowedWhereverTheLinkLeads) {
  ::mkdir(Share("elsewhere").c_str(), 0755);
  ::mkdir(Share("other").c_str(), 0755);
  WriteFile(Share("elsewhere/e.mp3"), "");
  WriteFile(Share("other/o.mp3"), "");
  ASSERT_EQ(::symlink(Share("elsewhere").c_str(), Share("music/sub/link").c_str()), 0);
  const std::string base = Share("music/gone/c.mp3") + "\n" + Share("music/sub/a.mp3") + "\n";
  ExpectRebuilt("rescanned P: 3 songs (+1)\n", base + Share("elsewhere/e.mp3") + "\n");
  // A song added where the link leads, outside the stored folders.
  WriteFile(Share("elsewhere/f.mp3"), "");
  ExpectRebuilt("rescanned P: 4 songs (+1)\n", base + Share("elsewhere/e.mp3") + "\n" + Share("elsewhere/f.mp3") + "\n");
  // The folder the link names swapped for another.
  ASSERT_EQ(::rename(Share("elsewhere").c_str(), Share("elsewhere.old").c_str()), 0);
  ASSERT_EQ(::rename(Share("other").c_str(), Share("elsewhere").c_str()), 0);
  ExpectRebuilt("rescanned P: 3 songs (-1)\n", base + Share("elsewhere/o.mp3") + "\n");
}

TEST_F(FollowTest, ARecordThatIsGarbageOrCutShortMeansRebuild) {
  const std::string record = ReadFile(At(".wl-folders-P"));
  ASSERT_NE(record, "");
  struct stat st;
  ASSERT_EQ(::stat(At(".wl-folders-P").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const std::string& bad : {std::string("garbage\n"), record.substr(0, record.size() / 2),
                                 record.substr(0, record.size() - 1), std::string(),
                                 std::string("wavelorn folder state 1\nscan 1 1\nroots 0 99999999999\n")}) {
    WriteFile(At(".wl-folders-P"), bad);
    // The music did not change: a silent rebuild that writes a good record.
    ExpectNothingNew();
    EXPECT_NE(ReadFile(At(".wl-folders-P")), bad);
  }
  // Without a record, a changed playlist is rebuilt and told.
  ::unlink(At(".wl-folders-P").c_str());
  WriteFile(Share("music/sub/b.mp3"), "");
  const std::size_t hangups = Hangups();
  EXPECT_EQ(Tarnwick({"check"}).out, "rescanned P: 3 songs (+1)\n");
  for (int i = 0; i < 30000 && Hangups() == hangups; ++i) ::usleep(1000);
  EXPECT_EQ(Hangups(), hangups + 1);
}

TEST_F(FollowTest, AnIncompletePlaylistOrAWaitingChangeIsLeftToTheirOwnMachinery) {
  WriteFile(Share("music/sub/b.mp3"), "");
  WriteFile(At(".wl-incomplete-P"), "no room\n");
  EXPECT_EQ(Tarnwick({"check"}).out, "");
  EXPECT_EQ(ReadLines(At("playlist-P")).size(), 2u);
  ::unlink(At(".wl-incomplete-P").c_str());
  // A port change that cannot be applied (a folder where icecast.xml goes).
  WriteFile(At(".wl-journal"), "set\n8010\nsimple-icecast-conf\nicecast.xml\n");
  WriteFile(At(".wl-s-0"), "port=8010\n");
  WriteFile(At(".wl-s-1"), "<port>8010</port>");
  ::unlink(At("icecast.xml").c_str());
  ::mkdir(At("icecast.xml").c_str(), 0755);
  EXPECT_EQ(Tarnwick({"check"}).out, "");
  EXPECT_EQ(ReadLines(At("playlist-P")).size(), 2u);
  // Once the change is applied, the folders are followed again.
  ::rmdir(At("icecast.xml").c_str());
  for (const char* staged : {".wl-journal", ".wl-s-0", ".wl-s-1"}) ::unlink(At(staged).c_str());
  EXPECT_EQ(Tarnwick({"check"}).out, "rescanned P: 3 songs (+1)\n");
}

}  // namespace
