#include "lib/stream_configs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "lib/config_dir.h"
#include "tests/test_util.h"

namespace {

std::string ServerXml(const std::string& port) {
  return "<icecast>\n"
         "  <limits>\n"
         "    <clients>100</clients>\n"
         "    <sources>5</sources>\n"
         "    <threadpool>5</threadpool>\n"
         "    <queue-size>524288</queue-size>\n"
         "    <client-timeout>30</client-timeout>\n"
         "    <header-timeout>15</header-timeout>\n"
         "    <source-timeout>10</source-timeout>\n"
         "    <burst-on-connect>1</burst-on-connect>\n"
         "    <burst-size>65535</burst-size>\n"
         "  </limits>\n"
         "\n"
         "  <authentication>\n"
         "    <source-password>quillfen</source-password>\n"
         "    <admin-user>admin</admin-user>\n"
         "    <admin-password>quillfen</admin-password>\n"
         "  </authentication>\n"
         "\n"
         "  <hostname>localhost</hostname>\n"
         "\n"
         "  <listen-socket>\n"
         "    <port>" + port + "</port>\n"
         "  </listen-socket>\n"
         "\n"
         "  <fileserve>1</fileserve>\n"
         "\n"
         "  <paths>\n"
         "    <logdir>/var/log/wavelorn</logdir>\n"
         "  </paths>\n"
         "\n"
         "  <logging>\n"
         "    <accesslog>access.log</accesslog>\n"
         "    <errorlog>error.log</errorlog>\n"
         "    <playlistlog>playlist.log</playlistlog>\n"
         "    <loglevel>3</loglevel>\n"
         "    <logsize>256</logsize>\n"
         "  </logging>\n"
         "\n"
         "  <security>\n"
         "    <chroot>0</chroot>\n"
         "\n"
         "    <changeowner>\n"
         "      <user>nobody</user>\n"
         "      <group>allaccount</group>\n"
         "    </changeowner>\n"
         "  </security>\n"
         "</icecast>";
}

// A source client config as build_source_config writes it.
std::string SourceXml(const std::string& file, const std::string& rand, const std::string& port,
                      const std::string& name, const std::string& genre, const std::string& desc) {
  return "<?xml version=\"1.0\"?>\n"
         "<ices:Configuration xmlns:ices=\"http://www.icecast.org/projects/ices\">\n"
         "  <Playlist>\n"
         "    <File>" + file + "</File>\n"
         "    <Randomize>" + rand + "</Randomize>\n"
         "    <Type>builtin</Type>\n"
         "    <Module>ices</Module>\n"
         "    <Crossfade>0</Crossfade>\n"
         "  </Playlist>\n"
         "\n"
         "  <Execution>\n"
         "    <Background>1</Background>\n"
         "    <Verbose>0</Verbose>\n"
         "    <BaseDirectory>/var/log/wavelorn</BaseDirectory>\n"
         "  </Execution>\n"
         "\n"
         "  <Stream>\n"
         "    <Server>\n"
         "      <Hostname>127.0.0.1</Hostname>\n"
         "      <Port>" + port + "</Port>\n"
         "      <Password>quillfen</Password>\n"
         "      <Protocol>http</Protocol>\n"
         "    </Server>\n"
         "\n"
         "    <Mountpoint>" + name + "</Mountpoint>\n"
         "    <Name>" + name + "</Name>\n"
         "    <Genre>" + genre + "</Genre>\n"
         "    <Description>" + desc + "</Description>\n"
         "    <URL>http://localhost/</URL>\n"
         "    <Public>0</Public>\n"
         "    <Reencode>0</Reencode>\n"
         "  </Stream>\n"
         "</ices:Configuration>";
}

class StreamConfigsTest : public ::testing::Test {
 protected:
  StreamConfigsTest() { PointConfDir(conf_.path()); }
  ~StreamConfigsTest() override { ::unlink("/tmp/iceconf.dir"); }
  std::string At(const std::string& name) const { return conf_ / name; }

