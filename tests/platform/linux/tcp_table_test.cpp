// The TCP table sources against real sockets that the tests make on
// loopback.

#include "core/monitor/tcp_table.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/monitor/process_table.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "platform/linux/proc_tcp_table.h"
#include "protocol/ip_address.h"
#include "support/inet_socket.h"

namespace harlune {
namespace {

const IpAddress kLoopback = Ipv4Address(127, 0, 0, 1);

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { Close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }
  // Port in network order, as the table stores it (either family: the
  // port sits at the same place in sockaddr_in and sockaddr_in6).
  std::uint32_t Port() const {
    sockaddr_in6 address{};
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return address.sin6_port;
  }
  // A reset instead of an orderly close, so that no TIME_WAIT is left.
  void Abort() {
    const linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    Close();
  }
  void Close() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

sockaddr_in LoopbackAddress(std::uint32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback.Ipv4Value();
  address.sin_port = static_cast<in_port_t>(port);
  return address;
}

std::unique_ptr<Socket> Listen() {
  auto listener = std::make_unique<Socket>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = LoopbackAddress(0);
  if (bind(listener->Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener->Fd(), 4) != 0) {
    return nullptr;
  }
  return listener;
}

std::unique_ptr<Socket> Connect(const Socket& listener) {
  auto client = std::make_unique<Socket>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = LoopbackAddress(listener.Port());
  if (connect(client->Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  return client;
}

std::optional<TcpTableRow> Find(const std::vector<TcpTableRow>& rows, std::uint32_t localPort,
                                std::uint32_t remotePort) {
  const auto found = std::find_if(rows.begin(), rows.end(), [&](const TcpTableRow& row) {
    return row.localAddr == kLoopback && row.localPort == localPort && row.remotePort == remotePort;
  });
  return found == rows.end() ? std::nullopt : std::optional<TcpTableRow>(*found);
}

// Loopback moves a connection through its states at once, but on another
// context: the table is asked again for a short while until it agrees.
std::vector<TcpTableRow> ReadUntil(TcpTableSource& source,
                                   const std::function<bool(const std::vector<TcpTableRow>&)>& ok) {
  std::vector<TcpTableRow> rows;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const TcpTableResult result = source.ReadTable();
    EXPECT_TRUE(result.ok) << "errno " << result.errorCode;
    rows = result.rows;
    if (ok(rows)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return rows;
}

struct Connection {
  std::unique_ptr<Socket> listener;
  std::unique_ptr<Socket> client;
  std::unique_ptr<Socket> server;
};

Connection MakeConnection() {
  Connection made;
  made.listener = Listen();
  if (made.listener) {
    made.client = Connect(*made.listener);
    made.server = std::make_unique<Socket>(accept4(made.listener->Fd(), nullptr, nullptr, 0));
  }
  return made;
}

class TcpTableTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    extended_ = GetParam();
    if (extended_ && !SockDiagAvailable()) {
      GTEST_SKIP() << "this kernel does not answer sock_diag for TCP";
    }
    connection_ = MakeConnection();
    ASSERT_TRUE(connection_.client && connection_.server->Fd() >= 0);
  }

  std::unique_ptr<TcpTableSource> Source(bool portMapping) {
    return ChooseTcpTableSource(processes_, portMapping, [this] { return extended_; });
  }

  bool extended_ = false;
  ProcProcesses processes_;
  Connection connection_;
};

TEST_P(TcpTableTest, ListeningAndEstablishedSocketsAppearWithTheirOwner) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  EXPECT_EQ(source->RowsCarryOwners(), extended_);
  const std::uint32_t listenPort = connection_.listener->Port();
  const std::uint32_t clientPort = connection_.client->Port();
  const std::vector<TcpTableRow> rows = source->ReadTable().rows;

  const std::optional<TcpTableRow> listening = Find(rows, listenPort, 0);
  const std::optional<TcpTableRow> client = Find(rows, clientPort, listenPort);
  const std::optional<TcpTableRow> server = Find(rows, listenPort, clientPort);
  ASSERT_TRUE(listening && client && server);
  EXPECT_EQ(listening->state, kTcpStateListen);
  EXPECT_TRUE(listening->remoteAddr.IsUnspecified());
  EXPECT_EQ(client->state, kTcpStateEstablished);
  EXPECT_EQ(client->remoteAddr, kLoopback);
  EXPECT_EQ(server->state, kTcpStateEstablished);
  for (const TcpTableRow* row : {&*listening, &*client, &*server}) {
    EXPECT_EQ(row->owningPid, getpid());
    EXPECT_NE(row->inode, 0u);
  }

  ProcessTable table;
  table.Rebuild(processes_.ListProcesses());
  EXPECT_EQ(table.NameOf(client->owningPid), "harlune_tests");
  EXPECT_EQ(std::filesystem::path(table.PathOf(client->owningPid)),
            std::filesystem::canonical("/proc/self/exe"));
}

TEST_P(TcpTableTest, OrderlyCloseWalksTheClosingStatesAndLosesTheOwner) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::uint32_t listenPort = connection_.listener->Port();
  const std::uint32_t clientPort = connection_.client->Port();

