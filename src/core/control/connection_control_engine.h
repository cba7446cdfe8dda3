#pragma once

// The connection control engine: once a second, right after the connection
// table's refresh, it applies the rules (first = highest priority) to the
// live connections and ends the TCP connections they condemn, writing one
// control-log line per connection ended.
//
// Every rule has two lists of weak references to connections: the matched
// list (host name known, host and process tests passed; it persists across
// passes) and the unresolved list (host name not known yet, only for rules
// without a host condition; refilled at every pass). A connection reaches
// the lists only through the monitor's new-connection queue and through
// AttachExisting after a rule is added or edited, and a connection whose
// owner was unknown when it was attached is tested again against the
// rules' process names once the monitor finds its owner.
//
// A reset the system refuses is kept as the last refused disconnection
// (LastDisconnectFailure), and the rule that condemned the connection is
// marked as failing until one of its disconnections succeeds.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/base/user_dialogs.h"
#include "core/control/connection_control_rule_file.h"
#include "core/control/connection_resetter.h"
#include "core/control/disconnect_failure.h"
#include "core/control/operate_connection_rule.h"
#include "core/log/logger.h"
#include "core/log/per_date_logger.h"
#include "core/monitor/connection_info.h"
#include "core/monitor/connection_monitor.h"

namespace harlune {

// What the engine reads and drains of the connection table.
class ControlledConnections {
 public:
  virtual ~ControlledConnections() = default;
  // The current connections in key order.
  virtual const ConnectionMap& Connections() const = 0;
  // Connections not yet attached to the rules, oldest first.
  virtual NewConnectionQueue& NewConnections() = 0;
  // Connections whose owner became known after they were first seen,
  // oldest first.
  virtual NewConnectionQueue& OwnersFound() = 0;
  // The owning process's name, "不明" when unknown.
  virtual std::string ProcessNameOf(std::int32_t processId) const = 0;
};

// The live table of a ConnectionMonitor.
class MonitorControlledConnections final : public ControlledConnections {
 public:
  explicit MonitorControlledConnections(ConnectionMonitor& monitor) : monitor_(monitor) {}
  const ConnectionMap& Connections() const override { return monitor_.Connections(); }
  NewConnectionQueue& NewConnections() override { return monitor_.NewConnections(); }
  NewConnectionQueue& OwnersFound() override { return monitor_.OwnersFound(); }
  std::string ProcessNameOf(std::int32_t processId) const override {
    return monitor_.ProcessNameOf(processId);
  }

 private:
  ConnectionMonitor& monitor_;
};

// Whether the engine runs: CONNECTION_CONTROL is on, and filtering runs or
// START_CONNECTION_CONTROL_WITH_FILTERING is off.
bool ConnectionControlEnabled(const IniFileObject& settings, bool filteringRunning);

// Picks where the random count limit starts among `candidates` (> 0)
// connections: a value below `candidates`.
using StartIndexSource = std::function<std::size_t(std::size_t candidates)>;

// The act step of the latest enabled pass.
struct ControlActReport {
  std::size_t condemned = 0;  // connections marked for disconnection
  std::size_t ended = 0;      // of which the system ended (and the log got a line)
  std::size_t failed = 0;     // of which it did not; they are tried again next pass
  std::optional<ConnectionResetResult> lastFailure;
};

// The reasons the engine writes into controlReason (and the control log).
std::string DisconnectReason(std::string_view ruleName);
std::string CountLimitReason(std::string_view ruleName, std::size_t counted, std::uint32_t allowed);

class ConnectionControlEngine {
 public:
  // Without `startIndex` the random count limit draws from a
  // std::minstd_rand with its default seed that is never reseeded, so runs
  // of the application repeat the same draws.
  ConnectionControlEngine(OperateConnectionRuleIni& rules, ControlledConnections& connections,
                          ConnectionResetter& resetter, LogClock clock = SystemLogClock,
                          StartIndexSource startIndex = {});
  ConnectionControlEngine(const ConnectionControlEngine&) = delete;
  ConnectionControlEngine& operator=(const ConnectionControlEngine&) = delete;

  // LOG_CONNECTION_CONTROL and CONNECTION_CONTROL_LOG_FILE_NAME. The control
  // log is made at the first call; until then nothing is logged.
  void ApplySettings(const IniFileObject& settings);

  // The once-a-second pass after a successful table refresh. Enabled: attach
  // the new connections, apply the available rules in order, end the
  // condemned connections. Disabled: the queue keeps its live entries for
  // later and drops its dead ones on the first call and every 60th.
  void Pass(bool enabled);

  // Rebuilds the matched list of one rule from the current table, after the
  // rule was added or edited. Connections still in the new-connection queue
  // are left to the next pass, which attaches them. Out of range: nothing.
  void AttachExisting(std::size_t ruleIndex);

