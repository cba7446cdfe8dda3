// Resetting TCP connections through sock_diag, against real loopback
// connections that the tests make, and the decoding of the kernel's answers.

#include "platform/linux/sock_destroy_resetter.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>

#include "platform/linux/sock_diag_destroy.h"
#include "protocol/ip_address.h"
#include "support/loopback_socket.h"
#include "support/real_socket_support.h"

namespace harlune {

// Found by GoogleTest for readable failures.
void PrintTo(const ConnectionResetResult& result, std::ostream* out);
void PrintTo(const ConnectionResetResult& result, std::ostream* out) {
  *out << "status " << static_cast<int>(result.status) << ", errno " << result.errorCode;
}

namespace {

const IpAddress kLoopback = Ipv4Address(127, 0, 0, 1);

using Socket = testing::LoopbackSocket;
using testing::HasNetAdmin;
using testing::kCapNetAdmin;

std::unique_ptr<Socket> Listen() {
  auto listener = std::make_unique<Socket>();
  return listener->Listen() ? std::move(listener) : nullptr;
}

struct Pair {
  std::unique_ptr<Socket> client;
  std::unique_ptr<Socket> server;
};

Pair Connect(const Socket& listener) {
  Pair pair;
  pair.client = std::make_unique<Socket>();
  if (pair.client->ConnectTo(listener.Port())) {
    pair.server = std::make_unique<Socket>(accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  return pair;
}

// A port that nothing on loopback holds now.
std::uint32_t FreePort() { return Listen()->Port(); }

TcpFourTuple KeyFrom(const Socket& local, std::uint32_t remotePort) {
  return TcpFourTuple{kLoopback, local.Port(), kLoopback, remotePort};
}

// The errno of the next receive, 0 when a byte arrived.
int ReceiveError(const Socket& socket) {
  char byte = 0;
  return recv(socket.Fd(), &byte, 1, 0) == 1 ? 0 : errno;
}

bool Exchanges(const Pair& pair) {
  const char byte = 'x';
  return send(pair.client->Fd(), &byte, 1, MSG_NOSIGNAL) == 1 && ReceiveError(*pair.server) == 0;
}

const ConnectionResetResult kGone{ConnectionResetStatus::kGone, ENOENT};

TEST(SockDestroyResetterTest, ResetEndsTheNamedConnectionAndNoOther) {
  if (!HasNetAdmin()) {
    GTEST_SKIP() << "resetting a connection needs CAP_NET_ADMIN";
  }
  const auto listener = Listen();
  ASSERT_TRUE(listener);
  SockDestroyResetter resetter;
  // Either end may be the one named: the client's and the accepted socket's.
  for (const bool clientEnd : {true, false}) {
    SCOPED_TRACE(clientEnd ? "client end" : "server end");
    const Pair doomed = Connect(*listener);
    const Pair bystander = Connect(*listener);
    ASSERT_TRUE(doomed.server && bystander.server);
    ASSERT_TRUE(doomed.server->Fd() >= 0 && bystander.server->Fd() >= 0);
    const Socket& local = clientEnd ? *doomed.client : *doomed.server;
    const Socket& peer = clientEnd ? *doomed.server : *doomed.client;
    const TcpFourTuple key = KeyFrom(local, clientEnd ? listener->Port() : doomed.client->Port());

    const ConnectionResetResult result = resetter.ResetConnection(key);
    if (result.status == ConnectionResetStatus::kNotSupported) {
      GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
    }
    ASSERT_EQ(result, (ConnectionResetResult{ConnectionResetStatus::kOk, 0}));

    const int peerError = ReceiveError(peer);
    EXPECT_TRUE(peerError == ECONNRESET || peerError == ECONNABORTED) << std::strerror(peerError);
    const int localError = ReceiveError(local);
    EXPECT_TRUE(localError == ECONNABORTED || localError == ECONNRESET)
        << std::strerror(localError);
    EXPECT_TRUE(Exchanges(bystander));
    // Once ended, the same key names nothing.
    EXPECT_EQ(resetter.ResetConnection(key), kGone);
  }
  const Pair after = Connect(*listener);
  EXPECT_TRUE(after.server && after.server->Fd() >= 0) << "the listening socket must survive";
}

TEST(SockDestroyResetterTest, KeyOfAnEndedConnectionNeverReachesTheListener) {
  const auto listener = Listen();
  ASSERT_TRUE(listener);
  // The kernel's own lookup of this key finds the listener of the local
  // port; destroying what it finds would end the listener.
  const TcpFourTuple ended = KeyFrom(*listener, FreePort());
  EXPECT_EQ(SockDestroyResetter().ResetConnection(ended), kGone);
  const Pair after = Connect(*listener);
  EXPECT_TRUE(after.server && after.server->Fd() >= 0) << "the listening socket must survive";
}

TEST(SockDestroyResetterTest, KeyThatNeverExistedIsGone) {
  SockDestroyResetter resetter;
  EXPECT_EQ(resetter.ResetConnection(TcpFourTuple{kLoopback, FreePort(), kLoopback, FreePort()}),
            kGone);
  EXPECT_EQ(resetter.ResetConnection(TcpFourTuple{Ipv4Address(127, 0, 0, 9), 1, kLoopback, 1}),
            kGone);
}

// Drops CAP_NET_ADMIN from the calling process's effective set.
bool DropNetAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  data[0].effective &= ~(1u << kCapNetAdmin);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(SockDestroyResetterTest, WithoutThePrivilegeTheConnectionStaysAndSaysSo) {
  const auto listener = Listen();
  ASSERT_TRUE(listener);
  const Pair pair = Connect(*listener);
  ASSERT_TRUE(pair.server && pair.server->Fd() >= 0);
  const TcpFourTuple key = KeyFrom(*pair.client, listener->Port());

  // A child without the privilege asks; its exit code carries the status.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!DropNetAdmin()) {
      _exit(100);
    }
    _exit(static_cast<int>(SockDestroyResetter().ResetConnection(key).status));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) {
    GTEST_SKIP() << "cannot drop CAP_NET_ADMIN here";
  }
  const auto got = static_cast<ConnectionResetStatus>(WEXITSTATUS(status));
  if (got == ConnectionResetStatus::kNotSupported) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  EXPECT_EQ(got, ConnectionResetStatus::kNotPermitted);
  EXPECT_TRUE(Exchanges(pair));
}

// Datagrams as the kernel builds them.
class Datagram {
 public:
  Datagram& Message(std::uint16_t type, std::uint32_t sequence, const void* payload,
                    std::size_t size, std::size_t claimedExtra = 0) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + size + claimedExtra);
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    Append(&header, sizeof header);
    Append(payload, size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()));
    return *this;
  }
  Datagram& Error(std::uint32_t sequence, int error) {
    nlmsgerr body{};
    body.error = error;
    return Message(NLMSG_ERROR, sequence, &body, sizeof body);
  }
  std::span<const std::byte> Bytes() const { return bytes_; }

 private:
  void Append(const void* data, std::size_t size) {
    const auto* from = static_cast<const std::byte*>(data);
    bytes_.insert(bytes_.end(), from, from + size);
  }
  std::vector<std::byte> bytes_;
};