  connection_.client->Close();
  std::vector<TcpTableRow> rows = ReadUntil(*source, [&](const auto& now) {
    const auto server = Find(now, listenPort, clientPort);
    const auto client = Find(now, clientPort, listenPort);
    return server && server->state == kTcpStateCloseWait && client &&
           client->state == kTcpStateFinWait2;
  });
  ASSERT_TRUE(Find(rows, listenPort, clientPort));
  EXPECT_EQ(Find(rows, listenPort, clientPort)->state, kTcpStateCloseWait);
  const auto closing = Find(rows, clientPort, listenPort);
  ASSERT_TRUE(closing);
  EXPECT_EQ(closing->state, kTcpStateFinWait2);

  connection_.server->Close();
  rows = ReadUntil(*source, [&](const auto& now) {
    const auto client = Find(now, clientPort, listenPort);
    return client && client->state == kTcpStateTimeWait && !Find(now, listenPort, clientPort);
  });
  const auto waiting = Find(rows, clientPort, listenPort);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->state, kTcpStateTimeWait);
  EXPECT_EQ(waiting->inode, 0u);
  // No process holds a socket in TIME_WAIT any more.
  EXPECT_EQ(waiting->owningPid, kUnknownOwner);
  EXPECT_FALSE(Find(rows, listenPort, clientPort));
}

TEST_P(TcpTableTest, ClosedSocketsDisappear) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::uint32_t listenPort = connection_.listener->Port();
  const std::uint32_t clientPort = connection_.client->Port();
  connection_.client->Abort();
  connection_.server->Abort();
  connection_.listener->Close();
  const std::vector<TcpTableRow> rows = ReadUntil(*source, [&](const auto& now) {
    return !Find(now, listenPort, 0) && !Find(now, clientPort, listenPort) &&
           !Find(now, listenPort, clientPort);
  });
  EXPECT_FALSE(Find(rows, listenPort, 0));
  EXPECT_FALSE(Find(rows, clientPort, listenPort));
  EXPECT_FALSE(Find(rows, listenPort, clientPort));
}

INSTANTIATE_TEST_SUITE_P(Sources, TcpTableTest, ::testing::Values(true, false),
                         [](const auto& param) { return param.param ? "Extended" : "Plain"; });

TEST(TcpTableChoiceTest, PlainTableWithoutMappingKnowsNoOwners) {
  Connection connection = MakeConnection();
  ASSERT_TRUE(connection.client);
  ProcProcesses processes;
  const std::unique_ptr<TcpTableSource> plain =
      ChooseTcpTableSource(processes, false, [] { return false; });
  const TcpTableResult result = plain->ReadTable();
  ASSERT_TRUE(result.ok);
  const auto listening = Find(result.rows, connection.listener->Port(), 0);
  ASSERT_TRUE(listening);
  EXPECT_EQ(listening->owningPid, kUnknownOwner);
  EXPECT_NE(listening->inode, 0u);
}

TEST(TcpTableChoiceTest, BothTablesAgreeOnTheSockets) {
  if (!SockDiagAvailable()) {
    GTEST_SKIP() << "this kernel does not answer sock_diag for TCP";
  }
  Connection connection = MakeConnection();
  ASSERT_TRUE(connection.client);
  ProcProcesses processes;
  NetlinkTcpTable extended(&processes);
  ProcTcpTable plain(ProcTcpTable::DefaultReader(), ProcTcpTable::DefaultIpv6Reader(), &processes);
  const auto ours = [&](std::vector<TcpTableRow> rows) {
    const std::uint32_t ports[] = {connection.listener->Port(), connection.client->Port()};
    std::erase_if(rows, [&](const TcpTableRow& row) {
      return row.localAddr != kLoopback ||
             std::find(std::begin(ports), std::end(ports), row.localPort) == std::end(ports);
    });
    std::sort(rows.begin(), rows.end(),
              [](const TcpTableRow& a, const TcpTableRow& b) { return a.inode < b.inode; });
    return rows;
  };
  const std::vector<TcpTableRow> fromNetlink = ours(extended.ReadTable().rows);
  EXPECT_EQ(fromNetlink.size(), 3u);
  EXPECT_EQ(fromNetlink, ours(plain.ReadTable().rows));
}

