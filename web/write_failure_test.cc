// Every changing command of the built stream_admin (and tarnwick's rescan),
// with one system call that writes, syncs, renames, removes or creates a file
// made to fail (ENOSPC or EIO, injected by strace), or killed at that call:
// afterwards the answer and the files must agree, and the next command or
// "tarnwick start all" must leave the config directory in the old state or
// the new one, never between.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include <gtest/gtest.h>

#include "lib/process_table.h"
#include "tests/cgi_fixture.h"

namespace {

constexpr char kStrace[] = "/usr/bin/strace";
// The calls that can fail when the disk is full or failing.
constexpr const char* kCalls[] = {"write", "fsync", "rename", "unlink", "unlinkat", "openat", "fchmod"};

using Files = std::map<std::string, std::string>;

// One failure point: the `ordinal`th call of `call`.
struct Point {
  std::string call;
  int ordinal;
};

class WriteFailureTest : public CgiTest {
 protected:
  WriteFailureTest() {
    ::unlink((bin_ / "tarnwick").c_str());
    EXPECT_EQ(::symlink(TARNWICK_BIN, (bin_ / "tarnwick").c_str()), 0);
    for (const char* folder : {"music", "music/one", "music/two"}) ::mkdir((share_ / folder).c_str(), 0755);
    WriteFile(share_ / "music/one/a.mp3", "");
    WriteFile(share_ / "music/two/b.mp3", "");
  }

  Fields New(const std::string& name, const std::string& folder, const std::string& genre = "G") const {
    return {{"cmd", "GUI_ice_playlist_new"}, {"f_name", name},       {"f_genre", genre},
            {"f_desc", "D"},                 {"f_randomized", "0"}, {"f_total", "1"},
            {"f_dir0", share_ / folder}};
  }
  std::vector<std::string> Env() const { return {"PATH=" + bin_.path() + ":/usr/bin:/bin", "STANDIN_LOG=" + Log()}; }

  // The state: every file of the config directory but the music, the lock,
  // check's restart times, the record of the server started (a process id)
  // and temporary files (which the next holder of the lock removes, whatever
  // they hold).
  Files State() const {
    Files files;
    for (const std::string& name : ListDir(conf_.path())) {
      bool temporary = name.starts_with(".wl-") && name.size() == 10 && name.find('-', 4) == std::string::npos;
      if (name == "music" || name == ".wl-lock" || name == ".wl-restarts" || name == ".wl-server-id" || temporary) {
        continue;
      }
      // The record of the folders a build searched is none of the state: it
      // holds the time of the search, and one that is missing or older than
      // the playlist costs check a rebuild, never a song.
      if (name.starts_with(".wl-folders-")) continue;
      files[name] = ReadFile(At(name));
    }
    return files;
  }
  void Restore(const Files& files) {
    for (const std::string& name : ListDir(conf_.path())) {
      if (name != "music") ::unlink(At(name).c_str());
    }
    for (const auto& [name, contents] : files) WriteFile(At(name), contents);
  }

  // A create whose scan could not be written ends with its playlist empty
  // and marked incomplete; a rescan completes it. Returns true when it did.
  bool MendIncomplete(const std::string& where) {
    bool mended = false;
    for (const std::string& name : ListDir(conf_.path())) {
      if (!name.starts_with(".wl-incomplete-")) continue;
      const std::string playlist = name.substr(15);
      EXPECT_EQ(ReadFile(At("playlist-" + playlist)), "") << where;
      EXPECT_EQ(RunCapture({TARNWICK_BIN, "rescan", playlist}, Env()).status, 0) << where;
      EXPECT_FALSE(Exists(At(name))) << where;
      mended = true;
    }
    return mended;
  }

