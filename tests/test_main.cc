// Test entry: refuses to run outside the private /tmp that sandbox.sh makes,
// because the programs under test read and write /tmp/iceconf.dir.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  const char* sandbox = std::getenv("WAVELORN_SANDBOX");
  if (sandbox == nullptr || std::strcmp(sandbox, "1") != 0) {
    std::fprintf(stderr, "run this test through tests/sandbox.sh (or ctest): it needs a private /tmp\n");
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