  // The rule list's changes, each mirrored in the connection lists.
  //
  // The lists live here rather than in the rules because a rule is a value
  // that the settings file code copies and compares. They are kept in a
  // vector parallel to the rule list, and the engine makes every change of
  // the list's shape itself, so the two cannot drift apart: the page calls
  // these instead of the list's own operations. A list replaced behind the
  // engine's back (settings loaded anew) is announced with RulesReplaced;
  // should that be forgotten, a pass that finds a different number of rules
  // rebuilds every list rather than apply one rule's connections to another.
  bool AppendRule(const OperateConnectionRule& rule, UserDialogs& dialogs);
  bool ReplaceRule(std::size_t index, const OperateConnectionRule& rule);
  bool RemoveRule(std::size_t index, UserDialogs& dialogs);
  bool SwapRules(std::size_t first, std::size_t second);
  // Clones take the connection lists of their originals, as a rule's clone
  // does.
  bool DuplicateRules(std::span<const std::size_t> indices, UserDialogs& dialogs);
  void RulesReplaced();

  const OperateConnectionRuleIni& Rules() const { return rules_; }
  // The rules to change in place (a field, never the list's shape).
  std::span<OperateConnectionRule> EditableRules() { return rules_.Rules(); }

  // The live connections of a rule's matched list, in list order.
  std::vector<std::shared_ptr<ConnectionInfo>> MatchedConnections(std::size_t ruleIndex) const;

  const ControlActReport& LastActReport() const { return lastAct_; }

  // The last refused disconnection and its change count.
  const DisconnectFailureReport& LastDisconnectFailure() const { return failureReport_; }
  // The standing failure of a rule: its latest disconnection was refused
  // and none has succeeded since. Nothing out of range.
  std::optional<DisconnectFailure> RuleDisconnectFailure(std::size_t ruleIndex) const;
  // Grows whenever a rule's failure appears, changes or clears, so a page
  // redraws its marks only then.
  std::uint64_t RuleFailuresChangeCount() const { return ruleFailuresChangeCount_; }

  // The control log; null before ApplySettings.
  CPerDateLogger* ControlLogger() { return logger_.get(); }
  // The owner's periodic call: flushes the control log once a minute.
  void Tick();

 private:
  struct RuleConnections {
    std::vector<std::weak_ptr<ConnectionInfo>> matched;
    std::vector<std::weak_ptr<ConnectionInfo>> unresolved;
    // Names these lists for the connections the rule condemned, whatever
    // position the rule moves to; a clone gets its own.
    std::uint64_t id = 0;
    std::optional<DisconnectFailure> failing;
  };
  using LiveConnections = std::vector<std::shared_ptr<ConnectionInfo>>;
  // The rule that condemned a connection, kept until the connection leaves
  // the table: a condemned connection is tried again at every pass.
  struct Condemnation {
    std::string ruleName;
    std::uint64_t ruleId = 0;
  };

  void AttachNewConnections();
  void ReattachLateOwners();
  void RulePass(const OperateConnectionRule& rule, RuleConnections& lists);
  void ApplyCountLimit(const OperateConnectionRule& rule, const RuleConnections& lists,
                       const LiveConnections& counted);
  void Condemn(ConnectionInfo& connection, std::string reason, const OperateConnectionRule& rule,
               const RuleConnections& lists);
  std::vector<ConnectionInfo*> ChooseForLimit(std::int32_t priorCondition,
                                              std::vector<ConnectionInfo*> candidates,
                                              std::size_t count);
  void Act();
  void Disconnect(ConnectionInfo& connection, const Condemnation& condemnation);
  void RecordRefusal(const Condemnation& condemnation, const ConnectionResetResult& result);
  void RecordSuccess(const Condemnation& condemnation);
  RuleConnections* ListsWithId(std::uint64_t id);
  RuleConnections NewRuleLists();
  void PruneQueue();
  void KeepListsInStep();

  OperateConnectionRuleIni& rules_;
  ControlledConnections& connections_;
  ConnectionResetter& resetter_;
  LogClock clock_;
  StartIndexSource startIndex_;
  std::minstd_rand random_;

  std::vector<RuleConnections> lists_;  // parallel to rules_
  std::uint64_t nextRuleId_ = 1;
  // Keyed by the record's address: every connection gets its entry when it
  // is condemned, and an entry whose connection is no longer condemned in
  // the table goes at the next act step, so an address never names a
  // connection it was not written for.
  std::unordered_map<const ConnectionInfo*, Condemnation> condemned_;

  std::unique_ptr<CPerDateLogger> logger_;
  bool logControl_ = false;
  std::string logFileName_;

  std::uint64_t disabledPasses_ = 0;
  ControlActReport lastAct_;
  DisconnectFailureReport failureReport_;
  std::uint64_t failureRuleId_ = 0;  // the rule of failureReport_.last
  std::uint64_t ruleFailuresChangeCount_ = 0;
};

}  // namespace harlune