  // Runs the command: through the web program, or tarnwick's rescan when
  // `fields` is empty. `strace` goes first. Returns 1 or 0 as answered, -1
  // for anything else.
  int Run(const Fields& fields, const std::vector<std::string>& strace = {}) {
    // The leak checker of a sanitizer build cannot work under a tracer.
    const std::string no_leak_check = "ASAN_OPTIONS=detect_leaks=0";
    if (fields.empty()) {
      std::vector<std::string> argv = strace;
      argv.insert(argv.end(), {TARNWICK_BIN, "rescan", "A"});
      std::vector<std::string> env = Env();
      env.push_back(no_leak_check);
      int status = RunCapture(argv, env).status;
      return status == 0 ? 1 : status == 1 ? 0 : -1;
    }
    CgiRequest request = Request(fields);
    request.wrapper = strace;
    request.extra_env.push_back(no_leak_check);
    std::string out = RunCgi(request).out;
    return out == Config("<res>1</res>") ? 1 : out == Config("<res>0</res>") ? 0 : -1;
  }

  // The calls of kCalls that `fields` makes on files, in order: writes to
  // the response and openings that create nothing are left out.
  std::vector<Point> Points(const Fields& fields) {
    const std::string trace = bin_ / "trace";
    std::string calls;
    for (const char* call : kCalls) calls += std::string(calls.empty() ? "" : ",") + call;
    Run(fields, {kStrace, "-y", "-o", trace, "-e", "trace=" + calls});
    std::map<std::string, int> seen;
    std::vector<Point> points;
    for (const std::string& line : ReadLines(trace)) {
      std::string call = line.substr(0, line.find('('));
      if (call == line) continue;  // signals, exit
      int ordinal = ++seen[call];
      // Calls on a descriptor count when it names a file ("-y" shows
      // "4</path>"): not the response's pipe, nor a sanitizer's own.
      std::size_t fd_end = line.find_first_not_of("0123456789", call.size() + 1);
      bool on_fd = call == "write" || call == "fsync" || call == "fchmod";
      if (on_fd && (fd_end == std::string::npos || line.compare(fd_end, 2, "</") != 0)) continue;
      if (call == "openat" && line.find("O_CREAT") == std::string::npos) continue;
      points.push_back({call, ordinal});
    }
    return points;
  }
};

TEST_F(WriteFailureTest, EveryFailingCallEndsInTheOldStateOrTheNewOne) {
  if (std::getenv("WAVELORN_EMULATED") != nullptr) GTEST_SKIP() << "strace cannot trace through the emulator";
  if (RunCapture({kStrace, "-o", "/dev/null", "/bin/true"}, {}).status != 0) GTEST_SKIP() << "strace cannot trace here";

  // A, enabled, and B and Z of other folders; then the first folder grows,
  // so that a rescan of A has something to write.
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}}).out, Config("<res>1</res>"));
  for (const Fields& fields : {New("A", "music/one"), New("B", "music/two"), New("Z", "music/two")}) {
    ASSERT_EQ(Cgi(fields).out, Config("<res>1</res>"));
  }
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "A"}}).out, Config("<res>1</res>"));
  WriteFile(share_ / "music/one/c.mp3", "");
  const Files old_state = State();

  struct Command {
    std::string label;
    Fields fields;  // empty: tarnwick rescan A
  } commands[] = {
      {"set", {{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}},
      {"new", New("C", "music/one")},
      {"new over A", New("A", "music/two", "Other")},
      {"renew", {{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "A"}, {"f_genre", "R"}, {"f_desc", "N"}}},
      {"del", {{"cmd", "GUI_ice_playlist_del"}, {"f_name", "B"}}},
      {"enable", {{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "B"}}},
      {"disable", {{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "A"}}},
      {"rescan", {}},
  };
  // The next command: one that changes nothing itself.
  const Fields next = {{"cmd", "GUI_ice_playlist_disable"}, {"f_name", "Z"}};

  std::string report;
  for (const Command& command : commands) {
    Restore(old_state);
    ASSERT_EQ(Run(command.fields), 1) << command.label;
    const Files new_state = State();
    ASSERT_NE(new_state, old_state) << command.label;
    Restore(old_state);
    const std::vector<Point> points = Points(command.fields);
    int tried = 0, pending = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const Point& point = points[i];
      // Each call fails once with an error, and once the command is killed
      // at it instead; then the next command runs, or the next boot.
      for (const std::string& effect : {std::string(i % 2 ? "error=EIO" : "error=ENOSPC"), std::string("signal=KILL")}) {
        const std::string where = command.label + ": " + point.call + " #" + std::to_string(point.ordinal) + " " + effect;
        Restore(old_state);
        int answer = Run(command.fields, {kStrace, "-o", "/dev/null", "-e", "trace=" + point.call, "-e",
                                          "inject=" + point.call + ":" + effect + ":when=" + std::to_string(point.ordinal)});
        ++tried;
        const bool killed = effect == "signal=KILL";
        ASSERT_TRUE(answer == 0 || answer == 1 || killed) << where;
        const bool recorded = Exists(At(".wl-journal"));
        pending += recorded;
        if (!killed && MendIncomplete(where)) {
          EXPECT_EQ(answer, 1) << where;
        }
        if (recorded) {
          // Left for the next holder of the lock, which finishes it. Only a
          // create has answered before it is done.
          EXPECT_TRUE(answer != 1 || command.label.starts_with("new")) << where;
        } else if (!killed) {
          EXPECT_EQ(State(), answer == 1 ? new_state : old_state) << where;
        }
        if ((i + tried) % 2) {
          EXPECT_EQ(Cgi(next).out, Config("<res>1</res>")) << where;
        } else {
          EXPECT_EQ(RunCapture({TARNWICK_BIN, "start", "all"}, Env()).status, 0) << where;
        }
        const Files after = State();
        if (killed && !recorded) {
          EXPECT_TRUE(after == old_state || after == new_state) << where;
        } else {
          EXPECT_EQ(after, answer == 1 || recorded ? new_state : old_state) << where;
        }
        if (HasFailure()) return;
      }
    }
    EXPECT_GT(tried, 3) << command.label;
    report += command.label + ": " + std::to_string(points.size()) + " calls, each failing and killed: " +
              std::to_string(tried) + " runs (" + std::to_string(pending) +
              " left a record for the next holder), all ended in the old or the new state\n";
  }
  std::fputs(report.c_str(), stdout);
  KillSourceClients();
}