inet_diag_msg SocketMessage() {
  inet_diag_msg message{};
  message.idiag_family = AF_INET;
  message.id.idiag_src[0] = kLoopback.Ipv4Value();
  message.id.idiag_sport = 0x5000;  // port 80 in network order
  message.id.idiag_dst[0] = Ipv4(10, 0, 0, 2);
  message.id.idiag_dport = 0x3930;
  message.id.idiag_cookie[0] = 7;
  message.id.idiag_cookie[1] = 9;
  return message;
}

// An IPv6 socket's message with the two addresses' bytes.
inet_diag_msg Ipv6SocketMessage(const IpAddress& local, const IpAddress& remote) {
  inet_diag_msg message = SocketMessage();
  message.idiag_family = AF_INET6;
  std::memcpy(message.id.idiag_src, local.Ipv6Bytes().data(), 16);
  std::memcpy(message.id.idiag_dst, remote.Ipv6Bytes().data(), 16);
  message.id.idiag_if = 3;
  return message;
}

struct DoneBody {
  int value = 0;
};

using sock_diag::Answer;
using sock_diag::DecodeAnswer;

TEST(SockDiagAnswerTest, FindsTheAnswerToItsOwnRequest) {
  const inet_diag_msg message = SocketMessage();
  const DoneBody done;
  const Answer found = DecodeAnswer(Datagram()
                                        .Error(5, -EBUSY)
                                        .Message(SOCK_DIAG_BY_FAMILY, 1, &message, sizeof message)
                                        .Message(NLMSG_DONE, 1, &done, sizeof done)
                                        .Bytes(),
                                    1);
  ASSERT_TRUE(found.complete);
  ASSERT_EQ(found.sockets.size(), 1u);
  EXPECT_EQ(found.error, 0);
  EXPECT_EQ(found.sockets[0].tuple,
            (TcpFourTuple{kLoopback, 0x5000, Ipv4Address(10, 0, 0, 2), 0x3930}));
  EXPECT_EQ(found.sockets[0].family, AF_INET);
  EXPECT_EQ(found.sockets[0].cookie, (std::array<std::uint32_t, 2>{7, 9}));

  const Answer refused = DecodeAnswer(Datagram().Error(2, -EPERM).Bytes(), 2);
  EXPECT_TRUE(refused.complete);
  EXPECT_EQ(refused.error, EPERM);
  EXPECT_TRUE(refused.sockets.empty());
  const Answer acked = DecodeAnswer(Datagram().Error(2, 0).Bytes(), 2);
  EXPECT_TRUE(acked.complete);
  EXPECT_EQ(acked.error, 0);

  // Only other requests' messages: the answer is still to come.
  EXPECT_FALSE(DecodeAnswer(Datagram().Error(3, -ENOENT).Bytes(), 2).complete);
  EXPECT_FALSE(DecodeAnswer({}, 2).complete);
}

