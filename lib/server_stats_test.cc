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

TEST(ServerStatsTest, NoServerMeansNoStatsWithinTheDeadline) {
  EXPECT_TRUE(fetch_mount_stats(1, "pw", std::chrono::milliseconds(200)).empty());
  EXPECT_TRUE(fetch_mount_stats(0, "pw", std::chrono::milliseconds(200)).empty());
}

}  // namespace
