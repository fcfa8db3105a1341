#include "lib/process_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/unique_fd.h"
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
  EXPECT_EQ(user_server_becomes(0), 0u);  // no log folder: the stream user
  ASSERT_EQ(::mkdir("/var/log/wavelorn", 01770), 0);
  EXPECT_EQ(user_server_becomes(0), 99u);
  EXPECT_EQ(user_server_becomes(1000), 1000u);
  ASSERT_EQ(::chown("/var/log/wavelorn", 12345, 12345), 0);
  EXPECT_EQ(user_server_becomes(0), 12345u);
  // No nobody, or no number for it: none but root.
  ASSERT_EQ(::chown("/var/log/wavelorn", 0, 0), 0);
  WriteFile(passwd, "root:x:0:0:root:/root:/bin/sh\nnobody:x::98:nobody:/:/bin/false\n");
  EXPECT_EQ(user_server_becomes(0), 0u);
  WriteFile(passwd, "root:x:0:0:root:/root:/bin/sh\n");
  EXPECT_EQ(user_server_becomes(0), 0u);
}

}  // namespace

namespace {

// Only the sockets that listen on the port are listed, both kinds, with their
// owner: an established connection on the same port is none of them.
TEST(ProcessTableTest, ListeningSocketsAreTheListenersOfThePortOnly) {
  auto listener = [](int family, int& port) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address = {};
    socklen_t length;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_any;
      length = sizeof *v6;
    }
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    EXPECT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return fd;
  };
  auto inode = [](int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? std::to_string(st.st_ino) : std::string();
  };
  int v4_port = 0, v6_port = 0;
  UniqueFd v4 = listener(AF_INET, v4_port);
  UniqueFd v6 = listener(AF_INET6, v6_port);
  ASSERT_TRUE(v4.valid() && v6.valid());
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(v4_port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  UniqueFd accepted(::accept(v4.get(), nullptr, nullptr));
  ASSERT_TRUE(accepted.valid());

  const std::string me = std::to_string(::geteuid());
  std::vector<ListeningSocket> found = listening_sockets(v4_port);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].inode, inode(v4.get()));
  EXPECT_EQ(found[0].uid, me);
  found = listening_sockets(v6_port);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].inode, inode(v6.get()));
  EXPECT_EQ(owns_listening_port({::getpid()}, v4_port), true);
  EXPECT_EQ(owns_listening_port({::getpid()}, v6_port), true);
}

}  // namespace
