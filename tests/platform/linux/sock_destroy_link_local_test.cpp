// Resetting a connection between link-local addresses, whose socket is
// bound to its interface: the kernel finds such a socket only when the
// destroy request names the interface. The connection is made inside a
// network namespace of the test's own, on one end of a veth pair that
// carries fe80::1, so no packet leaves the namespace.

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include "platform/linux/sock_destroy_resetter.h"
#include "protocol/ip_address.h"
#include "support/real_socket_support.h"

namespace harlune {
namespace {

// The child's exit codes.
enum Outcome : int {
  kEnded = 0,           // the named connection ended and the listener served on
  kNoNamespace = 70,    // no new network namespace here
  kNoInterface = 71,    // no veth interface or no `ip` command
  kNoSockDestroy = 72,  // no SOCK_DESTROY in this kernel
  kSetUpFailed = 73,
  kNotEnded = 74,
  kPeerNotReset = 75,
  kListenerHit = 76,
};

constexpr const char* kInterface = "hl0";

int FreshSocket() {
  const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval timeout{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

sockaddr_in6 LinkLocal(std::uint32_t interfaceIndex, in_port_t port) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
  address.sin6_scope_id = interfaceIndex;
  address.sin6_port = port;
  return address;
}

in_port_t PortOf(int fd) {
  sockaddr_in6 address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return address.sin6_port;
}

// A connection from the client socket to the listener; the accepted end.
int Connect(int listener, int client, std::uint32_t interfaceIndex) {
  const sockaddr_in6 peer = LinkLocal(interfaceIndex, PortOf(listener));
  if (connect(client, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    return -1;
  }
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int ResetInOwnNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    return kNoNamespace;
  }
  if (std::system("(ip link set lo up && ip link add hl0 type veth peer name hl1 &&"
                  " ip link set hl1 up && ip link set hl0 up &&"
                  " ip -6 addr add fe80::1/64 dev hl0 nodad) >/dev/null 2>&1") != 0) {
    return kNoInterface;
  }
  const std::uint32_t index = if_nametoindex(kInterface);
  const int listener = FreshSocket();
  const sockaddr_in6 bound = LinkLocal(index, 0);
  const int client = FreshSocket();
  if (bind(listener, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
      listen(listener, 4) != 0) {
    return kSetUpFailed;
  }
  const int server = Connect(listener, client, index);
  if (server < 0) {
    return kSetUpFailed;
  }
  const IpAddress address = *ParseIpAddress("fe80::1");
  const ConnectionResetResult result =
      SockDestroyResetter().ResetConnection({address, PortOf(client), address, PortOf(listener)});
  if (result.status == ConnectionResetStatus::kNotSupported) {
    return kNoSockDestroy;
  }
  if (result.status != ConnectionResetStatus::kOk) {
    return kNotEnded;
  }
  char byte = 0;
  if (recv(server, &byte, 1, 0) >= 0 || (errno != ECONNRESET && errno != ECONNABORTED)) {
    return kPeerNotReset;
  }
  return Connect(listener, FreshSocket(), index) >= 0 ? kEnded : kListenerHit;
}

TEST(SockDestroyLinkLocalTest, EndsAConnectionBoundToItsInterface) {
  if (!testing::HasNetAdmin()) {
    GTEST_SKIP() << "a network namespace and a reset need CAP_NET_ADMIN";
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    _exit(ResetInOwnNamespace());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  switch (WEXITSTATUS(status)) {
    case kNoNamespace:
      GTEST_SKIP() << "cannot make a network namespace here";
    case kNoInterface:
      GTEST_SKIP() << "cannot make a veth interface with the ip command here";
    case kNoSockDestroy:
      GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
    default:
      EXPECT_EQ(WEXITSTATUS(status), kEnded)
          << "73 set-up failed, 74 not ended, 75 peer not reset, 76 listener hit";
  }
}

}  // namespace
}  // namespace harlune