TEST(SockDiagAnswerTest, ADumpSpansDatagramsUntilItsEnd) {
  inet_diag_msg first = SocketMessage();
  inet_diag_msg second = SocketMessage();
  second.id.idiag_cookie[0] = 8;
  const Answer part = DecodeAnswer(Datagram()
                                       .Message(SOCK_DIAG_BY_FAMILY, 1, &first, sizeof first)
                                       .Message(SOCK_DIAG_BY_FAMILY, 4, &first, sizeof first)
                                       .Message(SOCK_DIAG_BY_FAMILY, 1, &second, sizeof second)
                                       .Bytes(),
                                   1);
  EXPECT_FALSE(part.complete);
  EXPECT_EQ(part.error, 0);
  ASSERT_EQ(part.sockets.size(), 2u);  // the other request's socket is not one of them
  EXPECT_EQ(part.sockets[1].cookie[0], 8u);

  // An empty dump ends without sockets; a failed one ends with its errno
  // and drops what it listed.
  const DoneBody whole;
  const Answer empty =
      DecodeAnswer(Datagram().Message(NLMSG_DONE, 1, &whole, sizeof whole).Bytes(), 1);
  EXPECT_TRUE(empty.complete && empty.error == 0 && empty.sockets.empty());
  const DoneBody failed{-EINTR};
  const Answer broken = DecodeAnswer(Datagram()
                                         .Message(SOCK_DIAG_BY_FAMILY, 1, &first, sizeof first)
                                         .Message(NLMSG_DONE, 1, &failed, sizeof failed)
                                         .Bytes(),
                                     1);
  EXPECT_TRUE(broken.complete);
  EXPECT_EQ(broken.error, EINTR);
  EXPECT_TRUE(broken.sockets.empty());
}

