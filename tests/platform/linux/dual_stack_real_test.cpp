// Every kind of TCP connection a dual-stack machine has, on the real table
// of a network namespace the test makes: an IPv4 client of a listener bound
// to [::], a native IPv6 connection to another namespace, and an IPv4
// connection made through an IPv6 socket. Each shows with this process as
// its owner (and as IPv4 where it is IPv4 on the wire), gives its local port
// to a filter bound to this process, is ended by a rule for this process,
// and leaves one statistics log line.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "core/filter/packet_filter_manager.h"
#include "core/monitor/connection_monitor.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "support/inet_socket.h"
#include "support/process_rule_control.h"
#include "support/real_socket_support.h"
#include "support/recording_user_dialogs.h"
#include "support/run_ip.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;
using testing::RunIp;

constexpr const char* kIp = "/usr/sbin/ip";

// Two namespaces joined by a veth pair: "near" 198.18.0.1/30 and
// 2001:2::1/64, "far" 198.18.0.2/30 and 2001:2::2/64. The test's thread
// enters a namespace with Enter(); the destructor brings it home and
// removes both.
class NamespacePair {
 public:
  NamespacePair()
      : near_("hlds-near-" + std::to_string(getpid())),
        far_("hlds-far-" + std::to_string(getpid())),
        home_(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)) {
    made_ = home_ >= 0 && RunIp({"netns", "add", near_}) && RunIp({"netns", "add", far_}) &&
            RunIp({"link", "add", "hlnear", "netns", near_, "type", "veth", "peer", "name", "hlfar",
                   "netns", far_}) &&
            Configure(near_, "hlnear", "198.18.0.1/30", "2001:2::1/64") &&
            Configure(far_, "hlfar", "198.18.0.2/30", "2001:2::2/64");
  }
  ~NamespacePair() {
    if (home_ >= 0) {
      setns(home_, CLONE_NEWNET);
      close(home_);
    }
    RunIp({"netns", "del", near_});
    RunIp({"netns", "del", far_});
  }
  NamespacePair(const NamespacePair&) = delete;
  NamespacePair& operator=(const NamespacePair&) = delete;

  bool made() const { return made_; }
  bool EnterNear() const { return Enter(near_); }
  bool EnterFar() const { return Enter(far_); }

 private:
  static bool Configure(const std::string& space, const std::string& link, const std::string& ipv4,
                        const std::string& ipv6) {
    // nodad: the address is usable at once, not after duplicate detection.
    return RunIp({"-n", space, "addr", "add", ipv4, "dev", link}) &&
           RunIp({"-n", space, "addr", "add", ipv6, "dev", link, "nodad"}) &&
           RunIp({"-n", space, "link", "set", link, "up"}) &&
           RunIp({"-n", space, "link", "set", "lo", "up"});
  }
  static bool Enter(const std::string& space) {
    const int fd = open(("/run/netns/" + space).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) {
      close(fd);
    }
    return entered;
  }

  std::string near_;
  std::string far_;
  int home_;
  bool made_ = false;
};

using testing::InetSocket;

// A socket's local port in host order.
std::uint16_t PortOf(const InetSocket& socket) { return HostOrderPort(socket.Port()); }

// One connection as the near namespace's table should show it.
struct Expected {
  const char* what;
  const char* localAddr;
  std::uint16_t localPort;
  const char* remoteAddr;
  std::uint16_t remotePort;
};

std::shared_ptr<ConnectionInfo> FindConnection(const ConnectionMonitor& monitor,
                                               const Expected& expected) {
  for (const auto& [key, connection] : monitor.Connections()) {
    if (HostOrderPort(connection->localPort) == expected.localPort &&
        HostOrderPort(connection->remotePort) == expected.remotePort &&
        connection->state == kTcpStateEstablished) {
      return connection;
    }
  }
  return nullptr;
}

bool IsReset(int error) { return error == ECONNRESET || error == ECONNABORTED; }

// What the three kinds of connection are made of. Each socket is made in
// the namespace it belongs to, and stays there.
struct Connections {
  std::optional<InetSocket> dualStackListener;
  std::optional<InetSocket> ipv4Client;
  std::optional<InetSocket> dualStackServer;
  std::optional<InetSocket> farIpv6Listener;
  std::optional<InetSocket> farIpv4Listener;
  std::optional<InetSocket> ipv6Client;
  std::optional<InetSocket> mappedClient;
  std::optional<InetSocket> farIpv6Server;
  std::optional<InetSocket> farIpv4Server;
};

bool MakeConnections(const NamespacePair& spaces, Connections& c) {
  if (!spaces.EnterFar()) {
    return false;
  }
  c.farIpv6Listener.emplace(InetSocket::Open(AF_INET6));
  c.farIpv4Listener.emplace(InetSocket::Open(AF_INET));
  const bool farListening =
      c.farIpv6Listener->Listen("2001:2::2") && c.farIpv4Listener->Listen("198.18.0.2");
  if (!spaces.EnterNear() || !farListening) {
    return false;
  }
  c.dualStackListener.emplace(InetSocket::Open(AF_INET6));
  c.ipv4Client.emplace(InetSocket::Open(AF_INET));
  c.ipv6Client.emplace(InetSocket::Open(AF_INET6));
  c.mappedClient.emplace(InetSocket::Open(AF_INET6));
  if (!c.dualStackListener->Listen("::") ||
      !c.ipv4Client->ConnectTo("127.0.0.1", c.dualStackListener->Port()) ||
      !c.ipv6Client->ConnectTo("2001:2::2", c.farIpv6Listener->Port()) ||
      !c.mappedClient->ConnectTo("::ffff:198.18.0.2", c.farIpv4Listener->Port())) {
    return false;
  }
  c.dualStackServer.emplace(c.dualStackListener->Accept());
  c.farIpv6Server.emplace(c.farIpv6Listener->Accept());
  c.farIpv4Server.emplace(c.farIpv4Listener->Accept());
  return c.dualStackServer->Fd() >= 0 && c.farIpv6Server->Fd() >= 0 && c.farIpv4Server->Fd() >= 0;
}

class DualStackRealTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || !testing::HasNetAdmin() || !fs::exists(kIp)) {
      GTEST_SKIP() << "network namespaces and SOCK_DESTROY need root and " << kIp;
    }
    spaces_ = std::make_unique<NamespacePair>();
    ASSERT_TRUE(spaces_->made()) << "could not make the namespaces";
    ASSERT_TRUE(MakeConnections(*spaces_, connections_));
  }

  std::unique_ptr<NamespacePair> spaces_;
  Connections connections_;
};

TEST_F(DualStackRealTest, EveryKindShowsGivesItsPortIsEndedByARuleAndIsLogged) {
  Connections& c = connections_;
  const std::vector<Expected> expected{
      {"IPv4 client of a [::] listener", "127.0.0.1", PortOf(*c.ipv4Client), "127.0.0.1",
       PortOf(*c.dualStackListener)},
      {"its accepted end", "127.0.0.1", PortOf(*c.dualStackListener), "127.0.0.1",
       PortOf(*c.ipv4Client)},
      {"native IPv6", "2001:2::1", PortOf(*c.ipv6Client), "2001:2::2", PortOf(*c.farIpv6Listener)},
      {"IPv4 through an IPv6 socket", "198.18.0.1", PortOf(*c.mappedClient), "198.18.0.2",
       PortOf(*c.farIpv4Listener)},
  };

  // The table and owners of the near namespace, which the thread is in.
  ProcProcesses processes;
  const std::unique_ptr<TcpTableSource> table = ChooseTcpTableSource(processes, true);
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(*table, processes, hosts);
  testing::TempDir dir;
  IniFileObject settings;
  settings.LOG_CONNECTION_STATS = 1;
  settings.CONNECTION_STATS_LOG_FILE_NAME = (dir.path() / "stats.log").string();
  monitor.ApplySettings(settings);

  bool allSeen = false;
  for (int attempt = 0; attempt < 200 && !allSeen; ++attempt) {
    ASSERT_TRUE(monitor.Refresh());
    allSeen = std::ranges::all_of(expected, [&](const Expected& e) {
      const auto found = FindConnection(monitor, e);
      return found != nullptr && found->processId == getpid();
    });
    if (!allSeen) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  for (const Expected& e : expected) {
    const auto found = FindConnection(monitor, e);
    ASSERT_NE(found, nullptr) << e.what << " never showed in the table";
    EXPECT_EQ(found->processId, getpid()) << e.what;
    EXPECT_EQ(found->localAddr.ToText(), e.localAddr) << e.what;
    EXPECT_EQ(found->remoteAddr.ToText(), e.remoteAddr) << e.what;
    EXPECT_EQ(found->remoteAddr.IsIpv4(), std::string(e.remoteAddr).find(':') == std::string::npos)
        << e.what;
  }

  // A filter bound to this process gets every local port of it, the
  // dual-stack listener's and the IPv6 sockets' ones included.
  RecordingUserDialogs dialogs;
  PacketFilterManager filters(dialogs);
  PacketFilterSetting filter;
  filter.ID = 5;
  filter.Available = 1;
  filter.AppName = testing::OwnExecutableName();
  filters.Add(filter);
  const FilterProcessPorts ports = monitor.ProcessPortsOfFilters(filters);
  ASSERT_TRUE(ports.contains(5));
  for (const Expected& e : expected) {
    EXPECT_TRUE(std::ranges::count(ports.at(5), e.localPort) == 1) << e.what;
  }

  testing::ProcessRuleControl control(monitor, "ThisProcess", testing::OwnExecutableName());
  ASSERT_TRUE(control.added);
  control.engine.Pass(true);
  if (control.KernelCannotDestroy()) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  const ControlActReport& report = control.engine.LastActReport();
  // The dual-stack pair is two rows of one connection: ending either end
  // resets the other, which may then be gone before its own turn.
  EXPECT_GE(report.ended, expected.size() - 1);
  EXPECT_TRUE(IsReset(c.ipv4Client->ReceiveError())) << "the [::] listener's client";
  EXPECT_TRUE(IsReset(c.farIpv6Server->ReceiveError())) << "the IPv6 peer";
  EXPECT_TRUE(IsReset(c.farIpv4Server->ReceiveError())) << "the mapped client's peer";

  ASSERT_TRUE(monitor.Refresh());
  for (const Expected& e : expected) {
    EXPECT_EQ(FindConnection(monitor, e), nullptr) << e.what << " is still there";
  }
  ASSERT_TRUE(monitor.StatsLogger()->Flush());
  const std::string log = testing::ReadFileText(dir.path() / "stats.log");
  for (const Expected& e : expected) {
    const std::string fields = std::string(",") + e.localAddr + "," + std::to_string(e.localPort) +
                               "," + e.remoteAddr + "," + std::to_string(e.remotePort) + ",";
    std::size_t lines = 0;
    for (std::size_t at = log.find(fields); at != std::string::npos;
         at = log.find(fields, at + 1)) {
      ++lines;
      const std::size_t end = log.find('\n', at);
      EXPECT_NE(log.substr(at, end - at).find("," + testing::OwnExecutableName() + ","),
                std::string::npos)
          << e.what << ": " << log.substr(at, end - at);
    }
    EXPECT_EQ(lines, 1u) << e.what << " in\n" << log;
  }
}

}  // namespace
}  // namespace harlune
