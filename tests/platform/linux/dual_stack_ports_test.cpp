// The local ports sent for a filter's application include those of its
// IPv6 sockets and of the IPv4 connections it makes through IPv6 sockets:
// over a replayed table, and over this machine's table with sockets the test
// makes on loopback.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// A socket of this test, closed at the end.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  std::uint16_t HostPort() const {
    sockaddr_in6 address{};
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin6_port);  // at the same place for both families
  }

 private:
  int fd_;
};

std::unique_ptr<Fd> Bound(int family, const char* at, std::uint16_t hostPort, bool listens) {
  auto fd = std::make_unique<Fd>(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_storage storage{};
  socklen_t size = 0;
  if (family == AF_INET6) {
    auto& address = reinterpret_cast<sockaddr_in6&>(storage);
    address.sin6_family = AF_INET6;
    std::memcpy(&address.sin6_addr, AddressOfText(at).Ipv6Bytes().data(), 16);
    address.sin6_port = htons(hostPort);
    size = sizeof address;
    const int dualStack = 0;
    setsockopt(fd->Get(), IPPROTO_IPV6, IPV6_V6ONLY, &dualStack, sizeof dualStack);
  } else {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = AddressOfText(at).Ipv4Value();
    address.sin_port = htons(hostPort);
    size = sizeof address;
  }
  const auto* where = reinterpret_cast<const sockaddr*>(&storage);
  const bool ok = listens ? bind(fd->Get(), where, size) == 0 && listen(fd->Get(), 4) == 0
                          : connect(fd->Get(), where, size) == 0;
  return ok ? std::move(fd) : nullptr;
}

bool Holds(const std::vector<std::uint16_t>& ports, std::uint16_t port) {
  return std::count(ports.begin(), ports.end(), port) == 1;
}

TEST(DualStackPortsTest, ThisProcessesIpv6AndMappedSocketsGiveTheirPorts) {
  ProcProcesses processes;
  std::unique_ptr<TcpTableSource> table = ChooseTcpTableSource(processes, true);
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(*table, processes, hosts);

  const std::unique_ptr<Fd> dualListener = Bound(AF_INET6, "::", 0, true);
  if (!dualListener) {
    GTEST_SKIP() << "this system has no IPv6 sockets";
  }
  const std::unique_ptr<Fd> listener6 = Bound(AF_INET6, "::1", 0, true);
  ASSERT_TRUE(listener6);
  // An IPv4 listener on the IPv6 listener's port number: one port.
  const std::unique_ptr<Fd> listener4 = Bound(AF_INET, "127.0.0.1", listener6->HostPort(), true);
  const std::unique_ptr<Fd> mappedClient =
      Bound(AF_INET6, "::ffff:127.0.0.1", listener4 ? listener4->HostPort() : 0, false);
  const std::unique_ptr<Fd> client6 = Bound(AF_INET6, "::1", listener6->HostPort(), false);
  ASSERT_TRUE(listener4 && mappedClient && client6);
  const Fd accepted6(accept4(listener6->Get(), nullptr, nullptr, SOCK_CLOEXEC));
  const Fd accepted4(accept4(listener4->Get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_GE(accepted6.Get(), 0);
  ASSERT_GE(accepted4.Get(), 0);
  ASSERT_TRUE(monitor.Refresh());

  const std::string exeName = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const std::vector<std::uint16_t> ports = PortsOfFilterFor(monitor, exeName);
  EXPECT_TRUE(Holds(ports, dualListener->HostPort()));
  EXPECT_TRUE(Holds(ports, listener6->HostPort())) << "the port of both families, once";
  EXPECT_TRUE(Holds(ports, mappedClient->HostPort()));
  EXPECT_TRUE(Holds(ports, client6->HostPort()));
  EXPECT_TRUE(std::is_sorted(ports.begin(), ports.end()));
}

}  // namespace
}  // namespace harlune
