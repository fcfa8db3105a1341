#include "lib/change.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "tests/test_util.h"

namespace {

// Records what the streams were told; `die` ends the process at that call,
// as a kill would.
class Streams final : public StreamControl {
 public:
  void Stop(std::string_view target) override { Run("stop " + std::string(target)); }
  void Start(std::string_view target) override { Run("start " + std::string(target)); }
  std::vector<std::string> calls;
  std::string die;

 private:
  void Run(const std::string& call) {
    if (call == die) ::_exit(0);
    calls.push_back(call);
  }
};

class ChangeTest : public ::testing::Test {
 protected:
  ChangeTest() {
    PointConfDir(conf_.path());
    ::mkdir(Share("music").c_str(), 0755);
    WriteFile(Share("music/a.mp3"), "");
    WriteFile(At("simple-icecast-conf"), "port=8000\n");
    WriteFile(At("icecast.xml"), "<port>8000</port>");
    WriteFile(At("simple-ices-conf-A"), "name=A\ngenre=Old\nmine=kept\nenabled=1\n");
    WriteFile(At("ices.conf-A"), "<x>\n      <Port>8000</Port>\n</x>");
    WriteFile(At("playlist-A"), "old.mp3\n");
    WriteFile(At("folders-A"), "/old\n");
  }
  ~ChangeTest() override { ::unlink(kConfDirPointer); }
  std::string At(const std::string& name) const { return conf_ / name; }
  // Music lies outside the config directory: no playlist takes any from there.
  std::string Share(const std::string& name) const { return share_ / name; }
  // Runs `change` in a child process, which `die` ends early.
  void RunInChild(const std::string& die, const std::function<void(Streams&)>& change) {
    pid_t child = ::fork();
    if (child == 0) {
      Streams streams;
      streams.die = die;
      change(streams);
      ::_exit(0);
    }
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  // The files of the config directory but the music.
  std::vector<std::string> Files() const {
    std::vector<std::string> files = ListDir(conf_.path());
    std::erase(files, "music");
    return files;
  }

  TempDir share_;
  TempDir conf_;
};

TEST_F(ChangeTest, APortChangeKilledAfterItsRecordIsFinishedByTheNextHolder) {
  RunInChild("stop all", [](Streams& streams) { change_port("8010", streams); });
  // Killed at the stop, every file in place: the record stays, and the
  // next holder makes the streams follow.
  EXPECT_TRUE(Exists(At(".wl-journal")));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  Streams next;
  EXPECT_TRUE(finish_recorded_change(next));
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "<x>\n      <Port>8010</Port>\n</x>");
  EXPECT_NE(ReadFile(At("icecast.xml")).find("<port>8010</port>"), std::string::npos);
  EXPECT_EQ(next.calls, (std::vector<std::string>{"stop all", "start all"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{"folders-A", "icecast.xml", "ices.conf-A", "playlist-A",
                                               "simple-icecast-conf", "simple-ices-conf-A"}));
  // Nothing left to do.
  EXPECT_TRUE(finish_recorded_change(next));
  EXPECT_EQ(next.calls.size(), 2u);
}

TEST_F(ChangeTest, ACreateOverAPlaylistKilledBeforeItsScanChangesNothingUntilFinished) {
  RunInChild("", [&](Streams& streams) {
    create_playlist("A", "Jazz", "Late", "1", Share("music") + "\n", [] { ::_exit(0); }, streams);
  });
  // Nothing the streams read has changed yet.
  EXPECT_EQ(ReadFile(At("playlist-A")), "old.mp3\n");
  EXPECT_EQ(ReadFile(At("folders-A")), "/old\n");
  EXPECT_EQ(ReadFile(At("simple-ices-conf-A")), "name=A\ngenre=Old\nmine=kept\nenabled=1\n");
  Streams next;
  EXPECT_TRUE(finish_recorded_change(next));
  EXPECT_EQ(ReadFile(At("playlist-A")), Share("music/a.mp3") + "\n");
  EXPECT_EQ(ReadFile(At("folders-A")), Share("music") + "\n");
  EXPECT_EQ(ReadFile(At("simple-ices-conf-A")), "name=A\ngenre=Jazz\nmine=kept\nenabled=0\ndesc=Late\nrand=1\n");
  EXPECT_NE(ReadFile(At("ices.conf-A")).find("<Genre>Jazz</Genre>"), std::string::npos);
  EXPECT_TRUE(next.calls.empty());  // a running client keeps running
  EXPECT_FALSE(Exists(At(".wl-journal")));
}

TEST_F(ChangeTest, AChangeThatCannotBePreparedChangesNothing) {
  auto before = Files();
  // The staged file of the source client config cannot be put in place.
  ::mkdir(At(".wl-s-2").c_str(), 0755);
  Streams streams;
  EXPECT_EQ(change_port("8010", streams), ChangeResult::kRefused);
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8000\n");
  EXPECT_FALSE(Exists(At(".wl-journal")));
  EXPECT_FALSE(Exists(At(".wl-s-0")));
  EXPECT_TRUE(streams.calls.empty());
  ::rmdir(At(".wl-s-2").c_str());
  // Settings that are there but cannot be read are not taken for empty ones.
  ::unlink(At("simple-ices-conf-A").c_str());
  ::mkfifo(At("simple-ices-conf-A").c_str(), 0644);
  EXPECT_EQ(renew_playlist("A", "G", "D", "0", streams), ChangeResult::kRefused);
  EXPECT_EQ(create_playlist("A", "G", "D", "0", "", [] { FAIL(); }, streams), ChangeResult::kRefused);
  EXPECT_EQ(Files(), before);
}

TEST_F(ChangeTest, ARecordThatCannotBeFinishedStaysAndOneOfNoUseIsDropped) {
  Streams streams;
  // The playlist file of a delete cannot be removed (something is mounted
  // on it): the record stays.
  WriteFile(At("elsewhere"), "");
  if (::mount(At("elsewhere").c_str(), At("playlist-A").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot mount here";
  }
  EXPECT_EQ(remove_playlist("A", streams), ChangeResult::kPending);
  EXPECT_FALSE(finish_recorded_change(streams));
  EXPECT_TRUE(Exists(At(".wl-journal")));
  ASSERT_EQ(::umount2(At("playlist-A").c_str(), MNT_DETACH), 0);
  EXPECT_TRUE(finish_recorded_change(streams));
  EXPECT_EQ(streams.calls, (std::vector<std::string>{"stop A", "stop A", "stop A"}));
  EXPECT_FALSE(Exists(At("simple-ices-conf-A")));
  ::unlink(At("elsewhere").c_str());
  // A folder of a playlist's file name is a user's: it stays, and the
  // delete is done all the same.
  ::mkdir(At("playlist-B").c_str(), 0755);
  WriteFile(At("playlist-B/photo.jpg"), "");
  WriteFile(At("simple-ices-conf-B"), "name=B\n");
  EXPECT_EQ(remove_playlist("B", streams), ChangeResult::kDone);
  EXPECT_EQ(ReadFile(At("playlist-B/photo.jpg")), "");
  EXPECT_FALSE(Exists(At("simple-ices-conf-B")));
  EXPECT_FALSE(Exists(At(".wl-journal")));
  ::unlink(At("playlist-B/photo.jpg").c_str());
  ::rmdir(At("playlist-B").c_str());
  streams.calls.clear();
  for (const char* record : {"del\n../x\n", "garbage", "set\n8010\n../../etc/passwd\n", "unknown\nA\n"}) {
    WriteFile(At(".wl-journal"), record);
    WriteFile(At(".wl-s-0"), "staged");
    EXPECT_TRUE(finish_recorded_change(streams)) << record;
    EXPECT_EQ(Files(), (std::vector<std::string>{"icecast.xml", "simple-icecast-conf"})) << record;
  }
  EXPECT_TRUE(streams.calls.empty());  // a record of no use runs nothing
}

// A recorded change whose files cannot all be renamed into place (here a
// folder stands where a file goes) runs no stream at any try and says why;
// meanwhile only a delete of another playlist goes ahead, unrecorded, and the
// waiting change is left whole. Once the renames work, it completes.
TEST_F(ChangeTest, AChangeThatCannotBeAppliedWaitsWithoutTouchingTheStreams) {
  Streams streams;
  WriteFile(At("simple-ices-conf-B"), "name=B\nenabled=0\n");
  WriteFile(At("ices.conf-B"), "<x/>");
  WriteFile(At("playlist-B"), "b.mp3\n");
  WriteFile(At("folders-B"), "/b\n");
  const std::string record = "set\n8010\nsimple-icecast-conf\nicecast.xml\nices.conf-A\n";
  WriteFile(At(".wl-journal"), record);
  WriteFile(At(".wl-s-0"), "port=8010\n");
  WriteFile(At(".wl-s-1"), "<port>8010</port>");
  WriteFile(At(".wl-s-2"), "<x>\n      <Port>8010</Port>\n</x>");
  ::unlink(At("ices.conf-A").c_str());
  ::mkdir(At("ices.conf-A").c_str(), 0755);
  WriteFile(At("ices.conf-A/keep"), "");
  for (int attempt = 0; attempt < 2; ++attempt) {
    WaitingChange waiting;
    EXPECT_FALSE(finish_recorded_change(streams, &waiting));
    EXPECT_EQ(waiting.action, "set");
    EXPECT_EQ(waiting.argument, "8010");
    EXPECT_EQ(waiting.reason, "rename failed: Is a directory");
  }
  EXPECT_TRUE(streams.calls.empty());
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");  // what could be renamed is
  std::optional<WaitingChange> seen = waiting_change();
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->action + " " + seen->argument + " " + seen->reason, "set 8010 not applied yet");
  // A port change rewrites every client config: no delete beside it.
  EXPECT_EQ(remove_playlist("B", streams), ChangeResult::kRefused);
  EXPECT_TRUE(Exists(At("playlist-B")));

  // A change of playlist A waits instead: B can go, A cannot.
  WriteFile(At(".wl-journal"), "renew\nA\nices.conf-A\n");
  ::rename(At(".wl-s-2").c_str(), At(".wl-s-0").c_str());
  ::unlink(At(".wl-s-1").c_str());
  EXPECT_FALSE(finish_recorded_change(streams));
  EXPECT_EQ(remove_playlist("B", streams), ChangeResult::kDone);
  for (const char* file : {"playlist-B", "simple-ices-conf-B", "ices.conf-B", "folders-B"}) {
    EXPECT_FALSE(Exists(At(file))) << file;
  }
  EXPECT_EQ(remove_playlist("A", streams), ChangeResult::kRefused);
  EXPECT_EQ(streams.calls, (std::vector<std::string>{"stop B"}));
  EXPECT_EQ(ReadFile(At(".wl-journal")), "renew\nA\nices.conf-A\n");
  EXPECT_TRUE(Exists(At(".wl-s-0")));

  ::unlink(At("ices.conf-A/keep").c_str());
  ::rmdir(At("ices.conf-A").c_str());
  EXPECT_TRUE(finish_recorded_change(streams));
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "<x>\n      <Port>8010</Port>\n</x>");
  EXPECT_EQ(streams.calls, (std::vector<std::string>{"stop B", "stop A", "start A"}));
  EXPECT_FALSE(waiting_change());
}

TEST_F(ChangeTest, RecordsOfTheEarlierKindAreStillFinished) {
  Streams streams;
  WriteFile(At(".wl-journal"), "set\n8010\n");
  EXPECT_TRUE(finish_recorded_change(streams));
  EXPECT_EQ(ReadFile(At("simple-icecast-conf")), "port=8010\n");
  EXPECT_EQ(ReadFile(At("ices.conf-A")), "<x>\n      <Port>8010</Port>\n</x>");
  EXPECT_EQ(streams.calls, (std::vector<std::string>{"stop all", "start all"}));
  // A create that had not written its playlist file leaves nothing.
  WriteFile(At("simple-ices-conf-N"), "enabled=0\n");
  WriteFile(At("ices.conf-N"), "");
  WriteFile(At(".wl-journal"), "new\nN\n");
  EXPECT_TRUE(finish_recorded_change(streams));
  EXPECT_FALSE(Exists(At("simple-ices-conf-N")));
  EXPECT_FALSE(Exists(At("ices.conf-N")));
  EXPECT_FALSE(Exists(At(".wl-journal")));
}

}  // namespace
