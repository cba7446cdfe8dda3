// The daemon's side of a forwarded reset: a dispatcher given the sock_diag
// destroyer, as the daemon runs it, ends a real loopback connection named
// by HlResetTcpConnection (127.0.0.1) or HlResetTcp6Connection (::1) and
// nothing else.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "engine/engine_test_support.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/request_dispatcher.h"
#include "platform/linux/sock_diag_destroy.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "protocol/request_codes.h"
#include "protocol/tcp_four_tuple.h"
#include "protocol/utf16.h"

namespace harlune {
namespace {

const IpAddress kLoopback = Ipv4Address(127, 0, 0, 1);
const IpAddress kIpv6Loopback = *ParseIpAddress("::1");

class Socket {
 public:
  explicit Socket(int family = AF_INET)
      : Socket(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0), family) {}
  Socket(int fd, int family) : fd_(fd), family_(family) {
    const timeval timeout{2, 0};  // a test that goes wrong must not hang
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~Socket() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }
  int Family() const { return family_; }
  std::uint16_t Port() const {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    // Both families keep the port at the same place.
    return reinterpret_cast<const sockaddr_in&>(address).sin_port;
  }
  // Listens on, or connects to, the family's loopback address.
  bool Open(bool listen, std::uint16_t port) {
    sockaddr_storage storage{};
    socklen_t size = sizeof(sockaddr_in);
    if (family_ == AF_INET6) {
      auto& address = reinterpret_cast<sockaddr_in6&>(storage);
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_loopback;
      address.sin6_port = port;
      size = sizeof address;
    } else {
      auto& address = reinterpret_cast<sockaddr_in&>(storage);
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = kLoopback.Ipv4Value();
      address.sin_port = port;
    }
    const auto* any = reinterpret_cast<const sockaddr*>(&storage);
    if (listen) {
      return bind(fd_, any, size) == 0 && ::listen(fd_, 4) == 0;
    }
    return connect(fd_, any, size) == 0;
  }
  // The errno of the next receive, 0 when a byte arrived.
  int ReceiveError() const {
    char byte = 0;
    return recv(fd_, &byte, 1, 0) == 1 ? 0 : errno;
  }

 private:
  int fd_;
  int family_;
};

struct Pair {
  Socket client;
  Socket server;
  explicit Pair(const Socket& listener)
      : client(listener.Family()),
        server(client.Open(false, listener.Port())
                   ? accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC)
                   : -1,
               listener.Family()) {}
  bool Exchanges() const {
    const char byte = 'x';
    return send(client.Fd(), &byte, 1, MSG_NOSIGNAL) == 1 && server.ReceiveError() == 0;
  }
};

// Sends one request on a connection of the dispatcher; the reply's error,
// and its status word when it has one.
struct Answer {
  std::uint32_t error = 0;
  std::uint32_t status = 0xFFFFFFFF;
};

Answer Send(RequestDispatcher& dispatcher, ConnectionState& connection, protocol::RequestCode code,
            std::span<const std::uint8_t> input) {
  const protocol::RequestHeader header{static_cast<std::uint32_t>(code),
                                       static_cast<std::uint32_t>(input.size()), 4};
  const auto frame = dispatcher.Dispatch(connection, header, input);
  Answer answer;
  answer.error = protocol::LoadLe32(frame, 0);
  if (frame.size() == protocol::kReplyHeaderSize + 4) {
    answer.status = protocol::LoadLe32(frame, protocol::kReplyHeaderSize);
  }
  return answer;
}

// How one family's connections are named to the daemon.
struct Family {
  const char* name;
  int family;
  IpAddress loopback;
  protocol::RequestCode code;
};

std::vector<std::uint8_t> TupleBytes(const Family& family, const protocol::TcpFourTuple& tuple) {
  if (family.family == AF_INET6) {
    const auto bytes = protocol::EncodeTcp6FourTuple(tuple);
    return {bytes.begin(), bytes.end()};
  }
  const auto bytes = protocol::EncodeTcpFourTuple(tuple);
  return {bytes.begin(), bytes.end()};
}

void ExpectTheNamedConnectionEndsAndNoOther(const Family& family) {
  SCOPED_TRACE(family.name);
  ManualClock clock;
  PacketEngine engine(clock);
  engine.AddAdapter("eth0");
  RequestDispatcher dispatcher(engine, sock_diag::DestroyTcpConnection);
  ConnectionState connection;
  const auto path = protocol::EncodeUtf16Le(u"\\DEVICE\\eth0");
  ASSERT_EQ(Send(dispatcher, connection, protocol::RequestCode::HlBindAdapter, path).status, 0u);

  Socket listener(family.family);
  ASSERT_TRUE(listener.Open(true, 0)) << std::strerror(errno);
  const Pair doomed(listener);
  const Pair bystander(listener);
  ASSERT_TRUE(doomed.server.Fd() >= 0 && bystander.server.Fd() >= 0);
  const auto tuple =
      TupleBytes(family, {family.loopback, doomed.client.Port(), family.loopback, listener.Port()});

  const Answer answer = Send(dispatcher, connection, family.code, tuple);
  ASSERT_EQ(answer.error, 0u);
  if (answer.status == static_cast<std::uint32_t>(EOPNOTSUPP)) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  ASSERT_EQ(answer.status, 0u) << std::strerror(static_cast<int>(answer.status));
  const int peerError = doomed.server.ReceiveError();
  EXPECT_TRUE(peerError == ECONNRESET || peerError == ECONNABORTED) << std::strerror(peerError);
  EXPECT_TRUE(bystander.Exchanges());
  // The same tuple now names nothing; the listener of its port survives.
  EXPECT_EQ(Send(dispatcher, connection, family.code, tuple).status,
            static_cast<std::uint32_t>(ENOENT));
  const Pair after(listener);
  EXPECT_TRUE(after.Exchanges()) << "the listening socket must survive";
}

TEST(DaemonConnectionReset, EndsTheNamedLoopbackConnectionAndNoOther) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "ending another process's connection needs root (CAP_NET_ADMIN)";
  }
  ExpectTheNamedConnectionEndsAndNoOther(
      {"IPv4", AF_INET, kLoopback, protocol::RequestCode::HlResetTcpConnection});
}

TEST(DaemonConnectionReset, EndsTheNamedIPv6LoopbackConnectionAndNoOther) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "ending another process's connection needs root (CAP_NET_ADMIN)";
  }
  if (Socket probe(AF_INET6); !probe.Open(true, 0)) {
    GTEST_SKIP() << "this system has no IPv6 loopback";
  }
  ExpectTheNamedConnectionEndsAndNoOther(
      {"IPv6", AF_INET6, kIpv6Loopback, protocol::RequestCode::HlResetTcp6Connection});
}

}  // namespace
}  // namespace harlune
