// Runs the built tarnwick with stand-in killall, icecast and ices programs
// first on the search path, in a config directory of the test's own.

#include <signal.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "controller/process_control.h"
#include "tests/test_util.h"

namespace {

class TarnwickTest : public ::testing::Test {
 protected:
  TarnwickTest() {
    PointConfDir(conf_.path());
    WriteStandIns(bin_.path());
  }
  ~TarnwickTest() override {
    KillSourceClients();
    ::unlink("/tmp/iceconf.dir");
  }

  RunResult Tarnwick(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TARNWICK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCapture(argv, {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()});
  }
  std::string Log() const { return bin_ / "log"; }
  std::vector<std::string> Calls() const { return ReadLines(Log()); }
  std::string At(const std::string& name) const { return conf_ / name; }
  // Music lies outside the config directory: no playlist takes any from there.
  std::string Share(const std::string& name) const { return share_ / name; }
  void AddPlaylist(const std::string& name, const std::string& enabled) {
    WriteFile(At("playlist-" + name), "");
    WriteFile(At("simple-ices-conf-" + name), "enabled=" + enabled + "\n");
  }
  std::string Ices(const std::string& name) const { return "ices|-c|" + At("ices.conf-" + name) + "|-B"; }
  // Starts a process whose command line looks like the source client of
  // `name` (the launch command's own arguments) and waits until it is up.
  void StartClient(const std::string& name) {
    std::size_t before = find_source_clients(At("ices.conf-" + name)).size();
    std::string config = At("ices.conf-" + name);
    pid_t child = ::fork();
    if (child == 0) {
      ::execl(FAKE_ICES_BIN, "ices", "-c", config.c_str(), "-B", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::waitpid(child, nullptr, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (find_source_clients(config).size() == before) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "source client of " << name << " did not come up";
      ::usleep(1000);
    }
  }
  std::size_t Running(const std::string& name) const {
    return find_source_clients(At("ices.conf-" + name)).size();
  }

  TempDir share_;
  TempDir conf_;
  TempDir bin_;
};

TEST_F(TarnwickTest, TooFewArgumentsPrintUsage) {
  const std::string usage = std::string("ERROR: too few arguments\n\n") +
                            "tarnwick: start/stop handler for Wavelorn\n"
                            "Usage: " TARNWICK_BIN " action target\n"
                            "\n"
                            "       action: start/stop\n"
                            "       target: all/specified\n";
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"start"}}) {
    RunResult r = Tarnwick(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TarnwickTest, UnknownActionIsRejected) {
  RunResult r = Tarnwick({"restart", "all"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: restart - unknown action\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Tarnwick({"Start", "all"}).status, 1);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TarnwickTest, StartAllRestartsTheServerAndOnlyEnabledPlaylists) {
  AddPlaylist("A", "1");
  AddPlaylist("B", "0");
  RunResult r = Tarnwick({"start", "all"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{"icecast|-c|" + At("icecast.xml") + "|-b", Ices("A")}));
  EXPECT_EQ(Running("A"), 1u);
  // Starting all again restarts the server and, with it, the clients that
  // streamed to the old one; starting one that runs starts no second.
  ::unlink(Log().c_str());
  Tarnwick({"start", "all"});
  Tarnwick({"start", "A"});
  EXPECT_EQ(Running("A"), 1u);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"icecast|-c|" + At("icecast.xml") + "|-b", Ices("A")}));
  // Stop all stops every client of every playlist, then the server; no
  // program is run for it.
  ::unlink(Log().c_str());
  EXPECT_EQ(Tarnwick({"stop", "all"}).status, 0);
  EXPECT_EQ(Running("A"), 0u);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(TarnwickTest, StartAllCarriesANewPasswordAndRestartsTheClientsThatHeldTheOld) {
  AddPlaylist("A", "1");
  WriteFile(At("ices.conf-A"), "<Port>8000</Port>\n<Password>quillfen</Password>\n");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  ASSERT_EQ(Running("A"), 1u);
  const pid_t old_client = find_source_clients(At("ices.conf-A")).front();
  WriteFile(At("simple-icecast-conf"), "port=8000\npasswd=N3w\n");
  ::unlink(Log().c_str());
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "      <Port>8000</Port>\n      <Password>N3w</Password>\n");
  EXPECT_NE(ReadFile(At("icecast.xml")).find("<admin-password>N3w</admin-password>"), std::string::npos);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"icecast|-c|" + At("icecast.xml") + "|-b", Ices("A")}));
  ASSERT_EQ(Running("A"), 1u);
  EXPECT_NE(find_source_clients(At("ices.conf-A")).front(), old_client);
}

