// The local ports sent for a filter's application include those of its
// IPv6 sockets and of the IPv4 connections it makes through IPv6 sockets:
// over a replayed table, and over this machine's table with sockets the test
// makes on loopback.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/filter/packet_filter_manager.h"
#include "core/monitor/connection_monitor.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "protocol/ip_address.h"
#include "support/inet_socket.h"
#include "support/real_socket_support.h"
#include "support/recording_user_dialogs.h"
#include "support/tcp_table_rows.h"

namespace harlune {
namespace {

using testing::AddressOfText;

TcpTableRow Row(std::uint32_t state, const char* local, std::uint16_t localPort, const char* remote,
                std::uint16_t remotePort, std::int32_t pid) {
  TcpTableRow row = testing::TextRow(state, local, localPort, remote, remotePort);
  row.owningPid = pid;
  return row;
}

class OneTable : public TcpTableSource {
 public:
  explicit OneTable(std::vector<TcpTableRow> rows) : rows_(std::move(rows)) {}
  TcpTableResult ReadTable() override { return {true, 0, rows_}; }
  bool RowsCarryOwners() const override { return true; }

 private:
  std::vector<TcpTableRow> rows_;
};

class OneProcess : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override { return {{100, "java", "/usr/bin/java"}}; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

std::vector<std::uint16_t> PortsOfFilterFor(const ConnectionMonitor& monitor,
                                            const std::string& application) {
  RecordingUserDialogs dialogs;
  PacketFilterManager filters(dialogs);
  PacketFilterSetting filter;
  filter.AppName = application;
  const std::int32_t id = filters.Add(filter).ID;
  const FilterProcessPorts ports = monitor.ProcessPortsOfFilters(filters);
  const auto found = ports.find(id);
  return found == ports.end() ? std::vector<std::uint16_t>() : found->second;
}

TEST(DualStackPortsTest, Ipv6AndMappedRowsGiveTheirLocalPortsOnce) {
  OneTable table({
      Row(kTcpStateListen, "0.0.0.0", 8080, "0.0.0.0", 0, 100),
      Row(kTcpStateEstablished, "::ffff:127.0.0.1", 9000, "::ffff:127.0.0.1", 40000, 100),
      Row(kTcpStateListen, "::", 8080, "::", 0, 100),  // same port, other family
      Row(kTcpStateEstablished, "2001:db8::1", 7000, "2001:db8::2", 443, 100),
      Row(kTcpStateTimeWait, "::1", 7100, "::1", 8080, 100),  // holds no port
      Row(kTcpStateListen, "::1", 7200, "::", 0, 200),        // another process
  });
  OneProcess processes;
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_EQ(PortsOfFilterFor(monitor, "JAVA"), (std::vector<std::uint16_t>{7000, 8080, 9000}));
}

using testing::InetSocket;

// A listener of the family on the address and port (stored form, 0 for a
// free one), or nothing.
std::unique_ptr<InetSocket> ListenOn(int family, const char* at, std::uint32_t port = 0) {
  auto listener = std::make_unique<InetSocket>(InetSocket::Open(family));
  return listener->Listen(at, port) ? std::move(listener) : nullptr;
}

// A socket of the family connected to the address, or nothing.
std::unique_ptr<InetSocket> ConnectedTo(int family, const char* to, std::uint32_t port) {
  auto client = std::make_unique<InetSocket>(InetSocket::Open(family));
  return client->ConnectTo(to, port) ? std::move(client) : nullptr;
}

std::uint16_t HostPortOf(const InetSocket& socket) {
  return ntohs(static_cast<std::uint16_t>(socket.Port()));
}

bool Holds(const std::vector<std::uint16_t>& ports, std::uint16_t port) {
  return std::count(ports.begin(), ports.end(), port) == 1;
}

TEST(DualStackPortsTest, ThisProcessesIpv6AndMappedSocketsGiveTheirPorts) {
  ProcProcesses processes;
  std::unique_ptr<TcpTableSource> table = ChooseTcpTableSource(processes, true);
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(*table, processes, hosts);

  const std::unique_ptr<InetSocket> dualListener = ListenOn(AF_INET6, "::");
  if (!dualListener) {
    GTEST_SKIP() << "this system has no IPv6 sockets";
  }
  const std::unique_ptr<InetSocket> listener6 = ListenOn(AF_INET6, "::1");
  ASSERT_TRUE(listener6);
  // An IPv4 listener on the IPv6 listener's port number: one port.
  const std::unique_ptr<InetSocket> listener4 = ListenOn(AF_INET, "127.0.0.1", listener6->Port());
  const std::unique_ptr<InetSocket> mappedClient =
      ConnectedTo(AF_INET6, "::ffff:127.0.0.1", listener4 ? listener4->Port() : 0);
  const std::unique_ptr<InetSocket> client6 = ConnectedTo(AF_INET6, "::1", listener6->Port());
  ASSERT_TRUE(listener4 && mappedClient && client6);
  const InetSocket accepted6 = listener6->Accept();
  const InetSocket accepted4 = listener4->Accept();
  ASSERT_GE(accepted6.Fd(), 0);
  ASSERT_GE(accepted4.Fd(), 0);
  ASSERT_TRUE(monitor.Refresh());

  const std::string exeName = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const std::vector<std::uint16_t> ports = PortsOfFilterFor(monitor, exeName);
  EXPECT_TRUE(Holds(ports, HostPortOf(*dualListener)));
  EXPECT_TRUE(Holds(ports, HostPortOf(*listener6))) << "the port of both families, once";
  EXPECT_TRUE(Holds(ports, HostPortOf(*mappedClient)));
  EXPECT_TRUE(Holds(ports, HostPortOf(*client6)));
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));
}

}  // namespace
}  // namespace harlune