// Whichever of a command's opens of the server settings fails (EIO), no
// generated file ever carries the built-in password while another is
// stored: the command either is refused and changes nothing, or completes
// with the stored password.
TEST_F(WriteFailureTest, ServerSettingsThatCannotBeOpenedNeverBringTheDefaultPassword) {
  if (std::getenv("WAVELORN_EMULATED") != nullptr) GTEST_SKIP() << "strace cannot trace through the emulator";
  if (RunCapture({kStrace, "-o", "/dev/null", "/bin/true"}, {}).status != 0) GTEST_SKIP() << "strace cannot trace here";

  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(New("A", "music/one")).out, Config("<res>1</res>"));
  WriteFile(At("simple-icecast-conf"), "port=8000\npasswd=S3cret\n");
  ASSERT_EQ(RunCapture({TARNWICK_BIN, "start", "all"}, Env()).status, 0);  // carries it into the configs
  const Files old_state = State();
  const std::string settings = At("simple-icecast-conf");

  struct Command {
    std::string label;
    Fields fields;
  } commands[] = {
      {"set", {{"cmd", "GUI_ice_set"}, {"f_port", "8010"}}},
      {"new", New("C", "music/two")},
      {"renew", {{"cmd", "GUI_ice_playlist_renew"}, {"f_name", "A"}, {"f_genre", "R"}, {"f_desc", "N"}}},
  };
  for (const Command& command : commands) {
    Restore(old_state);
    ASSERT_EQ(Run(command.fields), 1) << command.label;
    const Files new_state = State();
    Restore(old_state);
    const std::string trace = bin_ / "trace";
    Run(command.fields, {kStrace, "-o", trace, "-P", settings, "-e", "trace=openat"});
    int opens = 0;
    for (const std::string& line : ReadLines(trace)) opens += line.starts_with("openat(");
    ASSERT_GE(opens, 1) << command.label;
    int refused = 0;
    for (int open = 1; open <= opens; ++open) {
      const std::string where = command.label + ": open #" + std::to_string(open);
      Restore(old_state);
      int answer = Run(command.fields, {kStrace, "-o", "/dev/null", "-P", settings, "-e", "trace=openat", "-e",
                                        "inject=openat:error=EIO:when=" + std::to_string(open)});
      ASSERT_TRUE(answer == 0 || answer == 1) << where;
      refused += answer == 0;
      auto carry_the_stored_password = [&](const Files& files) {
        for (const auto& [name, contents] : files) {
          if (name != "icecast.xml" && !name.starts_with("ices.conf-")) continue;
          EXPECT_EQ(contents.find("quillfen"), std::string::npos) << where << ": " << name;
          EXPECT_NE(contents.find("S3cret"), std::string::npos) << where << ": " << name;
        }
      };
      carry_the_stored_password(State());
      // A create whose folder search could not read the music roots is
      // answered, and ends incomplete until a rescan.
      if (MendIncomplete(where)) {
        EXPECT_EQ(answer, 1) << where;
      }
      const bool recorded = Exists(At(".wl-journal"));
      if (recorded) {
        EXPECT_EQ(RunCapture({TARNWICK_BIN, "start", "all"}, Env()).status, 0) << where;
      }
      EXPECT_EQ(State(), answer == 1 || recorded ? new_state : old_state) << where;
      carry_the_stored_password(State());
      if (HasFailure()) return;
    }
    EXPECT_GT(refused, 0) << command.label;
  }
  KillSourceClients();
}