TEST_F(TarnwickTest, EnabledValuesStartingWithOneStartTheClient) {
  struct Case {
    const char* enabled;
    bool starts;
  } cases[] = {{"1", true}, {"10", true}, {"1x", true}, {"0", false}, {"", false}, {" 1", false}};
  for (const Case& c : cases) {
    AddPlaylist("P", c.enabled);
    Tarnwick({"stop", "P"});
    ::unlink(Log().c_str());
    Tarnwick({"start", "P"});
    EXPECT_EQ(Calls().size(), c.starts ? 1u : 0u) << "enabled=" << c.enabled;
  }
  // Without a settings file nothing starts, and nothing is created.
  Tarnwick({"stop", "P"});
  ::unlink(At("simple-ices-conf-P").c_str());
  ::unlink(Log().c_str());
  Tarnwick({"start", "P"});
  EXPECT_TRUE(Calls().empty());
  EXPECT_FALSE(Exists(At("simple-ices-conf-P")));
}

TEST_F(TarnwickTest, TargetIsAPlaylistNameUnlessExactlyAll) {
  AddPlaylist("ALL", "1");
  AddPlaylist("other", "1");
  Tarnwick({"start", "ALL", "all", "extra"});
  EXPECT_EQ(Calls(), std::vector<std::string>{Ices("ALL")});
}

