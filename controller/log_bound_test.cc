#include "controller/log_bound.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

TEST(LogBoundTest, AFullSourceLogKeepsItsNewestPartAsOldAndStartsAfresh) {
  TempDir dir;
  std::string log;
  for (int line = 0; log.size() <= static_cast<std::size_t>(kSourceLogLimit) + 4096; ++line) {
    log += Numbered("Playing track ", line) + "\n";
  }
  WriteFile(dir / "ices.log", log);
  EXPECT_TRUE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "ices.log"), "");
  EXPECT_EQ(ReadFile(dir / "ices.log.old"), log.substr(log.size() - kSourceLogLimit));
  // Within the limit, or not a regular file of its own: left alone.
  WriteFile(dir / "ices.log", "short\n");
  EXPECT_FALSE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "ices.log"), "short\n");
  ::unlink((dir / "ices.log").c_str());
  WriteFile(dir / "elsewhere", log);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "ices.log").c_str()), 0);
  EXPECT_FALSE(bound_source_client_log(dir.path()));
  EXPECT_EQ(ReadFile(dir / "elsewhere"), log);
}

}  // namespace
