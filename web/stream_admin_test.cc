// Drives the built stream_admin as a web server does and checks the exact
// bytes of its responses.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

class StreamAdminTest : public ::testing::Test {
 protected:
  StreamAdminTest() { PointConfDir(conf_.path()); }
  ~StreamAdminTest() override { ::unlink("/tmp/iceconf.dir"); }
  std::string At(const std::string& name) const { return conf_ / name; }
  static std::string Config(const std::string& body) { return kConfigHead + ("<config>" + body + "</config>"); }

  TempDir conf_;
};

TEST_F(StreamAdminTest, GetAnswersTheStoredPortByteForByte) {
  RunResult r = RunCgi("cmd=GUI_ice_get");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Pragma: no-cache\r\nCache-Control: no-cache\r\nContent-type: text/xml\r\n\r\n"
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config><res>1</res><port>8000</port></config>");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(Exists(At("simple-icecast-conf")));  // a question creates nothing

  WriteFile(At("simple-icecast-conf"), "port=8010\n");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_get").out, Config("<res>1</res><port>8010</port>"));
}

// What a request that names no command gets: a complete response with an
// empty body (no output at all would make the web server answer an error).
const char kEmptyResponse[] = "Pragma: no-cache\r\nCache-Control: no-cache\r\nContent-type: text/xml\r\n\r\n";

TEST_F(StreamAdminTest, UnknownCommandsGetAnEmptyBody) {
  for (const char* query : {"", "cmd=gui_ice_get", "cmd=GUI_ice_get+", "cmd=GUI_ice_ge", "x=GUI_ice_get",
                            "cmd=GUI_ice_get_and_more_text_that_is_much_longer"}) {
    RunResult r = RunCgi(query);
    EXPECT_EQ(r.status, 0) << query;
    EXPECT_EQ(r.out, kEmptyResponse) << query;
  }
}

TEST_F(StreamAdminTest, LineBreaksInCmdAreRemoved) {
  EXPECT_EQ(RunCgi("cmd=GUI_ice_get%0D%0A").out, Config("<res>1</res><port>8000</port>"));
}

TEST_F(StreamAdminTest, MissingConfigDirectoryStillAnswersAndCreatesNothing) {
  PointConfDir(conf_ / "missing");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_get").out, Config("<res>1</res><port>8000</port>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_playlist_full").out, Config("<res>1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_active_full").out, Config("<res>-1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_has_playlist_name&f_name=x").out, Config("<res>1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info&f_name=x").out, Config("<res>1</res>"));
  EXPECT_FALSE(Exists(conf_ / "missing"));
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(StreamAdminTest, StatusTellsWhatStandsInTheWayOfAChangeAfterItsOtherElements) {
  WriteFile(At("simple-icecast-conf"), "port=1\n");
  // Nothing in the way: the answer ends as it always did.
  std::string usual = RunCgi("cmd=GUI_ice_status").out;
  EXPECT_TRUE(EndsWith(usual, "<port>1</port><listening>0</listening></server></config>")) << usual;
  EXPECT_FALSE(Exists(At(".wl-lock")));  // the look creates no file

  // A change holds the command lock.
  WriteFile(At(".wl-lock"), "");
  int held = ::open(At(".wl-lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  std::string busy = RunCgi("cmd=GUI_ice_status").out;
  EXPECT_TRUE(EndsWith(busy, "</server><conf_dir><writable>1</writable><busy>1</busy></conf_dir></config>")) << busy;
  ::close(held);
  EXPECT_EQ(RunCgi("cmd=GUI_ice_status").out, usual);

  // No config directory: nothing can be written.
  PointConfDir(conf_ / "missing");
  std::string missing = RunCgi("cmd=GUI_ice_status").out;
  EXPECT_TRUE(EndsWith(missing, "</server><conf_dir><writable>0</writable><busy>0</busy></conf_dir>"
                                "<server_settings>unreadable</server_settings></config>"))
      << missing;
}

TEST_F(StreamAdminTest, StatusCountsEachPlaylistsSongsAndItsFoldersGone) {
  WriteFile(At("simple-icecast-conf"), "port=1\nmusic_roots=/gone\n");
  WriteFile(At("playlist-A"), "/m/1.mp3\n/m/2.mp3");  // the last line without a line feed counts
  WriteFile(At("folders-A"), conf_.path() + "\n/gone/one\n\n/gone/two\n");
  WriteFile(At("playlist-B"), "");
  WriteFile(At("folders-B"), conf_.path() + "\n");
  WriteFile(At("playlist-C"), "/m/3.mp3\n", 0);
  const std::string a = "<playlist><name>A</name><enabled>0</enabled><running>0</running><songs>2</songs>"
                        "<missing_folders>2</missing_folders></playlist>";
  const std::string b = "<playlist><name>B</name><enabled>0</enabled><running>0</running><songs>0</songs></playlist>";
  const std::string server = "<server><running>0</running><port>1</port><listening>0</listening></server>";
  EXPECT_EQ(RunCgi("cmd=GUI_ice_status").out,
            Config("<res>1</res>" + server + a + b +
                   "<playlist><name>C</name><enabled>0</enabled><running>0</running><songs>1</songs></playlist>"));
  // A playlist file this user cannot read: its songs are left out.
  ::chmod(conf_.path().c_str(), 0755);
  for (const char* file : {"simple-icecast-conf", "playlist-A", "folders-A", "playlist-B", "folders-B"}) {
    ::chmod(At(file).c_str(), 0644);
  }
  CgiRequest request;
  request.query = "cmd=GUI_ice_status";
  request.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  std::string out = RunCgi(request).out;
  EXPECT_NE(out.find(a + b + "<playlist><name>C</name><enabled>0</enabled><running>0</running></playlist>"),
            std::string::npos)
      << out;
}

TEST_F(StreamAdminTest, PlaylistNameProposesTheLowestFreeNumber) {
  WriteFile(At("playlist-Playlist-01"), "");
  WriteFile(At("playlist-Playlist-03"), "");
  WriteFile(At("playlist-Rock"), "");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_playlist_name").out,
            Config("<res>1</res><playlist_name>Playlist-02</playlist_name>"));
  for (int n = 1; n <= 20; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "playlist-Playlist-%02d", n);
    WriteFile(At(name), "");
  }
  EXPECT_EQ(RunCgi("cmd=GUI_ice_playlist_name").out, Config("<res>1</res>"));
}

TEST_F(StreamAdminTest, ModifyInfoAnswersTheThreeValues) {
  WriteFile(At("simple-ices-conf-Jazz"), "name=Jazz\ngenre=Jazz\ndesc=\nrand=1\nenabled=0\n");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info&f_name=Jazz").out,
            Config("<res>1</res><genre>Jazz</genre><desc></desc><rand>1</rand>"));

  // A name without settings answers as an empty one and creates nothing, so
  // questions never fill up the capacity.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info&f_name=" + Numbered("New+", i)).out,
              Config("<res>1</res><genre></genre><desc></desc><rand></rand>"));
  }
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{"simple-ices-conf-Jazz"});
  EXPECT_EQ(RunCgi("cmd=GUI_ice_has_playlist_name&f_name=New+1").out, Config("<res>0</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_playlist_full").out, Config("<res>0</res>"));
}

