// GUI_ice_playlist of the built stream_admin: the rows response byte for byte.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi_fixture.h"

namespace {

class PlaylistTableTest : public CgiTest {
 protected:
  std::string Table(const std::string& page = "1") const {
    Fields fields = {{"cmd", "GUI_ice_playlist"}};
    if (page != "<absent>") fields.emplace_back("page", page);
    return Cgi(fields).out;
  }
  static std::string Rows(const std::string& body) { return kRowsHead + ("<rows>" + body + "</rows>"); }
  void AddPlaylist(const std::string& name, const std::string& settings) {
    WriteFile(At("playlist-" + name), "");
    WriteFile(At("simple-ices-conf-" + name), settings);
  }
};

const char kPlaylist01Row[] =
    "<row id=\"1\"><cell>&lt;a href=javascript:ices_playlist('8000/Playlist-01.m3u')&gt;&lt;IMG border='0' "
    "width='20' src='/sonorell/tunein.png'&gt;&lt;/a&gt;</cell><cell>Playlist-01</cell><cell>Jazz</cell><cell></cell>"
    "<cell>Yes</cell><cell>&lt;a href=javascript:isplaylist_disable('Playlist-01')&gt;&lt;IMG border='0' "
    "src='/web/images/stop.png'&gt;&lt;/a&gt;</cell></row>";
const char kRockRow[] =
    "<row id=\"2\"><cell>-</cell><cell>Rock</cell><cell></cell><cell></cell><cell>No</cell><cell>&lt;a "
    "href=javascript:isplaylist_enable('Rock')&gt;&lt;IMG border='0' src='/web/images/start.png'&gt;&lt;/a&gt;"
    "</cell></row>";

TEST_F(PlaylistTableTest, EmptyAndMissingDirectoriesGiveAnEmptyTable) {
  EXPECT_EQ(Table(), Rows("<page>1</page><total>0</total>"));
  PointConfDir(At("missing"));
  EXPECT_EQ(Table(), Rows("<page>1</page><total>0</total>"));
  EXPECT_FALSE(Exists(At("missing")));
}

TEST_F(PlaylistTableTest, PageIsEchoedCutToThreeCharacters) {
  EXPECT_EQ(Table("12345"), Rows("<page>123</page><total>0</total>"));
  EXPECT_EQ(Table("<absent>"), Rows("<page></page><total>0</total>"));
  EXPECT_EQ(Table("&<"), Rows("<page>&amp;&lt;</page><total>0</total>"));
}

TEST_F(PlaylistTableTest, TheTwoExampleRowsByteForByte) {
  AddPlaylist("Playlist-01", "name=Playlist-01\ngenre=Jazz\ndesc=\nrand=1\nenabled=1\n");
  AddPlaylist("Rock", "name=Rock\ngenre=\ndesc=\nrand=0\nenabled=0\n");
  EXPECT_EQ(Table(), Rows(std::string(kPlaylist01Row) + kRockRow + "<page>1</page><total>2</total>"));
}

TEST_F(PlaylistTableTest, RowsComeInByteOrderAndOnlyForPlaylistFiles) {
  for (const char* name : {"Rock", "Playlist-10", "Playlist-02", "jazz"}) AddPlaylist(name, "");
  WriteFile(At("playlist-"), "");                       // no name after the prefix
  ::mkdir(At("playlist-folder").c_str(), 0755);         // not a regular file
  WriteFile(At("Playlist-Rock"), "");                   // other case
  WriteFile(At("simple-ices-conf-settings-only"), "");  // no playlist file
  ASSERT_EQ(::symlink(At("missing").c_str(), At("playlist-dangling").c_str()), 0);
  ASSERT_EQ(::symlink(At("playlist-jazz").c_str(), At("playlist-linked").c_str()), 0);
  std::string table = Table();
  // Each row here starts <row id="N"><cell>-</cell><cell>NAME</cell>.
  std::vector<std::string> names;
  const std::string row = "<row id=\"", lead = "\"><cell>-</cell><cell>";
  for (std::size_t pos = 0; (pos = table.find(row, pos)) != std::string::npos; ++pos) {
    std::size_t id = pos + row.size(), name = table.find(lead, id) + lead.size();
    names.push_back(table.substr(id, name - lead.size() - id) + ":" +
                    table.substr(name, table.find("</cell>", name) - name));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"1:Playlist-02", "2:Playlist-10", "3:Rock", "4:jazz", "5:linked"}));
  EXPECT_TRUE(table.ends_with("<page>1</page><total>5</total></rows>"));
}

TEST_F(PlaylistTableTest, PlaylistFileWithoutSettingsGetsDefaultsAndCreatesNothing) {
  WriteFile(At("playlist-Lone"), "");
  EXPECT_EQ(Table(), Rows("<row id=\"1\"><cell>-</cell><cell>Lone</cell><cell></cell><cell></cell><cell>No</cell>"
                          "<cell>&lt;a href=javascript:isplaylist_enable('Lone')&gt;&lt;IMG border='0' "
                          "src='/web/images/start.png'&gt;&lt;/a&gt;</cell></row><page>1</page><total>1</total>"));
  EXPECT_FALSE(Exists(At("simple-ices-conf-Lone")));
}

TEST_F(PlaylistTableTest, TuneInLinkCarriesTheStoredPortAndOnlyTheFirstCharacterCounts) {
  AddPlaylist("On", "enabled=10\nrand=1x\n");
  AddPlaylist("Off", "enabled=yes\nrand=0\n");
  WriteFile(At("simple-icecast-conf"), "port=8010\n");
  std::string table = Table();
  EXPECT_NE(table.find("ices_playlist('8010/On.m3u')"), std::string::npos);
  EXPECT_NE(table.find("<cell>On</cell><cell></cell><cell></cell><cell>Yes</cell>"), std::string::npos);
  EXPECT_NE(table.find("<cell>-</cell><cell>Off</cell><cell></cell><cell></cell><cell>No</cell>"), std::string::npos);
  EXPECT_NE(table.find("isplaylist_disable('On')"), std::string::npos);
  EXPECT_NE(table.find("isplaylist_enable('Off')"), std::string::npos);
}

TEST_F(PlaylistTableTest, TextsAreEscapedSoOneOddPlaylistCannotBreakTheTable) {
  AddPlaylist("R&B <live>", "genre=Rock & Roll\ndesc=a<b \x01 it's\nrand=0\nenabled=1\n");
  // The page inserts each cell's text as HTML: text cells hold their value
  // HTML-escaped, and the names in links are encoded for the href.
  EXPECT_EQ(Table(), Rows("<row id=\"1\"><cell>&lt;a href=javascript:ices_playlist('8000/R%26B%20%3Clive%3E.m3u')"
                          "&gt;&lt;IMG border='0' width='20' src='/sonorell/tunein.png'&gt;&lt;/a&gt;</cell>"
                          "<cell>R&amp;amp;B &amp;lt;live&amp;gt;</cell><cell>Rock &amp;amp; Roll</cell>"
                          "<cell>a&amp;lt;b  it's</cell>"
                          "<cell>No</cell><cell>&lt;a href=javascript:isplaylist_disable('R%26B%20%3Clive%3E')"
                          "&gt;&lt;IMG border='0' src='/web/images/stop.png'&gt;&lt;/a&gt;</cell></row>"
                          "<page>1</page><total>1</total>"));
  // A port that was edited by hand cannot break out of the link either.
  WriteFile(At("simple-icecast-conf"), "port=8\x01" "0'0\r\n");
  EXPECT_NE(Table().find("ices_playlist('8%010%5Cx270%0D/R%26B"), std::string::npos);
}

}  // namespace
