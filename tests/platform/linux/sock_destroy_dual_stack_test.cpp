// Resetting real loopback connections held by IPv6 sockets: native ::1
// connections, and IPv4 connections whose one end is an IPv6 socket with
// mapped addresses. Only the named connection ends; the listener of its
// port and a connection of the other family with the same ports stay.

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "platform/linux/sock_destroy_resetter.h"
#include "protocol/ip_address.h"
#include "support/inet_socket.h"
#include "support/real_socket_support.h"

namespace harlune {

void PrintTo(const ConnectionResetResult& result, std::ostream* out);

namespace {

using testing::InetPair;
using testing::InetSocket;

const IpAddress kIpv4Loopback = Ipv4Address(127, 0, 0, 1);
const IpAddress kIpv6Loopback = *ParseIpAddress("::1");
const ConnectionResetResult kOk{ConnectionResetStatus::kOk, 0};
const ConnectionResetResult kGone{ConnectionResetStatus::kGone, ENOENT};

// How a connection is made, and the address its key holds.
struct Route {
  const char* name;
  int listenerFamily;
  const char* listenAddress;
  int clientFamily;
  const char* connectAddress;
  IpAddress keyAddress;
};

const Route kNativeIpv6{"native ::1", AF_INET6, "::1", AF_INET6, "::1", kIpv6Loopback};
const Route kDualStackListener{
    "IPv4 client of a dual-stack listener", AF_INET6, "::", AF_INET, "127.0.0.1", kIpv4Loopback};
const Route kMappedClient{"IPv6 client to ::ffff:127.0.0.1",
                          AF_INET,
                          "127.0.0.1",
                          AF_INET6,
                          "::ffff:127.0.0.1",
                          kIpv4Loopback};

InetSocket Listener(const Route& route) {
  InetSocket listener = InetSocket::Open(route.listenerFamily);
  EXPECT_TRUE(listener.Listen(route.listenAddress)) << std::strerror(errno);
  return listener;
}

InetPair Connect(const InetSocket& listener, const Route& route) {
  return testing::ConnectPair(listener, route.clientFamily, route.connectAddress);
}

// A port that nothing on the route's listen address holds now.
std::uint32_t FreePort(const Route& route) { return Listener(route).Port(); }

bool ListenerServes(const InetSocket& listener, const Route& route) {
  const InetPair after = Connect(listener, route);
  return after.server.Fd() >= 0 && after.Exchanges();
}

void ExpectOnlyTheNamedConnectionEnds(const Route& route, bool clientEnd) {
  SCOPED_TRACE(std::string(route.name) + (clientEnd ? ", client end" : ", server end"));
  const InetSocket listener = Listener(route);
  const InetPair doomed = Connect(listener, route);
  const InetPair bystander = Connect(listener, route);
  ASSERT_TRUE(doomed.server.Fd() >= 0 && bystander.server.Fd() >= 0);
  const InetSocket& local = clientEnd ? doomed.client : doomed.server;
  const InetSocket& peer = clientEnd ? doomed.server : doomed.client;
  const std::uint32_t peerPort = clientEnd ? listener.Port() : doomed.client.Port();
  const TcpFourTuple key{route.keyAddress, local.Port(), route.keyAddress, peerPort};

  SockDestroyResetter resetter;
  const ConnectionResetResult result = resetter.ResetConnection(key);
  if (result.status == ConnectionResetStatus::kNotSupported) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  ASSERT_EQ(result, kOk);
  const int peerError = peer.ReceiveError();
  EXPECT_TRUE(peerError == ECONNRESET || peerError == ECONNABORTED) << std::strerror(peerError);
  const int localError = local.ReceiveError();
  EXPECT_TRUE(localError == ECONNABORTED || localError == ECONNRESET) << std::strerror(localError);
  EXPECT_TRUE(bystander.Exchanges());
  EXPECT_EQ(resetter.ResetConnection(key), kGone);
  EXPECT_TRUE(ListenerServes(listener, route)) << "the listening socket must survive";
}

class SockDestroyDualStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HasNetAdmin()) {
      GTEST_SKIP() << "resetting a connection needs CAP_NET_ADMIN";
    }
    if (InetSocket::Open(AF_INET6).Fd() < 0 || !InetSocket::Open(AF_INET6).Listen("::1")) {
      GTEST_SKIP() << "this system has no IPv6 loopback";
    }
  }
};

TEST_F(SockDestroyDualStackTest, EndsConnectionsOfIPv6SocketsFromEitherEnd) {
  for (const Route& route : {kNativeIpv6, kDualStackListener, kMappedClient}) {
    for (const bool clientEnd : {true, false}) {
      ExpectOnlyTheNamedConnectionEnds(route, clientEnd);
    }
  }
}

TEST_F(SockDestroyDualStackTest, KeysOfEndedConnectionsNeverReachTheListener) {
  for (const Route& route : {kNativeIpv6, kDualStackListener}) {
    SCOPED_TRACE(route.name);
    const InetSocket listener = Listener(route);
    const TcpFourTuple ended{route.keyAddress, listener.Port(), route.keyAddress, FreePort(route)};
    EXPECT_EQ(SockDestroyResetter().ResetConnection(ended), kGone);
    EXPECT_TRUE(ListenerServes(listener, route)) << "the listening socket must survive";
  }
}

TEST_F(SockDestroyDualStackTest, AKeyOfTheOtherFamilyWithTheSamePortsEndsNothing) {
  const InetSocket listener = Listener(kNativeIpv6);
  const InetPair pair = Connect(listener, kNativeIpv6);
  ASSERT_GE(pair.server.Fd(), 0);
  SockDestroyResetter resetter;
  // The ports of the ::1 connection with IPv4 addresses, and the reverse.
  EXPECT_EQ(
      resetter.ResetConnection({kIpv4Loopback, pair.client.Port(), kIpv4Loopback, listener.Port()}),
      kGone);
  EXPECT_EQ(resetter.ResetConnection(
                {*ParseIpAddress("::2"), pair.client.Port(), kIpv6Loopback, listener.Port()}),
            kGone);
  EXPECT_TRUE(pair.Exchanges());
}

}  // namespace
}  // namespace harlune