TEST(SockDiagAnswerTest, IPv6SocketsReadAsTheirFamilyAndMappedAddressesAsIPv4) {
  const IpAddress local = *ParseIpAddress("fe80::1");
  const IpAddress remote = *ParseIpAddress("2001:2::9");
  const inet_diag_msg native = Ipv6SocketMessage(local, remote);
  const inet_diag_msg mapped = Ipv6SocketMessage(kLoopback, Ipv4Address(10, 0, 0, 2));
  inet_diag_msg unixSocket = SocketMessage();
  unixSocket.idiag_family = AF_UNIX;
  const Answer answer =
      DecodeAnswer(Datagram()
                       .Message(SOCK_DIAG_BY_FAMILY, 1, &native, sizeof native)
                       .Message(SOCK_DIAG_BY_FAMILY, 1, &unixSocket, sizeof unixSocket)
                       .Message(SOCK_DIAG_BY_FAMILY, 1, &mapped, sizeof mapped)
                       .Bytes(),
                   1);
  EXPECT_FALSE(answer.complete);
  ASSERT_EQ(answer.sockets.size(), 2u);  // a family of neither kind is passed over
  EXPECT_EQ(answer.sockets[0].tuple, (TcpFourTuple{local, 0x5000, remote, 0x3930}));
  EXPECT_EQ(answer.sockets[0].family, AF_INET6);
  EXPECT_EQ(answer.sockets[0].interfaceIndex, 3u);
  // The same value as an IPv4 socket's tuple, but still an IPv6 socket.
  EXPECT_EQ(answer.sockets[1].tuple,
            (TcpFourTuple{kLoopback, 0x5000, Ipv4Address(10, 0, 0, 2), 0x3930}));
  EXPECT_EQ(answer.sockets[1].family, AF_INET6);
}

TEST(SockDiagAnswerTest, MalformedAnswersAreErrorsNotReadsPastTheEnd) {
  const inet_diag_msg message = SocketMessage();
  const auto isMalformed = [](const Datagram& datagram) {
    const Answer answer = DecodeAnswer(datagram.Bytes(), 1);
    return answer.complete && answer.error == EPROTO && answer.sockets.empty();
  };
  // A length beyond the datagram.
  EXPECT_TRUE(isMalformed(Datagram().Message(SOCK_DIAG_BY_FAMILY, 1, &message, sizeof message, 4)));
  // A socket answer too short for its record, even after a good one.
  EXPECT_TRUE(isMalformed(Datagram().Message(SOCK_DIAG_BY_FAMILY, 1, &message, 8)));
  EXPECT_TRUE(isMalformed(Datagram()
                              .Message(SOCK_DIAG_BY_FAMILY, 1, &message, sizeof message)
                              .Message(SOCK_DIAG_BY_FAMILY, 1, &message, 8)));
  // An error answer without its number, or with a positive one.
  EXPECT_TRUE(isMalformed(Datagram().Message(NLMSG_ERROR, 1, nullptr, 0)));
  EXPECT_TRUE(isMalformed(Datagram().Error(1, EPERM)));
  // An error number that cannot be negated, or that no errno is.
  EXPECT_TRUE(isMalformed(Datagram().Error(1, std::numeric_limits<int>::min())));
  EXPECT_TRUE(isMalformed(Datagram().Error(1, -4096)));
  const DoneBody beyond{-4096};
  EXPECT_TRUE(isMalformed(Datagram().Message(NLMSG_DONE, 1, &beyond, sizeof beyond)));
  // A length shorter than the header itself.
  Datagram tiny;
  tiny.Message(NLMSG_ERROR, 1, nullptr, 0);
  std::vector<std::byte> bytes(tiny.Bytes().begin(), tiny.Bytes().end());
  bytes[0] = std::byte{4};
  const Answer answer = DecodeAnswer(bytes, 1);
  EXPECT_TRUE(answer.complete);
  EXPECT_EQ(answer.error, EPROTO);
}

}  // namespace
}  // namespace harlune
