// The connection table on this machine: sockets that the test makes on
// loopback, read through the Linux table and process sources.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/monitor/connection_monitor.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "protocol/ip_address.h"
#include "support/loopback_socket.h"
#include "support/real_socket_support.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using testing::HasNetAdmin;
using testing::kCapNetAdmin;
using testing::NoHostNames;

const IpAddress kLoopback = Ipv4Address(127, 0, 0, 1);

using Socket = testing::LoopbackSocket;

std::shared_ptr<ConnectionInfo> Find(const ConnectionMonitor& monitor, std::uint32_t localPort,
                                     std::uint32_t remotePort) {
  for (const auto& [key, connection] : monitor.Connections()) {
    if (connection->localAddr == kLoopback && connection->localPort == localPort &&
        connection->remotePort == remotePort) {
      return connection;
    }
  }
  return nullptr;
}

// Loopback changes states on another context: refresh for a short while
// until the table agrees.
bool RefreshUntil(ConnectionMonitor& monitor, const std::function<bool()>& done) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (!monitor.Refresh()) {
      return false;
    }
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) {
      lines.push_back(line);
    }
  }
  return lines;
}

TEST(ConnectionMonitorReal, LoopbackSocketsAppearWithThisProcessAndClosedOnesAreLoggedOnce) {
  ProcProcesses processes;
  std::unique_ptr<TcpTableSource> table = ChooseTcpTableSource(processes, true);
  NoHostNames hosts;
  testing::TempDir dir;
  const auto logPath = dir.path() / "stats.csv";
  ConnectionMonitor monitor(*table, processes, hosts);
  IniFileObject settings;
  settings.CONNECTION_STATS_LOG_FILE_NAME = logPath.string();
  settings.CONNECTION_STATS_LOG_FORMAT = "%LocalPort%>%RemotePort%,%ProcessID%,%ProcessName%";
  monitor.ApplySettings(settings);

  Socket listener;
  ASSERT_TRUE(listener.Listen());
  auto client = std::make_unique<Socket>();
  ASSERT_TRUE(client->ConnectTo(listener.Port()));
  auto server = std::make_unique<Socket>(accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_GE(server->Fd(), 0);
  const std::uint32_t clientPort = client->Port();

  ASSERT_TRUE(RefreshUntil(monitor, [&] {
    const auto c = Find(monitor, clientPort, listener.Port());
    const auto s = Find(monitor, listener.Port(), clientPort);
    return c && s && c->state == kTcpStateEstablished && s->state == kTcpStateEstablished;
  }));
  const auto listening = Find(monitor, listener.Port(), 0);
  ASSERT_NE(listening, nullptr);
  EXPECT_EQ(listening->state, kTcpStateListen);
  EXPECT_TRUE(listening->remoteAddr.IsUnspecified());
  const std::string exePath = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string exeName = std::filesystem::path(exePath).filename().string();
  for (const auto& connection : {listening, Find(monitor, clientPort, listener.Port()),
                                 Find(monitor, listener.Port(), clientPort)}) {
    EXPECT_EQ(connection->processId, getpid());
    EXPECT_EQ(monitor.ProcessNameOf(connection->processId), exeName);
    EXPECT_EQ(monitor.ProcessPathOf(connection->processId), exePath);
  }
  const std::string serverPortText =
      std::to_string(ntohs(static_cast<std::uint16_t>(listener.Port())));
  const std::string clientPortText = std::to_string(ntohs(static_cast<std::uint16_t>(clientPort)));
  const auto ports = monitor.LocalPortsOfProcess(exeName);
  EXPECT_NE(std::find(ports.begin(), ports.end(), ntohs(static_cast<std::uint16_t>(clientPort))),
            ports.end());

  client.reset();  // closing sends a reset: no TIME_WAIT stays
  server.reset();
  ASSERT_TRUE(RefreshUntil(monitor, [&] {
    return !Find(monitor, clientPort, listener.Port()) &&
           !Find(monitor, listener.Port(), clientPort);
  }));
  ASSERT_TRUE(monitor.Refresh());
  ASSERT_TRUE(monitor.StatsLogger()->Flush());
  const std::string log = testing::ReadFileText(logPath);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(
      LinesWith(log, clientPortText + ">"),
      std::vector<std::string>{clientPortText + ">" + serverPortText + "," + pid + "," + exeName});
  EXPECT_EQ(
      LinesWith(log, serverPortText + ">" + clientPortText),
      std::vector<std::string>{serverPortText + ">" + clientPortText + "," + pid + "," + exeName});
  EXPECT_NE(Find(monitor, listener.Port(), 0), nullptr) << "the listener is still open";
}

}  // namespace
}  // namespace harlune
