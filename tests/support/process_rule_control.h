#pragma once

// The connection control engine of the real-socket tests: over a monitor of
// the system's table, one rule that disconnects every connection of one
// program, ended with SOCK_DESTROY.

#include <filesystem>
#include <string>

#include "core/control/connection_control_engine.h"
#include "core/monitor/connection_monitor.h"
#include "platform/linux/sock_destroy_resetter.h"
#include "support/recording_user_dialogs.h"

namespace harlune::testing {

// The file name of the running test program, as the process table has it.
inline std::string OwnExecutableName() {
  return std::filesystem::read_symlink("/proc/self/exe").filename().string();
}

struct ProcessRuleControl {
  ProcessRuleControl(ConnectionMonitor& monitor, const std::string& ruleName,
                     const std::string& programName)
      : connections(monitor), engine(rules, connections, resetter) {
    OperateConnectionRule rule;
    rule.Name = ruleName;
    rule.Action = kActionDisconnect;
    rule.TargetProcessName = programName;
    added = engine.AppendRule(rule, dialogs);
  }

  // Whether the last pass found the kernel without SOCK_DESTROY.
  bool KernelCannotDestroy() const {
    const ControlActReport& report = engine.LastActReport();
    return report.lastFailure && report.lastFailure->status == ConnectionResetStatus::kNotSupported;
  }

  MonitorControlledConnections connections;
  SockDestroyResetter resetter;
  OperateConnectionRuleIni rules;
  RecordingUserDialogs dialogs;
  ConnectionControlEngine engine;
  bool added = false;
};

}  // namespace harlune::testing
