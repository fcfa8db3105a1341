#include "lib/process_table.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// A child process that listens on 127.0.0.1:`port` as user `uid` until
// killed; its pid, once it listens.
pid_t ListenAs(int port, uid_t uid) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(3);
    if (ListenOn(port) < 0) ::_exit(4);
    (void)!::write(ready[1], "x", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte;
  bool up = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  return up ? child : -1;
}

// owns_listening_port as user `uid` sees it: 1, 0, or 2 for "cannot tell".
int OwnsAs(uid_t uid, pid_t server, int port) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(3);
    std::optional<bool> owns = owns_listening_port({server}, port);
    ::_exit(!owns ? 2 : *owns ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Stop(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(ProcessTableTest, TheListenersOwnerTellsWhenItsDescriptorsCannotBeRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  const uid_t nobody = 65534;
  // A server of root's, asked about by another user: its descriptors are
  // closed to that user, its socket's owner is not.
  pid_t server = ListenAs(8051, 0);
  ASSERT_GT(server, 0);
  EXPECT_EQ(OwnsAs(0, server, 8051), 1);
  EXPECT_EQ(OwnsAs(nobody, server, 8051), 1);
  // Another user's program on the port is never taken for the server.
  pid_t foreign = ListenAs(8052, nobody);
  ASSERT_GT(foreign, 0);
  EXPECT_EQ(OwnsAs(0, server, 8052), 0);
  EXPECT_NE(OwnsAs(nobody, server, 8052), 1);
  Stop(foreign);
  Stop(server);
}

// Started by root, the server is nobody; the boot script keeps the log
// folder root's when the streams run as root, so nobody is looked up in
// /etc/passwd. A folder given to the server (as before) still names it.
TEST(ProcessTableTest, RootsServerIsTheLogFoldersOwnerOrNobody) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  // The test's own /var/log and /etc/passwd (the sandbox's mount namespace
  // is private).
  TempDir etc;
  const std::string passwd = etc / "passwd";
  ASSERT_EQ(::mount("wavelorn-log", "/var/log", "tmpfs", 0, nullptr), 0);
  WriteFile(passwd, "");
  ASSERT_EQ(::mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    ~Unmount() {
      ::umount2("/etc/passwd", MNT_DETACH);
      ::umount2("/var/log", MNT_DETACH);
    }
  } unmount;
  WriteFile(passwd, "root:x:0:0:root:/root:/bin/sh\nnobodyelse:x:7:7::/:/bin/false\nnobody:x:99:98:nobody:/:/bin/false\n");
  EXPECT_EQ(server_user(0), 0u);  // no log folder: the stream user
  ASSERT_EQ(::mkdir("/var/log/wavelorn", 01770), 0);
  EXPECT_EQ(server_user(0), 99u);
  EXPECT_EQ(server_user(1000), 1000u);
  ASSERT_EQ(::chown("/var/log/wavelorn", 12345, 12345), 0);
  EXPECT_EQ(server_user(0), 12345u);
  // No nobody, or no number for it: none but root.
  ASSERT_EQ(::chown("/var/log/wavelorn", 0, 0), 0);
  WriteFile(passwd, "root:x:0:0:root:/root:/bin/sh\nnobody:x::98:nobody:/:/bin/false\n");
  EXPECT_EQ(server_user(0), 0u);
  WriteFile(passwd, "root:x:0:0:root:/root:/bin/sh\n");
  EXPECT_EQ(server_user(0), 0u);
}

}  // namespace