// IPv6 sockets: on ::1, and on :: taking IPv4 clients as IPv4-mapped peers.
const IpAddress kLoopback6 = *ParseIpAddress("::1");

using testing::InetSocket;

// A listener of the family on the address, or nothing.
std::unique_ptr<InetSocket> ListenOn(int family, const char* at) {
  auto listener = std::make_unique<InetSocket>(InetSocket::Open(family));
  return listener->Listen(at) ? std::move(listener) : nullptr;
}

// A socket of the family connected to the address, or nothing.
std::unique_ptr<InetSocket> ConnectedTo(int family, const char* to, std::uint32_t port) {
  auto client = std::make_unique<InetSocket>(InetSocket::Open(family));
  return client->ConnectTo(to, port) ? std::move(client) : nullptr;
}

std::optional<TcpTableRow> FindAt(const std::vector<TcpTableRow>& rows, const IpAddress& local,
                                  std::uint32_t localPort, std::uint32_t remotePort) {
  const auto found = std::find_if(rows.begin(), rows.end(), [&](const TcpTableRow& row) {
    return row.localAddr == local && row.localPort == localPort && row.remotePort == remotePort;
  });
  return found == rows.end() ? std::nullopt : std::optional<TcpTableRow>(*found);
}

// Three connections beside the IPv4 one of the fixture: native IPv6 on ::1;
// an IPv4 client of a dual-stack listener on ::; an IPv6 socket connected
// to ::ffff:127.0.0.1 (to an IPv4 listener).
struct DualStackSockets {
  std::unique_ptr<InetSocket> listener6, client6, server6;
  std::unique_ptr<InetSocket> dualListener, client4, mappedServer;
  std::unique_ptr<InetSocket> listener4, mappedClient, server4;

  bool Make() {
    listener6 = ListenOn(AF_INET6, "::1");
    dualListener = ListenOn(AF_INET6, "::");
    listener4 = ListenOn(AF_INET, "127.0.0.1");
    if (!listener6 || !dualListener || !listener4) {
      return false;
    }
    client6 = ConnectedTo(AF_INET6, "::1", listener6->Port());
    client4 = ConnectedTo(AF_INET, "127.0.0.1", dualListener->Port());
    mappedClient = ConnectedTo(AF_INET6, "::ffff:127.0.0.1", listener4->Port());
    if (!client6 || !client4 || !mappedClient) {
      return false;
    }
    server6 = std::make_unique<InetSocket>(listener6->Accept());
    mappedServer = std::make_unique<InetSocket>(dualListener->Accept());
    server4 = std::make_unique<InetSocket>(listener4->Accept());
    return server6->Fd() >= 0 && mappedServer->Fd() >= 0 && server4->Fd() >= 0;
  }
  std::vector<std::uint32_t> LocalPorts() const {
    return {listener6->Port(), client6->Port(),   dualListener->Port(),
            client4->Port(),   listener4->Port(), mappedClient->Port()};
  }
};

class DualStackTableTest : public TcpTableTest {
 protected:
  void SetUp() override {
    TcpTableTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    if (!sockets_.Make()) {
      GTEST_SKIP() << "this system has no IPv6 loopback (errno " << errno << ")";
    }
  }
  DualStackSockets sockets_;
};

TEST_P(DualStackTableTest, NativeIpv6ConnectionIsIpv6RowsWithTheirOwner) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::vector<TcpTableRow> rows = source->ReadTable().rows;
  const std::uint32_t listenPort = sockets_.listener6->Port();
  const std::uint32_t clientPort = sockets_.client6->Port();
  const auto listening = FindAt(rows, kLoopback6, listenPort, 0);
  const auto client = FindAt(rows, kLoopback6, clientPort, listenPort);
  const auto server = FindAt(rows, kLoopback6, listenPort, clientPort);
  ASSERT_TRUE(listening && client && server);
  EXPECT_EQ(listening->state, kTcpStateListen);
  EXPECT_TRUE(listening->remoteAddr.IsUnspecified());
  EXPECT_FALSE(listening->remoteAddr.IsIpv4()) << "a listener's missing peer is [::]";
  EXPECT_EQ(client->state, kTcpStateEstablished);
  EXPECT_EQ(client->remoteAddr, kLoopback6);
  EXPECT_EQ(server->remoteAddr, kLoopback6);
  for (const TcpTableRow* row : {&*listening, &*client, &*server}) {
    EXPECT_EQ(row->owningPid, getpid());
    EXPECT_NE(row->inode, 0u);
  }
}