  TempDir conf_;
};

TEST_F(StreamConfigsTest, ServerConfigIsTheExactTemplate) {
  ASSERT_EQ(build_server_config(8000), 0);
  std::string xml = ReadFile(At("icecast.xml"));
  EXPECT_EQ(xml, ServerXml("8000"));
  EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'), 47);
  ASSERT_EQ(build_server_config(8010), 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), ServerXml("8010"));
  EXPECT_EQ(ListDir(conf_.path()), std::vector<std::string>{"icecast.xml"});
}

TEST_F(StreamConfigsTest, SourceConfigFromSettingsIsTheExactTemplate) {
  WriteFile(At("simple-icecast-conf"), "port=8010\n");
  ASSERT_EQ(build_source_config("Jazz", "Jazz", "", "1"), 0);
  std::string xml = ReadFile(At("ices.conf-Jazz"));
  EXPECT_EQ(xml, SourceXml(At("playlist-Jazz"), "1", "8010", "Jazz", "Jazz", ""));
  EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'), 32);

  ::unlink(At("simple-icecast-conf").c_str());
  ASSERT_EQ(build_source_config("Jazz", "", "", "x"), 0);
  EXPECT_EQ(ReadFile(At("ices.conf-Jazz")), SourceXml(At("playlist-Jazz"), "0", "8000", "Jazz", "", ""));
}

TEST_F(StreamConfigsTest, TextsAreEscapedButTheFileNameKeepsTheName) {
  ASSERT_EQ(build_source_config("Rock & <Roll>", "Rock & Roll", "<Port>9</Port> \x01 it's", "1"), 0);
  EXPECT_EQ(ReadFile(At("ices.conf-Rock & <Roll>")),
            SourceXml(At("playlist-Rock &amp; &lt;Roll&gt;"), "1", "8000", "Rock &amp; &lt;Roll&gt;",
                      "Rock &amp; Roll", "&lt;Port&gt;9&lt;/Port&gt;  it's"));
  // The port rewrite sees only the real Port line.
  rewrite_source_ports("8020");
  EXPECT_EQ(ReadFile(At("ices.conf-Rock & <Roll>")),
            SourceXml(At("playlist-Rock &amp; &lt;Roll&gt;"), "1", "8020", "Rock &amp; &lt;Roll&gt;",
                      "Rock &amp; Roll", "&lt;Port&gt;9&lt;/Port&gt;  it's"));
}

TEST_F(StreamConfigsTest, AbsentTextsGetDefaultsAndReencodeAddsTwoLines) {
  SourceConfig config;
  config.name = "Mix";
  EXPECT_EQ(write_source_config(config), 1);  // no file: nothing written
  EXPECT_FALSE(Exists(At("ices.conf-Mix")));
  config.file = "/p";
  config.reencode = 1;
  ASSERT_EQ(write_source_config(config), 0);
  std::string xml = ReadFile(At("ices.conf-Mix"));
  EXPECT_NE(xml.find("    <Genre>Genre</Genre>\n"), std::string::npos);
  EXPECT_NE(xml.find("    <Description>KVT-480 MP3 Streaming - Mix</Description>\n"), std::string::npos);
  EXPECT_NE(xml.find("    <Reencode>1</Reencode>\n    <Bitrate>128</Bitrate>\n    <Samplerate>0</Samplerate>\n  </Stream>"),
            std::string::npos);
  EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'), 34);

  config.name = "../escape";
  EXPECT_EQ(write_source_config(config), 1);
  EXPECT_FALSE(Exists(conf_.path() + "/../escape"));
}

