// GUI_ice_playlist of the built stream_admin: the rows response byte for byte.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <utility>

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

// The table reads settings files without their lock (every rewrite is a
// rename), and what a locked read refuses it refuses too.
TEST_F(PlaylistTableTest, UnreadableSettingsGiveTheNameCellOnlyAndALockedFileIsReadAtOnce) {
  AddPlaylist("Big", "genre=x\n" + std::string(64 * 1024, '#'));
  WriteFile(At("playlist-Folder"), "");
  ASSERT_EQ(::mkdir(At("simple-ices-conf-Folder").c_str(), 0755), 0);
  WriteFile(At("playlist-Fifo"), "");
  ASSERT_EQ(::mkfifo(At("simple-ices-conf-Fifo").c_str(), 0644), 0);
  WriteFile(At("playlist-Link"), "");
  WriteFile(At("elsewhere"), "genre=Linked\n");
  ASSERT_EQ(::symlink(At("elsewhere").c_str(), At("simple-ices-conf-Link").c_str()), 0);
  AddPlaylist("Held", "genre=Jazz\nrand=1\nenabled=0\n");
  int held = ::open(At("simple-ices-conf-Held").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  std::string table = Table();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ::close(held);
  EXPECT_EQ(table, Rows("<row id=\"1\"><cell>Big</cell></row><row id=\"2\"><cell>Fifo</cell></row>"
                        "<row id=\"3\"><cell>Folder</cell></row>"
                        "<row id=\"4\"><cell>-</cell><cell>Held</cell><cell>Jazz</cell><cell></cell><cell>Yes</cell>"
                        "<cell>&lt;a href=javascript:isplaylist_enable('Held')&gt;&lt;IMG border='0' "
                        "src='/web/images/start.png'&gt;&lt;/a&gt;</cell></row>"
                        "<row id=\"5\"><cell>Link</cell></row><page>1</page><total>5</total>"));
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

// What a browser makes of a link cell, step by step: the XML text of the
// cell is an HTML fragment; its unquoted href ends at white space or ">"; the
// javascript: URL is percent-decoded into a script; the script is a call with
// one single-quoted string argument. Returns the function and the argument,
// or "<broken>" at the first step that fails.
std::string XmlText(std::string_view xml) {
  std::string out;
  for (std::size_t i = 0; i < xml.size(); ++i) {
    if (xml[i] != '&') {
      out += xml[i];
      continue;
    }
    std::size_t semi = xml.find(';', i);
    std::string_view entity = xml.substr(i + 1, semi - i - 1);
    out += entity == "lt" ? '<' : entity == "gt" ? '>' : entity == "amp" ? '&' : entity == "quot" ? '"' : '\'';
    i = semi;
  }
  return out;
}

std::pair<std::string, std::string> FollowLink(const std::string& cell_xml) {
  const std::string fragment = XmlText(cell_xml);
  const std::string open = "<a href=";
  if (!fragment.starts_with(open)) return {"<broken>", fragment};
  std::size_t end = fragment.find_first_of(" \t\n>", open.size());
  std::string url = fragment.substr(open.size(), end - open.size());
  if (!url.starts_with("javascript:")) return {"<broken>", url};
  std::string script;
  for (std::size_t i = 11; i < url.size(); ++i) {
    auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    if (url[i] == '%' && i + 2 < url.size() && std::isxdigit(url[i + 1]) && std::isxdigit(url[i + 2])) {
      script += static_cast<char>(hex(url[i + 1]) * 16 + hex(url[i + 2]));
      i += 2;
    } else {
      script += url[i];
    }
  }
  std::size_t paren = script.find("('");
  if (paren == std::string::npos || !script.ends_with("')")) return {"<broken>", script};
  std::string function = script.substr(0, paren), argument;
  for (std::size_t i = paren + 2; i + 2 < script.size(); ++i) {
    char c = script[i];
    if (c == '\'') return {"<broken>", script};  // the string ended early
    if (c == '\\') {
      if (script[i + 1] == 'x' && i + 3 < script.size()) {
        argument += static_cast<char>(std::stoi(script.substr(i + 2, 2), nullptr, 16));
        i += 3;
      } else {
        argument += script[++i];
      }
    } else {
      argument += c;
    }
  }
  return {function, argument};
}

// The link cells of each row of a table, in order.
std::vector<std::string> LinkCells(const std::string& table) {
  std::vector<std::string> cells;
  for (std::size_t at = 0; (at = table.find("<cell>&lt;a href=", at)) != std::string::npos;) {
    at += 6;
    cells.push_back(table.substr(at, table.find("</cell>", at) - at));
  }
  return cells;
}

TEST_F(PlaylistTableTest, LinksHandTheExactNameToThePageFunctions) {
  const std::vector<std::string> names = {
      "Road Trip", "O'Brien", "say \"hi\"", "back\\slash", "100%", "<b>bold", "Rock&Roll", "x=y",
      "`tick`",    "Caf\xC3\xA9 \xE2\x80\xA8", "a)b;c", "#1?q", "%41",
  };
  for (const std::string& name : names) {
    AddPlaylist(name, "enabled=1\n");
    std::vector<std::string> cells = LinkCells(Table());
    ASSERT_EQ(cells.size(), 2u) << name;
    EXPECT_EQ(FollowLink(cells[0]), std::make_pair(std::string("ices_playlist"), "8000/" + name + ".m3u")) << name;
    EXPECT_EQ(FollowLink(cells[1]), std::make_pair(std::string("isplaylist_disable"), name)) << name;
    WriteFile(At("simple-ices-conf-" + name), "enabled=0\n");
    cells = LinkCells(Table());
    ASSERT_EQ(cells.size(), 1u) << name;
    EXPECT_EQ(FollowLink(cells[0]), std::make_pair(std::string("isplaylist_enable"), name)) << name;
    ::unlink(At("playlist-" + name).c_str());
    ::unlink(At("simple-ices-conf-" + name).c_str());
  }
  // Names of letters, digits and "-_.~" keep their bytes.
  AddPlaylist("Mix_2.0~-x", "enabled=1\n");
  EXPECT_NE(Table().find("ices_playlist('8000/Mix_2.0~-x.m3u')"), std::string::npos);
}

TEST_F(PlaylistTableTest, TextCellsShowWhatTheUserTyped) {
  AddPlaylist("P", "genre=<script>alert(1)</script>\ndesc=Rock&Roll\r\n");
  std::string table = Table();
  // The page reads the cell's text and inserts it as HTML: it must come out
  // as the characters typed, not as markup.
  EXPECT_NE(table.find("<cell>&amp;lt;script&amp;gt;alert(1)&amp;lt;/script&amp;gt;</cell>"), std::string::npos);
  EXPECT_NE(table.find("<cell>Rock&amp;amp;Roll&#13;</cell>"), std::string::npos);
}

}  // namespace