TEST_P(DualStackTableTest, DualStackListenerIsUnspecifiedIpv6AndItsIpv4ClientsAreIpv4) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::vector<TcpTableRow> rows = source->ReadTable().rows;
  const std::uint32_t listenPort = sockets_.dualListener->Port();
  const std::uint32_t clientPort = sockets_.client4->Port();
  const auto listening = FindAt(rows, *ParseIpAddress("::"), listenPort, 0);
  ASSERT_TRUE(listening);
  EXPECT_FALSE(listening->localAddr.IsIpv4());
  EXPECT_EQ(listening->owningPid, getpid());
  // The accepted socket is an IPv6 one, but its row is the IPv4 connection
  // 127.0.0.1 -> 127.0.0.1, the mirror of the IPv4 client's row.
  const auto accepted = Find(rows, listenPort, clientPort);
  const auto client = Find(rows, clientPort, listenPort);
  ASSERT_TRUE(accepted && client);
  EXPECT_TRUE(accepted->localAddr.IsIpv4() && accepted->remoteAddr.IsIpv4());
  EXPECT_EQ(accepted->remoteAddr, kLoopback);
  EXPECT_EQ(accepted->localAddr.ToText(), "127.0.0.1");
  EXPECT_EQ(accepted->state, kTcpStateEstablished);
  EXPECT_EQ(accepted->owningPid, getpid());
  EXPECT_EQ(client->remoteAddr, kLoopback);
}

TEST_P(DualStackTableTest, Ipv6SocketConnectedToMappedAddressIsAnIpv4Connection) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::vector<TcpTableRow> rows = source->ReadTable().rows;
  const std::uint32_t listenPort = sockets_.listener4->Port();
  const std::uint32_t clientPort = sockets_.mappedClient->Port();
  const auto client = Find(rows, clientPort, listenPort);
  const auto server = Find(rows, listenPort, clientPort);
  ASSERT_TRUE(client && server);
  EXPECT_EQ(client->remoteAddr, kLoopback);
  EXPECT_EQ(client->state, kTcpStateEstablished);
  EXPECT_EQ(client->owningPid, getpid());
  EXPECT_NE(client->inode, 0u);
}

TEST_P(DualStackTableTest, Ipv4RowsComeBeforeIpv6Rows) {
  const std::unique_ptr<TcpTableSource> source = Source(true);
  const std::vector<TcpTableRow> rows = source->ReadTable().rows;
  const auto firstIpv6 = std::find_if(
      rows.begin(), rows.end(), [](const TcpTableRow& row) { return !row.localAddr.IsIpv4(); });
  ASSERT_NE(firstIpv6, rows.end());
  EXPECT_TRUE(std::none_of(firstIpv6, rows.end(),
                           [](const TcpTableRow& row) { return row.localAddr.IsIpv4(); }));
}

INSTANTIATE_TEST_SUITE_P(Sources, DualStackTableTest, ::testing::Values(true, false),
                         [](const auto& param) { return param.param ? "Extended" : "Plain"; });

TEST(TcpTableChoiceTest, BothTablesAgreeOnIpv6AndMappedSockets) {
  if (!SockDiagAvailable()) {
    GTEST_SKIP() << "this kernel does not answer sock_diag for TCP";
  }
  DualStackSockets sockets;
  if (!sockets.Make()) {
    GTEST_SKIP() << "this system has no IPv6 loopback";
  }
  ProcProcesses processes;
  NetlinkTcpTable extended(&processes);
  ProcTcpTable plain(ProcTcpTable::DefaultReader(), ProcTcpTable::DefaultIpv6Reader(), &processes);
  const std::vector<std::uint32_t> ports = sockets.LocalPorts();
  const auto ours = [&](std::vector<TcpTableRow> rows) {
    std::erase_if(rows, [&](const TcpTableRow& row) {
      return std::find(ports.begin(), ports.end(), row.localPort) == ports.end();
    });
    std::sort(rows.begin(), rows.end(),
              [](const TcpTableRow& a, const TcpTableRow& b) { return a.inode < b.inode; });
    return rows;
  };
  const std::vector<TcpTableRow> fromNetlink = ours(extended.ReadTable().rows);
  // Three listeners and six connected sockets.
  EXPECT_EQ(fromNetlink.size(), 9u);
  EXPECT_EQ(fromNetlink, ours(plain.ReadTable().rows));
}

}  // namespace
}  // namespace harlune