// They carry the password: whatever the umask, only their owner reads them.
TEST_F(StreamConfigsTest, GeneratedFilesAreTheOwnersAlone) {
  mode_t old = ::umask(0);
  build_server_config(8000);
  build_source_config("A", "", "", "0");
  ::umask(old);
  for (const char* name : {"icecast.xml", "ices.conf-A"}) {
    struct stat st;
    ASSERT_EQ(::stat(At(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

TEST_F(StreamConfigsTest, UnwritableDirectoryLeavesOldFilesAndFails) {
  PointConfDir(At("missing"));
  EXPECT_EQ(build_server_config(8000), 1);
  EXPECT_EQ(build_source_config("A", "", "", "0"), 1);
  EXPECT_EQ(rewrite_source_ports("1"), 1);
}

TEST_F(StreamConfigsTest, PortRewriteReplacesOnlyPortLines) {
  struct Case {
    std::string name, before, after;
  } cases[] = {
      {"ices.conf-plain", "a\n      <Port>8000</Port>\nb", "a\n      <Port>9000</Port>\nb"},
      {"ices.conf-inside", "x<Port>y\n<Name>z</Name>\n", "      <Port>9000</Port>\n<Name>z</Name>\n"},
      {"ices.conf-last", "a\n<Port>1</Port>", "a\n      <Port>9000</Port>\n"},
      {"ices.conf-newline-end", "a\nb\n", "a\nb\n"},
      {"ices.conf-empty", "", ""},
      {"ices.conf-", "<Port>1</Port>", "<Port>1</Port>"},
      {"icecast.xml", "<Port>1</Port>", "<Port>1</Port>"},
      {"playlist-ices.conf-x", "<Port>1</Port>", "<Port>1</Port>"},
  };
  for (const Case& c : cases) WriteFile(At(c.name), c.before);
  ::mkdir(At("ices.conf-folder").c_str(), 0755);
  ASSERT_EQ(rewrite_source_ports("9000"), 0);
  for (const Case& c : cases) EXPECT_EQ(ReadFile(At(c.name)), c.after) << c.name;
  std::vector<std::string> names = ListDir(conf_.path());
  EXPECT_EQ(names.size(), std::size(cases) + 1);  // no temporary file left behind
}

std::string WithPassword(std::string text, const std::string& password) {
  for (std::size_t at; (at = text.find(">quillfen<")) != std::string::npos;) text.replace(at + 1, 8, password);
  return text;
}

TEST_F(StreamConfigsTest, StoredPasswordReachesEveryGeneratedFileEscaped) {
  WriteFile(At("simple-icecast-conf"), "port=8010\npasswd=p&w<1>\n");
  ASSERT_EQ(build_server_config(8010), 0);
  ASSERT_EQ(build_source_config("Jazz", "Jazz", "", "1"), 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), WithPassword(ServerXml("8010"), "p&amp;w&lt;1&gt;"));
  EXPECT_EQ(ReadFile(At("ices.conf-Jazz")),
            WithPassword(SourceXml(At("playlist-Jazz"), "1", "8010", "Jazz", "Jazz", ""), "p&amp;w&lt;1&gt;"));
}

TEST_F(StreamConfigsTest, SyncCarriesStoredSettingsIntoGeneratedFilesOnce) {
  ASSERT_EQ(build_server_config(8000), 0);
  ASSERT_EQ(build_source_config("Jazz", "Jazz", "", "1"), 0);
  // A config of an older version names the server "localhost".
  std::string old_config = ReadFile(At("ices.conf-Jazz"));
  old_config.replace(old_config.find("127.0.0.1"), 9, "localhost");
  WriteFile(At("ices.conf-Jazz"), old_config);
  WriteFile(At("simple-icecast-conf"), "port=8010\npasswd=S3cret\n");
  ASSERT_EQ(sync_generated_configs(), 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), WithPassword(ServerXml("8010"), "S3cret"));
  EXPECT_EQ(ReadFile(At("ices.conf-Jazz")),
            WithPassword(SourceXml(At("playlist-Jazz"), "1", "8010", "Jazz", "Jazz", ""), "S3cret"));
  // Files that agree are not written again.
  struct stat before, after;
  ASSERT_EQ(::stat(At("ices.conf-Jazz").c_str(), &before), 0);
  ASSERT_EQ(sync_generated_configs(), 0);
  ASSERT_EQ(::stat(At("ices.conf-Jazz").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  // Without stored settings the files name today's default port and password.
  ::unlink(At("simple-icecast-conf").c_str());
  ASSERT_EQ(sync_generated_configs(), 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), ServerXml("8000"));
  // Settings that cannot be read move nothing: no guessed port.
  ::mkdir(At("simple-icecast-conf").c_str(), 0755);
  WriteFile(At("icecast.xml"), "kept");
  EXPECT_EQ(sync_generated_configs(), 0);
  EXPECT_EQ(ReadFile(At("icecast.xml")), "kept");
}

}  // namespace
