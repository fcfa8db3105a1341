#include "lib/server_stats.h"

#include <gtest/gtest.h>

namespace {

TEST(ServerStatsTest, MountsListenersAndTitlesAreRead) {
  const char xml[] =
      "<?xml version=\"1.0\"?><icestats><admin>a</admin>"
      "<source mount=\"/Road Trip\"><genre>Mix</genre><listeners>2</listeners>"
      "<title>Track &amp; Field &#233;</title></source>"
      "<source mount=\"/O&apos;Brien\"><listeners>x</listeners></source>"
      "<source mount=\"/cut\"><listeners>1</listeners>";
  std::map<std::string, MountStats> mounts = parse_mount_stats(xml);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts["Road Trip"].listeners, 2);
  EXPECT_EQ(mounts["Road Trip"].title, "Track & Field \xC3\xA9");
  EXPECT_EQ(mounts["O'Brien"].listeners, std::nullopt);  // not a number
  EXPECT_EQ(mounts["O'Brien"].title, std::nullopt);
  EXPECT_TRUE(parse_mount_stats("").empty());
  EXPECT_TRUE(parse_mount_stats("<source mount=\"").empty());
}

// The server takes a title update without a character set for Latin-1 and
// reports it in UTF-8: the client's UTF-8 comes back a byte a character.
TEST(ServerStatsTest, TitlesSentAsUtf8AreReadBackAsSent) {
  const std::string kUnicode = "A - \xC3\x9C" "n\xC3\xAF" "c\xC3\xB8" "d\xC3\xA9";
  // "A - \u00DCn\u00EFc\u00F8d\u00E9" sent as UTF-8, as the server reports it.
  const char xml[] =
      "<source mount=\"/u\"><title>A - &#xC3;&#x9C;n&#xC3;&#xAF;c&#xC3;&#xB8;d&#xC3;&#xA9;</title></source>"
      "<source mount=\"/l\"><title>A - &#xDC;n&#xEF;c&#xF8;d&#xE9;</title></source>"
      "<source mount=\"/e\"><title>&#xE2;&#x82;&#xAC; 5</title></source>";
  std::map<std::string, MountStats> mounts = parse_mount_stats(xml);
  EXPECT_EQ(mounts["u"].title, kUnicode);
  EXPECT_EQ(mounts["l"].title, kUnicode);  // sent as Latin-1: right already
  EXPECT_EQ(mounts["e"].title, "\xE2\x82\xAC 5");                            // three bytes: the euro sign

  // Left as they are: plain ASCII; a character above U+00FF (the server was
  // told the character set, or the title is right); Latin-1 text whose bytes
  // are not UTF-8 ("\u00C3 la carte": a lead byte and a space); bytes that
  // would be an overlong form or a surrogate; text that is not UTF-8 at all.
  for (const char* kept : {"plain - title", "\xC3\x9C\xE2\x82\xAC", "\xC3\x83 la carte",
                           "\xC3\x80\xC2\x80", "\xC3\xAD\xC2\xA0\xC2\x80", "\xC3\xA9\xC3", "\xFF", ""}) {
    EXPECT_EQ(repair_title(kept), kept);
  }
  // The last byte of a sequence cut off.
  EXPECT_EQ(repair_title("x\xC3\xA2\xC2\x82"), "x\xC3\xA2\xC2\x82");
}

TEST(ServerStatsTest, NoServerMeansNoStatsWithinTheDeadline) {
  EXPECT_TRUE(fetch_mount_stats(1, "pw", std::chrono::milliseconds(200)).empty());
  EXPECT_TRUE(fetch_mount_stats(0, "pw", std::chrono::milliseconds(200)).empty());
}

}  // namespace