TEST_F(TarnwickTest, NamesReachTheClientAsOneArgumentAndRunNothing) {
  const std::vector<std::string> names = {"Jazz Classics", "Rock & Roll", "x' y", "$(touch pwned)",
                                          "a;touch pwned", "`touch pwned`", "q\"uote"};
  for (const std::string& name : names) AddPlaylist(name, "1");
  ASSERT_EQ(::chdir(bin_.path().c_str()), 0);
  for (const std::string& name : names) {
    ::unlink(Log().c_str());
    Tarnwick({"start", name});
    EXPECT_EQ(Calls(), std::vector<std::string>{Ices(name)}) << name;
    EXPECT_EQ(Running(name), 1u) << name;
  }
  Tarnwick({"stop", "Jazz Classics"});
  EXPECT_EQ(Running("Jazz Classics"), 0u);
  EXPECT_EQ(Running("Rock & Roll"), 1u);
  EXPECT_FALSE(Exists(bin_ / "pwned"));
  ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(TarnwickTest, StoppingAPlaylistStopsExactlyItsClients) {
  StartClient("List-1");
  StartClient("List-1");
  StartClient("List-10");
  StartClient("List");
  EXPECT_EQ(Running("List-1"), 2u);
  RunResult r = Tarnwick({"stop", "List-1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(Running("List-1"), 0u);
  EXPECT_EQ(Running("List-10"), 1u);
  EXPECT_EQ(Running("List"), 1u);
  EXPECT_TRUE(Calls().empty());  // stopping runs no program
}

TEST_F(TarnwickTest, MissingConfigDirectory) {
  StartClient("A");
  PointConfDir(conf_ / "missing");
  Tarnwick({"start", "all"});
  EXPECT_EQ(Calls().back(), "icecast|-c|" + conf_.path() + "/missing/icecast.xml|-b");
  ::unlink(Log().c_str());
  Tarnwick({"start", "A"});
  Tarnwick({"stop", "all"});
  EXPECT_TRUE(Calls().empty());
  EXPECT_FALSE(Exists(conf_ / "missing"));
  // Stopping one name looks only at the processes.
  PointConfDir(conf_.path());
  Tarnwick({"stop", "A"});
  EXPECT_EQ(Running("A"), 0u);
}

TEST_F(TarnwickTest, MissingProgramsAreNotStartedAndSaySo) {
  AddPlaylist("A", "1");
  RunResult r = RunCapture({TARNWICK_BIN, "start", "all"}, {"PATH=/nonexistent", "STANDIN_LOG=" + Log()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("tarnwick: cannot start icecast: not found in /nonexistent:")) << r.err;
  EXPECT_NE(r.err.find("\ntarnwick: cannot start ices: not found in "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"), std::string::npos) << r.err;
}

TEST_F(TarnwickTest, AChangeLeftRecordedIsFinishedFirstOrBlocksOnlyARescan) {
  // A create over nothing, killed before its folder search.
  ::mkdir(Share("music").c_str(), 0755);
  WriteFile(Share("music/a.mp3"), "");
  WriteFile(At(".wl-journal"), "new\nN\nsimple-ices-conf-N\nices.conf-N\nfolders-N\nplaylist-N\n");
  WriteFile(At(".wl-s-0"), "name=N\nenabled=0\n");
  WriteFile(At(".wl-s-1"), "config");
  WriteFile(At(".wl-s-2"), Share("music") + "\n");
  EXPECT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At("playlist-N")), Share("music/a.mp3") + "\n");
  EXPECT_EQ(ReadFile(At("folders-N")), Share("music") + "\n");
  EXPECT_EQ(ReadFile(At("ices.conf-N")), "config");
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_FALSE(Exists(At(".wl-s-0")));

  // A delete whose playlist file cannot be removed: the streams still start
  // and stop, but no rescan adds a change of its own.
  // (Something is mounted on it; a folder of that name would be a user's,
  // which a delete leaves alone.)
  AddPlaylist("D", "1");
  WriteFile(At("elsewhere"), "");
  if (::mount(At("elsewhere").c_str(), At("playlist-D").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount here";
  }
  WriteFile(At(".wl-journal"), "del\nD\n");
  ::unlink(Log().c_str());
  EXPECT_EQ(Tarnwick({"rescan", "N"}).status, 1);
  EXPECT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At(".wl-journal")), "del\nD\n");
  std::vector<std::string> calls = Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "icecast|-c|" + At("icecast.xml") + "|-b"), calls.end());
  ASSERT_EQ(::umount2(At("playlist-D").c_str(), MNT_DETACH), 0);
  EXPECT_EQ(Tarnwick({"rescan", "N"}).status, 0);
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_FALSE(Exists(At("simple-ices-conf-D")));
}

// The installer's scripts do their file work in the config directory
// through "tarnwick as-owner DIR PROGRAM ARG...": as the folder's owner and
// in the folder, arguments passed as they are; a folder of root's that others
// may write to is refused, as root runs nothing there.
TEST_F(TarnwickTest, AsOwnerRunsAProgramInTheFolderAsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir folder;
  ASSERT_EQ(::chown(folder.path().c_str(), 12345, 23456), 0);
  RunResult r = Tarnwick({"as-owner", folder.path(), "sh", "-c", "id -u; id -g; id -G; pwd; echo \"$1\"", "sh", "a b;$(x)"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "12345\n23456\n23456\n" + folder.path() + "\na b;$(x)\n");
  // The exit status is the program's.
  EXPECT_EQ(Tarnwick({"as-owner", folder.path(), "sh", "-c", "exit 5"}).status, 5);
  ASSERT_EQ(::chown(folder.path().c_str(), 0, 0), 0);
  r = Tarnwick({"as-owner", folder.path(), "id", "-u"});
  EXPECT_EQ(r.out, "0\n");
  for (mode_t mode : {01777, 0775}) {
    ASSERT_EQ(::chmod(folder.path().c_str(), mode), 0);
    r = Tarnwick({"as-owner", folder.path(), "touch", "made"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refusing"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(folder / "made"));
  }
  EXPECT_EQ(Tarnwick({"as-owner", folder / "missing", "true"}).status, 1);
  EXPECT_EQ(Tarnwick({"as-owner", "/", "no-such-program-here"}).status, 127);
  // A link in the folder's place (swapped in by whoever owns the folder
  // above) is refused, with or without a trailing "/": root would take on
  // the owner of, and work in, the folder it names.
  TempDir above, target;
  ASSERT_EQ(::chown(target.path().c_str(), 12345, 23456), 0);
  ASSERT_EQ(::symlink(target.path().c_str(), (above / "conf").c_str()), 0);
  for (const std::string& path : {above / "conf", above / "conf/", above / "conf//"}) {
    r = Tarnwick({"as-owner", path, "touch", "made"});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_NE(r.err.find("is a link"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(Exists(target / "made"));
  EXPECT_EQ(Tarnwick({"as-owner", target.path() + "/", "touch", "made"}).status, 0);
  EXPECT_TRUE(Exists(target / "made"));
}

// Server settings that exist but cannot be read: the boot writes nothing
// from them (no default password, no default port), status says unknown,
// and check reports generated files that disagree with the stored port or
// password until start all mends them.
TEST_F(TarnwickTest, UnreadableSettingsWriteNothingAndConfigsThatDisagreeAreReported) {
  AddPlaylist("A", "1");
  const std::string server = "<port>8000</port>\n<source-password>S3cret</source-password>\n";
  const std::string client = "      <Port>8000</Port>\n      <Password>S3cret</Password>\n";
  WriteFile(At("icecast.xml"), server);
  WriteFile(At("ices.conf-A"), client);
  // Over 64 KiB: no settings file of ours, unreadable.
  WriteFile(At("simple-icecast-conf"), "port=8001\npasswd=S3cret\n#" + std::string(70000, 'x') + "=\n");
  EXPECT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), server);
  EXPECT_EQ(ReadFile(At("ices.conf-A")), client);
  RunResult status = Tarnwick({"status"});
  EXPECT_EQ(status.status, 3);
  EXPECT_TRUE(status.out.starts_with("server\trunning\tunknown\tunknown\t")) << status.out;
  EXPECT_NE(status.err.find("cannot be read"), std::string::npos) << status.err;
  EXPECT_EQ(Tarnwick({"check"}).status, 3);
  EXPECT_EQ(ReadFile(At("icecast.xml")), server);

  // Readable again, with another port: the server's file and the client's
  // both disagree, and check says so every time until start all.
  WriteFile(At("simple-icecast-conf"), "port=8001\npasswd=S3cret\n");
  for (int run = 0; run < 2; ++run) {
    RunResult check = Tarnwick({"check"});
    EXPECT_EQ(check.status, 3);
    EXPECT_NE(check.err.find("icecast.xml does not carry"), std::string::npos) << check.err;
    EXPECT_NE(check.err.find("ices.conf-A does not carry"), std::string::npos) << check.err;
  }
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_NE(ReadFile(At("icecast.xml")).find("<source-password>S3cret</source-password>"), std::string::npos);
  EXPECT_EQ(ReadFile(At("icecast.xml")).find("quillfen"), std::string::npos);
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "      <Port>8001</Port>\n      <Password>S3cret</Password>\n");
  EXPECT_EQ(Tarnwick({"check"}).err, "");

  // The field's case: the default password in the server's file while
  // another is stored.
  WriteFile(At("icecast.xml"), "<port>8001</port>\n<admin-password>quillfen</admin-password>\n");
  EXPECT_NE(Tarnwick({"status"}).err.find("icecast.xml does not carry"), std::string::npos);
}

// Files from before the programs made theirs private (the installer's
// settings, an older version's configs and lock) become the owner's alone at
// the boot; files of other names, folders and links stay as they are.
TEST_F(TarnwickTest, StartAllMakesTheAddOnsFilesPrivate) {
  AddPlaylist("A", "0");
  for (const char* name : {"simple-icecast-conf", "icecast.xml", "ices.conf-A", "folders-A", ".wl-lock",
                           ".wl-restarts", "playlist-summer.m3u", "notes.txt", ".wl-install-dirs"}) {
    WriteFile(At(name), "", 0644);
  }
  ASSERT_EQ(::chmod(At("playlist-A").c_str(), 0664), 0);
  ASSERT_EQ(::chmod(At("simple-ices-conf-A").c_str(), 0604), 0);
  ASSERT_EQ(::mkdir(At("playlist-dir").c_str(), 0755), 0);
  WriteFile(conf_ / "../outside", "", 0644);
  ASSERT_EQ(::symlink((conf_ / "../outside").c_str(), At("ices.conf-Link").c_str()), 0);
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  auto mode = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 01;
  };
  for (const char* name : {"simple-icecast-conf", "icecast.xml", "ices.conf-A", "folders-A", ".wl-lock",
                           ".wl-restarts", "playlist-summer.m3u", "playlist-A", "simple-ices-conf-A"}) {
    EXPECT_EQ(mode(At(name)), 0600u) << name;
  }
  EXPECT_EQ(mode(At("notes.txt")), 0644u);
  EXPECT_EQ(mode(At(".wl-install-dirs")), 0644u);  // the installer's note, not ours
  EXPECT_EQ(mode(At("playlist-dir")), 0755u);
  EXPECT_EQ(mode(conf_ / "../outside"), 0644u);
  ::unlink((conf_ / "../outside").c_str());
}

// A lock file root made in an older version (0644) let any user stall every
// command; any root run gives it to the directory owner, private, before
// it takes on that user. A file with a second name (a hard link the owner
// planted to a file of root's) is left exactly as it is.
TEST_F(TarnwickTest, RootGivesItsOldFilesToTheOwnerButNeverAHardLinkedOne) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kOwner = 12345;
  WriteFile(At(".wl-lock"), "", 0644);
  TempDir root_only;
  WriteFile(root_only / "victim", "root's\n", 0644);
  ASSERT_EQ(::link((root_only / "victim").c_str(), At("icecast.xml").c_str()), 0);
  ASSERT_EQ(::chown(conf_.path().c_str(), kOwner, kOwner), 0);
  ASSERT_EQ(::chmod(root_only.path().c_str(), 0755), 0);
  Tarnwick({"stop", "all"});
  struct stat lock, victim;
  ASSERT_EQ(::stat(At(".wl-lock").c_str(), &lock), 0);
  EXPECT_EQ(lock.st_uid, kOwner);
  EXPECT_EQ(lock.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((root_only / "victim").c_str(), &victim), 0);
  EXPECT_EQ(victim.st_uid, 0u);
  EXPECT_EQ(victim.st_mode & 07777, 0644u);
  EXPECT_EQ(ReadFile(root_only / "victim"), "root's\n");
}

TEST_F(TarnwickTest, RootsCheckRecordsTheSearchedFoldersAsTheOwnerWhateverWasPlantedThere) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  constexpr uid_t kOwner = 12345;
  TempDir music, root_only;
  ASSERT_EQ(::chmod(music.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(root_only.path().c_str(), 0755), 0);
  WriteFile(music / "a.mp3", "");
  WriteFile(root_only / "victim", "root's\n", 0600);
  AddPlaylist("P", "0");
  AddPlaylist("Q", "0");
  for (const char* name : {"P", "Q"}) {
    WriteFile(At(std::string("folders-") + name), music.path() + "\n");
    WriteFile(At(std::string("playlist-") + name), "");
  }
  ASSERT_EQ(::symlink((root_only / "victim").c_str(), At(".wl-folders-P").c_str()), 0);
  ASSERT_EQ(::link((root_only / "victim").c_str(), At(".wl-folders-Q").c_str()), 0);
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(conf_.path())) {
    if (entry.path().filename() != ".wl-folders-Q") {
      ASSERT_EQ(::lchown(entry.path().c_str(), kOwner, kOwner), 0);
    }
  }
  ASSERT_EQ(::chown(conf_.path().c_str(), kOwner, kOwner), 0);
  Tarnwick({"check"});
  for (const char* name : {"P", "Q"}) {
    struct stat record;
    ASSERT_EQ(::lstat(At(std::string(".wl-folders-") + name).c_str(), &record), 0) << name;
    EXPECT_TRUE(S_ISREG(record.st_mode)) << name;
    EXPECT_EQ(record.st_uid, kOwner) << name;
    EXPECT_EQ(record.st_nlink, 1u) << name;
    EXPECT_EQ(ReadFile(At(std::string("playlist-") + name)), music / "a.mp3\n") << name;
  }
  struct stat victim;
  ASSERT_EQ(::stat((root_only / "victim").c_str(), &victim), 0);
  EXPECT_EQ(victim.st_uid, 0u);
  EXPECT_EQ(ReadFile(root_only / "victim"), "root's\n");
}

TEST_F(TarnwickTest, StartAllStopsTheClientsOfPlaylistsThatAreGone) {
  // What a delete whose stop did not take, or a deletion by hand, leaves: a
  // client streaming a playlist that no longer exists. The boot and a port
  // change (both "start all") end it, as a check does.
  AddPlaylist("Gone", "1");
  AddPlaylist("Kept", "1");
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  ASSERT_EQ(Running("Gone"), 1u);
  const std::vector<pid_t> kept = find_source_clients(At("ices.conf-Kept"));
  ::unlink(At("playlist-Gone").c_str());
  ASSERT_EQ(Tarnwick({"start", "all"}).status, 0);
  EXPECT_EQ(Running("Gone"), 0u);
  EXPECT_EQ(Running("Kept"), 1u);  // replaced with the server
  EXPECT_NE(find_source_clients(At("ices.conf-Kept")), kept);
}

}  // namespace

