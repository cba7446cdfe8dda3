// The connection control engine on this machine: a rule for this test's own
// process ends a loopback connection that the test makes, through the real
// TCP table, process scan and SOCK_DESTROY.

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/control/connection_control_engine.h"
#include "core/monitor/connection_monitor.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "platform/linux/sock_destroy_resetter.h"
#include "support/loopback_socket.h"
#include "support/real_socket_support.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using testing::HasNetAdmin;
using testing::kCapNetAdmin;
using testing::NoHostNames;

bool IsEstablished(const ConnectionMonitor& monitor, std::uint32_t localPort,
                   std::uint32_t remotePort) {
  for (const auto& [key, connection] : monitor.Connections()) {
    if (connection->localPort == localPort && connection->remotePort == remotePort) {
      return connection->state == kTcpStateEstablished;
    }
  }
  return false;
}

bool IsReset(int error) { return error == ECONNRESET || error == ECONNABORTED; }

TEST(ConnectionControlReal, RuleForThisProcessEndsItsLoopbackConnectionAndLogsIt) {
  if (!HasNetAdmin()) {
    GTEST_SKIP() << "resetting a connection needs CAP_NET_ADMIN";
  }
  ProcProcesses processes;
  const std::unique_ptr<TcpTableSource> table = ChooseTcpTableSource(processes, true);
  NoHostNames hosts;
  ConnectionMonitor monitor(*table, processes, hosts);
  MonitorControlledConnections connections(monitor);
  SockDestroyResetter resetter;
  OperateConnectionRuleIni rules;
  ConnectionControlEngine engine(rules, connections, resetter);
  testing::TempDir dir;
  IniFileObject settings;
  settings.CONNECTION_CONTROL_LOG_FILE_NAME = (dir.path() / "control.log").string();
  engine.ApplySettings(settings);
  OperateConnectionRule rule;
  rule.Name = "OwnLoopback";
  rule.Action = kActionDisconnect;
  rule.TargetProcessName = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  RecordingUserDialogs dialogs;
  ASSERT_TRUE(engine.AppendRule(rule, dialogs));

  testing::LoopbackSocket listener;
  ASSERT_TRUE(listener.Listen());
  testing::LoopbackSocket client;
  ASSERT_TRUE(client.ConnectTo(listener.Port()));
  const testing::LoopbackSocket server = listener.Accept();
  ASSERT_GE(server.Fd(), 0);
  bool seen = false;
  for (int attempt = 0; attempt < 200 && !seen; ++attempt) {
    ASSERT_TRUE(monitor.Refresh());
    seen = IsEstablished(monitor, client.Port(), listener.Port()) &&
           IsEstablished(monitor, listener.Port(), client.Port());
    if (!seen) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_TRUE(seen) << "the connection never showed in the table";

  engine.Pass(true);
  const ControlActReport& report = engine.LastActReport();
  if (report.lastFailure && report.lastFailure->status == ConnectionResetStatus::kNotSupported) {
    GTEST_SKIP() << "this kernel has no SOCK_DESTROY (CONFIG_INET_DIAG_DESTROY)";
  }
  EXPECT_GE(report.ended, 1u);
  const int clientError = client.ReceiveError();
  const int serverError = server.ReceiveError();
  EXPECT_TRUE(IsReset(clientError)) << clientError << " " << std::strerror(clientError);
  EXPECT_TRUE(IsReset(serverError)) << serverError << " " << std::strerror(serverError);

  ASSERT_TRUE(engine.ControlLogger()->Flush());
  const std::string log = testing::ReadFileText(dir.path() / "control.log");
  EXPECT_NE(log.find("] \"127.0.0.1\" was disconnected by OwnLoopback\n"), std::string::npos)
      << log;
}

}  // namespace
}  // namespace harlune
