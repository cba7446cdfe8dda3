// The daemon's side of a forwarded reset: a dispatcher given the sock_diag
// destroyer, as the daemon runs it, ends a real loopback connection named
// by HlResetTcpConnection and nothing else.

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

class Socket {
 public:
  explicit Socket(int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) : fd_(fd) {
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
  std::uint16_t Port() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return address.sin_port;
  }
  bool Open(bool listen, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback.Ipv4Value();
    address.sin_port = port;
    const auto* any = reinterpret_cast<const sockaddr*>(&address);
    if (listen) {
      return bind(fd_, any, sizeof address) == 0 && ::listen(fd_, 4) == 0;
    }
    return connect(fd_, any, sizeof address) == 0;
  }
  // The errno of the next receive, 0 when a byte arrived.
  int ReceiveError() const {
    char byte = 0;
    return recv(fd_, &byte, 1, 0) == 1 ? 0 : errno;
  }

 private:
  int fd_;
};

struct Pair {
  Socket client;
  Socket server;
  explicit Pair(const Socket& listener)
      : client(),
        server(client.Open(false, listener.Port())
                   ? accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC)
                   : -1) {}
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

TEST(DaemonConnectionReset, EndsTheNamedLoopbackConnectionAndNoOther) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "ending another process's connection needs root (CAP_NET_ADMIN)";
  }
  ManualClock clock;
  PacketEngine engine(clock);
  engine.AddAdapter("eth0");
  RequestDispatcher dispatcher(engine, sock_diag::DestroyTcpConnection);
  ConnectionState connection;
  const auto path = protocol::EncodeUtf16Le(u"\\DEVICE\\eth0");
  ASSERT_EQ(Send(dispatcher, connection, protocol::RequestCode::HlBindAdapter, path).status, 0u);

  Socket listener;
  ASSERT_TRUE(listener.Open(true, 0));
  const Pair doomed(listener);
  const Pair bystander(listener);
  ASSERT_TRUE(doomed.server.Fd() >= 0 && bystander.server.Fd() >= 0);
  const auto tuple =
      protocol::EncodeTcpFourTuple({kLoopback, doomed.client.Port(), kLoopback, listener.Port()});

  const Answer answer =
      Send(dispatcher, connection, protocol::RequestCode::HlResetTcpConnection, tuple);
  ASSERT_EQ(answer.error, 0u);
  if (answer.status == static_cast<std::uint32_t>(EOPNOTSUPP)) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  ASSERT_EQ(answer.status, 0u) << std::strerror(static_cast<int>(answer.status));
  const int peerError = doomed.server.ReceiveError();
  EXPECT_TRUE(peerError == ECONNRESET || peerError == ECONNABORTED) << std::strerror(peerError);
  EXPECT_TRUE(bystander.Exchanges());
  // The same tuple now names nothing; the listener of its port survives.
  EXPECT_EQ(Send(dispatcher, connection, protocol::RequestCode::HlResetTcpConnection, tuple).status,
            static_cast<std::uint32_t>(ENOENT));
  const Pair after(listener);
  EXPECT_TRUE(after.Exchanges()) << "the listening socket must survive";
}

}  // namespace
}  // namespace harlune