namespace {

// Run as root with a config directory of root's, the client runs as root in
// the log folder: it starts only once what it writes there is root's own,
// and the reason it does not start is said.
TEST_F(TarnwickTest, ARootClientStartsOnlyWithItsLogsRootsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  // The test's own /var/log (the sandbox's mount namespace is private).
  ASSERT_EQ(::mount("wavelorn-log", "/var/log", "tmpfs", 0, nullptr), 0);
  struct Unmount {
    ~Unmount() { ::umount2("/var/log", MNT_DETACH); }
  } unmount;
  const std::string logs = "/var/log/wavelorn";
  ASSERT_EQ(::mkdir(logs.c_str(), 0755), 0);
  ASSERT_EQ(::chown(logs.c_str(), 12345, 12345), 0);
  WriteFile("/var/log/secret", "root:secret\n", 0600);
  ASSERT_EQ(::symlink("/var/log/secret", (logs + "/ices.cue").c_str()), 0);
  AddPlaylist("P", "1");
  // The server's folder, as before: its owner could swap links at any time.
  RunResult r = Tarnwick({"start", "P"});
  EXPECT_TRUE(Calls().empty());
  EXPECT_NE(r.err.find("tarnwick: not starting the client of P as root: /var/log/wavelorn is not root's"),
            std::string::npos)
      << r.err;
  // Root's, sticky, in the server's group: the planted link is replaced.
  ASSERT_EQ(::chown(logs.c_str(), 0, 12345), 0);
  ASSERT_EQ(::chmod(logs.c_str(), 01770), 0);
  r = Tarnwick({"start", "P"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Calls(), (std::vector<std::string>{Ices("P")}));
  struct stat st;
  ASSERT_EQ(::lstat((logs + "/ices.cue").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0);
  EXPECT_EQ(ReadFile("/var/log/secret"), "root:secret\n");
}

}  // namespace