TEST_F(StreamAdminTest, ValuesAreWrittenAsWellFormedXml) {
  WriteFile(At("simple-ices-conf-R"), std::string("genre=Rock & Roll <live>\ndesc=it's \"fine\"\x01\xFF\nrand=1\n"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info&f_name=R").out,
            Config("<res>1</res><genre>Rock &amp; Roll &lt;live&gt;</genre>"
                   "<desc>it's \"fine\"\xEF\xBF\xBD</desc><rand>1</rand>"));
  WriteFile(At("simple-icecast-conf"), "port=80<&\n");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_get").out, Config("<res>1</res><port>80&lt;&amp;</port>"));
}

TEST_F(StreamAdminTest, NamesThatCannotNameAPlaylistAreRefusedWithoutFiles) {
  for (const char* name : {"", "..%2Fescape", "a%2Fb", "tab%09x", "bad%FF", "del%7F"}) {
    std::string n = std::string("&f_name=") + name;
    EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info" + n).out, Config("<res>1</res>")) << name;
    EXPECT_EQ(RunCgi("cmd=GUI_ice_has_playlist_name" + n).out, Config("<res>0</res>")) << name;
  }
  std::string long_name(239, 'n');
  EXPECT_EQ(RunCgi("cmd=GUI_ice_modify_info&f_name=" + long_name).out, Config("<res>1</res>"));
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{});
  EXPECT_FALSE(Exists(conf_.path() + "/../escape"));
}

TEST_F(StreamAdminTest, CapacityQuestions) {
  for (int n = 0; n < 19; ++n) {
    WriteFile(At(Numbered("simple-ices-conf-p", n)), n < 4 ? "enabled=1\n" : "");
  }
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_playlist_full").out, Config("<res>0</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_active_full").out, Config("<res>0</res>"));
  WriteFile(At("simple-ices-conf-p19"), "enabled=1\n");
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_playlist_full").out, Config("<res>1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_is_active_full").out, Config("<res>1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_has_playlist_name&f_name=p1").out, Config("<res>1</res>"));
  EXPECT_EQ(RunCgi("cmd=GUI_ice_has_playlist_name&f_name=P1").out, Config("<res>0</res>"));
}

TEST_F(StreamAdminTest, PostedFormsAreDecoded) {
  CgiRequest urlencoded;
  urlencoded.method = "POST";
  urlencoded.content_type = "application/x-www-form-urlencoded";
  urlencoded.body = "cmd=GUI_ice_get";
  EXPECT_EQ(RunCgi(urlencoded).out, Config("<res>1</res><port>8000</port>"));

  CgiRequest multipart = urlencoded;
  multipart.content_type = "multipart/form-data; boundary=b0";
  multipart.body = "--b0\r\nContent-Disposition: form-data; name=\"cmd\"\r\n\r\nGUI_ice_get\r\n--b0--\r\n";
  EXPECT_EQ(RunCgi(multipart).out, Config("<res>1</res><port>8000</port>"));

  CgiRequest oversized = urlencoded;
  oversized.body = "cmd=GUI_ice_get&pad=" + std::string(1 << 20, 'x');
  EXPECT_EQ(RunCgi(oversized).out, kEmptyResponse);

  RunResult r = RunCapture({STREAM_ADMIN_BIN},
                           {"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
                            "CONTENT_LENGTH=100"},
                           "cmd=GUI_ice_get");
  EXPECT_EQ(r.out, kEmptyResponse);
  EXPECT_EQ(r.status, 0);
}

}  // namespace