// The config directory's volume is full when a create's folder scan is to be
// written: the create, answered at once, still ends, with its playlist empty
// and said to be incomplete; no change is refused for it, a delete frees room
// on the full volume, and a rescan with room completes the playlist.
TEST_F(WriteFailureTest, ACreateOnAFullVolumeEndsIncompleteAndNothingIsHeldUp) {
  if (const char* sandbox = std::getenv("WAVELORN_SANDBOX"); sandbox == nullptr || std::string(sandbox) != "1") {
    GTEST_SKIP() << "mounts only inside tests/sandbox.sh";
  }
  ASSERT_EQ(::mount("wavelorn-conf", conf_.path().c_str(), "tmpfs", 0, "size=256k"), 0);
  ::mkdir((share_ / "music/many").c_str(), 0755);
  for (int i = 0; i < 600; ++i) {
    WriteFile(share_ / ("music/many/a track with a name long enough to fill the volume " + std::to_string(i) + ".mp3"),
              "");
  }
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(New("Old", "music/one")).out, Config("<res>1</res>"));
  // Fill the volume, then free room enough for the create's small files
  // but not for its scan (about 60 KiB).
  const std::string filler = At("filler");
  {
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    off_t size = 0;
    for (ssize_t n; (n = ::write(fd, block.data(), block.size())) > 0;) size += n;
    ASSERT_EQ(::ftruncate(fd, size - 6 * 4096), 0);
    ::close(fd);
  }

  ASSERT_EQ(Cgi(New("Big", "music/many")).out, Config("<res>1</res>"));
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_EQ(ReadFile(At("playlist-Big")), "");
  const std::string why = "the folder scan could not be written: No space left on device";
  RunResult status = RunCapture({TARNWICK_BIN, "status"}, Env());
  EXPECT_NE(status.out.find("\nincomplete\tBig\t" + why + "\n"), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("change\t"), std::string::npos) << status.out;
  const std::string gui = Cgi({{"cmd", "GUI_ice_status"}}).out;
  EXPECT_NE(gui.find("<incomplete><name>Big</name><reason>" + why + "</reason></incomplete></config>"),
            std::string::npos)
      << gui;

  // Not a byte left: a delete still works.
  {
    int fd = ::open(filler.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_playlist_del"}, {"f_name", "Old"}}).out, Config("<res>1</res>"));
  for (const char* file : {"playlist-Old", "simple-ices-conf-Old", "ices.conf-Old", "folders-Old"}) {
    EXPECT_FALSE(Exists(At(file))) << file;
  }

  // With room again, a rescan completes the playlist.
  ::unlink(filler.c_str());
  EXPECT_EQ(RunCapture({TARNWICK_BIN, "rescan", "Big"}, Env()).status, 0);
  EXPECT_EQ(ReadLines(At("playlist-Big")).size(), 600u);
  EXPECT_FALSE(Exists(At(".wl-incomplete-Big")));
  EXPECT_EQ(RunCapture({TARNWICK_BIN, "status"}, Env()).out.find("incomplete"), std::string::npos);
  EXPECT_EQ(Cgi({{"cmd", "GUI_ice_status"}}).out.find("<incomplete>"), std::string::npos);

  KillSourceClients();
  EXPECT_EQ(::umount2(conf_.path().c_str(), MNT_DETACH), 0);
}

// A port change whose source client configs cannot be renamed into place,
// for good (the server's two files are, then every rename fails with EIO):
// the set answers 0 and leaves its record, and neither it nor the checks
// after it stop or start a stream; each check says what waits. Once renames
// work, a check applies it.
TEST_F(WriteFailureTest, APortChangeThatCannotBeRenamedNeverRestartsTheStreams) {
  if (std::getenv("WAVELORN_EMULATED") != nullptr) GTEST_SKIP() << "strace cannot trace through the emulator";
  if (RunCapture({kStrace, "-o", "/dev/null", "/bin/true"}, {}).status != 0) GTEST_SKIP() << "strace cannot trace here";

  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_set"}, {"f_port", "8000"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi(New("A", "music/one")).out, Config("<res>1</res>"));
  ASSERT_EQ(Cgi({{"cmd", "GUI_ice_playlist_enable"}, {"f_name", "A"}}).out, Config("<res>1</res>"));
  ASSERT_EQ(RunCapture({TARNWICK_BIN, "start", "all"}, Env()).status, 0);
  const std::vector<pid_t> server = find_servers(), clients = find_source_clients(At("ices.conf-A"));
  ASSERT_EQ(server.size(), 1u);
  ASSERT_EQ(clients.size(), 1u);
  const Files old_state = State();
  const Fields set = {{"cmd", "GUI_ice_set"}, {"f_port", "8010"}};

  // The first rename of a staged file over its target.
  const std::string trace = bin_ / "trace";
  Run(set, {kStrace, "-o", trace, "-e", "trace=rename"});
  int first = 0, ordinal = 0;
  for (const std::string& line : ReadLines(trace)) {
    if (!line.starts_with("rename(")) continue;
    ++ordinal;
    if (line.find("/.wl-s-") < line.find(", ")) {
      first = ordinal;
      break;
    }
  }
  ASSERT_GT(first, 0);
  Restore(old_state);
  ASSERT_EQ(RunCapture({TARNWICK_BIN, "start", "all"}, Env()).status, 0);
  const std::vector<pid_t> running = find_servers(), playing = find_source_clients(At("ices.conf-A"));
  ASSERT_EQ(running.size(), 1u);

  EXPECT_EQ(Run(set, {kStrace, "-f", "-o", "/dev/null", "-e", "trace=rename", "-e",
                      "inject=rename:error=EIO:when=" + std::to_string(first + 2) + "+"}),
            0);
  EXPECT_TRUE(Exists(At(".wl-journal")));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_NE(ReadFile(At("ices.conf-A")).find("<Port>8000</Port>"), std::string::npos);
  std::vector<std::string> traced_env = Env();
  traced_env.push_back("ASAN_OPTIONS=detect_leaks=0");  // no leak checker under a tracer
  for (int check = 0; check < 2; ++check) {
    RunResult r = RunCapture({kStrace, "-f", "-o", "/dev/null", "-e", "trace=rename", "-e", "inject=rename:error=EIO",
                              TARNWICK_BIN, "check"},
                             traced_env);
    EXPECT_EQ(r.status, 3) << check;
    EXPECT_NE(r.err.find("tarnwick: change set 8010 waiting: rename failed: Input/output error\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(find_servers(), running) << check;
    EXPECT_EQ(find_source_clients(At("ices.conf-A")), playing) << check;
  }
  RunResult status = RunCapture({TARNWICK_BIN, "status"}, Env());
  EXPECT_EQ(status.status, 3);
  EXPECT_TRUE(status.out.ends_with("\nchange\tset\t8010\twaiting\tnot applied yet\n")) << status.out;

  EXPECT_EQ(RunCapture({TARNWICK_BIN, "check"}, Env()).err.find("waiting"), std::string::npos);
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_NE(ReadFile(At("ices.conf-A")).find("<Port>8010</Port>"), std::string::npos);
  EXPECT_NE(find_servers(), running);
  KillSourceClients();
  RunCapture({TARNWICK_BIN, "stop", "all"}, Env());
}

}  // namespace
