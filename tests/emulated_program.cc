// Host-side stand-in for a cross-built program in tests. A copy of this
// program named DIR/NAME runs DIR/../bin/NAME through the user-mode emulator
// that DIR/emulator links to, passing its own argv[0] on, so that callers
// (the tests, or stream_admin running tarnwick from its search path) see the
// cross-built program exactly as they would see it natively: same argv[0],
// arguments, environment, standard streams and exit status. No shell is
// involved and nothing depends on the kernel's binfmt_misc setup.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    std::perror("emulated program: /proc/self/exe");
    return 127;
  }
  std::string exe(self, static_cast<std::size_t>(n));
  std::size_t slash = exe.rfind('/');
  std::string dir = exe.substr(0, slash), name = exe.substr(slash + 1);
  std::string emulator = dir + "/emulator";
  std::string target = dir + "/../bin/" + name;
  std::string argv0 = argc > 0 ? argv[0] : target;
  // The emulator's own allocator (glib's slices) is not safe across a fork
  // of a multithreaded program; the guest does not see this setting.
  ::setenv("G_SLICE", "always-malloc", 1);
  std::vector<char*> args = {emulator.data(), const_cast<char*>("-U"), const_cast<char*>("G_SLICE"),
                             const_cast<char*>("-0"), argv0.data(), target.data()};
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  std::fprintf(stderr, "emulated program: cannot run %s: %s\n", emulator.c_str(), std::strerror(errno));
  return 127;
}
