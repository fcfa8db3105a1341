// Test entry: refuses to run outside the private /tmp that sandbox.sh makes,
// because the programs under test read and write /tmp/iceconf.dir, and
// brings up the loopback interface of the sandbox's own network namespace.

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq loopback = {};
  std::strcpy(loopback.ifr_name, "lo");
  if (fd < 0 || ::ioctl(fd, SIOCGIFFLAGS, &loopback) != 0 ||
      (loopback.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &loopback) != 0)) {
    std::fprintf(stderr, "warning: cannot bring up the loopback interface\n");
  }
  if (fd >= 0) ::close(fd);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
