#include "core/control/connection_control_engine.h"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <utility>

#include "core/log/log_lines.h"

namespace harlune {
namespace {

// The disabled engine drops dead queue entries once per this many passes.
constexpr std::uint64_t kQueuePrunePeriod = 60;

// Only connections being made or established are acted on; a rule's lists
// drop every other one for good (no state leads back to these).
bool IsControllable(std::uint32_t state) {
  return state == kTcpStateSynSent || state == kTcpStateSynRcvd || state == kTcpStateEstablished;
}

// Drops the dead and no longer controllable entries from `list` and appends
// the others to `live`, in list order.
void TakeControllable(std::vector<std::weak_ptr<ConnectionInfo>>& list,
                      std::vector<std::shared_ptr<ConnectionInfo>>& live) {
  std::vector<std::weak_ptr<ConnectionInfo>> kept;
  kept.reserve(list.size());
  for (std::weak_ptr<ConnectionInfo>& entry : list) {
    std::shared_ptr<ConnectionInfo> connection = entry.lock();
    if (connection && IsControllable(connection->state)) {
      live.push_back(std::move(connection));
      kept.push_back(std::move(entry));
    }
  }
  list = std::move(kept);
}

void DropUncontrollable(std::vector<std::weak_ptr<ConnectionInfo>>& list) {
  std::vector<std::shared_ptr<ConnectionInfo>> unused;
  TakeControllable(list, unused);
}

ConnectionConditionValues ConditionValuesOf(const ConnectionInfo& connection) {
  return {connection.controlMark, connection.connectedSeconds, connection.upTotal,
          connection.downTotal};
}

// The order in which PriorCondition 1..6 chooses surplus connections; null
// for any other value.
using ConnectionOrder = bool (*)(const ConnectionInfo*, const ConnectionInfo*);
ConnectionOrder OrderOf(std::int32_t priorCondition) {
  switch (priorCondition) {
    case kPriorShortTimeFirst:
      return [](const ConnectionInfo* a, const ConnectionInfo* b) {
        return a->connectedSeconds < b->connectedSeconds;
      };
    case kPriorLongTimeFirst:
      return [](const ConnectionInfo* a, const ConnectionInfo* b) {
        return a->connectedSeconds > b->connectedSeconds;
      };
    case kPriorMostUpFirst:
      return
          [](const ConnectionInfo* a, const ConnectionInfo* b) { return a->upTotal > b->upTotal; };
    case kPriorLeastUpFirst:
      return
          [](const ConnectionInfo* a, const ConnectionInfo* b) { return a->upTotal < b->upTotal; };
    case kPriorMostDownFirst:
      return [](const ConnectionInfo* a, const ConnectionInfo* b) {
        return a->downTotal > b->downTotal;
      };
    case kPriorLeastDownFirst:
      return [](const ConnectionInfo* a, const ConnectionInfo* b) {
        return a->downTotal < b->downTotal;
      };
    default:
      return nullptr;
  }
}

}  // namespace

bool ConnectionControlEnabled(const IniFileObject& settings, bool filteringRunning) {
  return settings.CONNECTION_CONTROL != 0 &&
         (filteringRunning || settings.START_CONNECTION_CONTROL_WITH_FILTERING == 0);
}

std::string DisconnectReason(std::string_view ruleName) {
  return "was disconnected by " + std::string(ruleName);
}

std::string CountLimitReason(std::string_view ruleName, std::size_t counted,
                             std::uint32_t allowed) {
  return DisconnectReason(ruleName) + " for restriction on the number of connections (" +
         std::to_string(counted) + "/" + std::to_string(allowed) + ")";
}

ConnectionControlEngine::ConnectionControlEngine(OperateConnectionRuleIni& rules,
                                                 ControlledConnections& connections,
                                                 ConnectionResetter& resetter, LogClock clock,
                                                 StartIndexSource startIndex)
    : rules_(rules),
      connections_(connections),
      resetter_(resetter),
      clock_(std::move(clock)),
      startIndex_(std::move(startIndex)) {
  RulesReplaced();
}

void ConnectionControlEngine::ApplySettings(const IniFileObject& settings) {
  logControl_ = settings.LOG_CONNECTION_CONTROL != 0;
  logFileName_ = settings.CONNECTION_CONTROL_LOG_FILE_NAME;
  if (logger_ == nullptr) {
    logger_ = std::make_unique<CPerDateLogger>(logFileName_, true, clock_);
  }
}

void ConnectionControlEngine::Pass(bool enabled) {
  KeepListsInStep();
  if (!enabled) {
    if (disabledPasses_ % kQueuePrunePeriod == 0) {
      PruneQueue();
    }
    ++disabledPasses_;
    return;
  }
  AttachNewConnections();
  ReattachLateOwners();
  const std::span<const OperateConnectionRule> rules = rules_.Rules();
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].Available) {
      RulePass(rules[i], lists_[i]);
    } else {
      // A rule that sits out still collects connections; keep its lists
      // from growing without bound.
      DropUncontrollable(lists_[i].matched);
    }
    // Refilled at every pass, for every rule: an unavailable rule's list
    // would otherwise take each unresolved connection again every second.
    lists_[i].unresolved.clear();
  }
  Act();
}

void ConnectionControlEngine::AttachNewConnections() {
  const std::span<const OperateConnectionRule> rules = rules_.Rules();
  NewConnectionQueue& queue = connections_.NewConnections();
  NewConnectionQueue waiting;
  for (std::weak_ptr<ConnectionInfo>& entry : queue) {
    const std::shared_ptr<ConnectionInfo> connection = entry.lock();
    if (connection == nullptr) {
      continue;
    }
    const std::string processName = connections_.ProcessNameOf(connection->processId);
    const bool resolved = !connection->remoteHost.empty();
    for (std::size_t i = 0; i < rules.size(); ++i) {
      const OperateConnectionRule& rule = rules[i];
      if (!rule.MatchesProcess(processName)) {
        continue;
      }
      if (resolved && rule.MatchesHost(connection->remoteHost)) {
        lists_[i].matched.push_back(connection);
      } else if (!resolved && !rule.HasHostCondition()) {
        lists_[i].unresolved.push_back(connection);
      }
    }
    if (!resolved) {
      waiting.push_back(std::move(entry));
    }
  }
  queue = std::move(waiting);
}

// A connection attached while its owner was unknown was tested against the
// rules' process names as "不明". Those still queued for their host name
// are tested anew at every pass anyway; the others are tested again here,
// and a rule that now takes one appends it to its matched list. A rule
// that holds it already (its process test passed for "不明", or it was
// attached since) is left as it is, so no connection counts twice.
void ConnectionControlEngine::ReattachLateOwners() {
  NewConnectionQueue& found = connections_.OwnersFound();
  if (found.empty()) {
    return;  // the usual pass: every owner was known from the start
  }
  std::unordered_set<const ConnectionInfo*> waiting;
  for (const std::weak_ptr<ConnectionInfo>& entry : connections_.NewConnections()) {
    if (const std::shared_ptr<ConnectionInfo> connection = entry.lock()) {
      waiting.insert(connection.get());
    }
  }
  LiveConnections late;
  std::vector<std::string> names;
  std::unordered_set<const ConnectionInfo*> lateSet;
  for (const std::weak_ptr<ConnectionInfo>& entry : found) {
    std::shared_ptr<ConnectionInfo> connection = entry.lock();
    if (connection && !connection->remoteHost.empty() && !waiting.contains(connection.get()) &&
        lateSet.insert(connection.get()).second) {
      names.push_back(connections_.ProcessNameOf(connection->processId));
      late.push_back(std::move(connection));
    }
  }
  found.clear();
  const std::span<const OperateConnectionRule> rules = rules_.Rules();
  for (std::size_t i = 0; i < rules.size() && !late.empty(); ++i) {
    std::unordered_set<const ConnectionInfo*> present;
    for (const std::weak_ptr<ConnectionInfo>& entry : lists_[i].matched) {
      const std::shared_ptr<ConnectionInfo> connection = entry.lock();
      if (connection && lateSet.contains(connection.get())) {
        present.insert(connection.get());
      }
    }
    for (std::size_t j = 0; j < late.size(); ++j) {
      if (!present.contains(late[j].get()) && rules[i].MatchesProcess(names[j]) &&
          rules[i].MatchesHost(late[j]->remoteHost)) {
        lists_[i].matched.push_back(late[j]);
      }
    }
  }
}

void ConnectionControlEngine::RulePass(const OperateConnectionRule& rule, RuleConnections& lists) {
  LiveConnections counted;
  TakeControllable(lists.matched, counted);
  TakeControllable(lists.unresolved, counted);

  std::vector<ConnectionInfo*> spared;
  for (const std::shared_ptr<ConnectionInfo>& connection : counted) {
    if (!rule.ConditionHolds(ConditionValuesOf(*connection))) {
      continue;
    }
    if (rule.Action == kActionLeaveAlone) {
      connection->controlMark = kControlMarkSparedByThisRule;
      spared.push_back(connection.get());
    } else if (rule.Action == kActionDisconnect) {
      Condemn(*connection, DisconnectReason(rule.Name), rule, lists);
    }
    // Action 0, and a value outside the table that a hand-edited file may
    // hold, decide nothing: a mark of that value would keep the connection
    // from every rule for good.
  }
  ApplyCountLimit(rule, lists, counted);
  for (ConnectionInfo* connection : spared) {
    if (connection->controlMark == kControlMarkSparedByThisRule) {
      connection->controlMark = kControlMarkSpared;
    }
  }
}

void ConnectionControlEngine::ApplyCountLimit(const OperateConnectionRule& rule,
                                              const RuleConnections& lists,
                                              const LiveConnections& counted) {
  if (!rule.BLimitConnectionNum || counted.size() <= rule.AllowConnectionNum) {
    return;
  }
  std::vector<ConnectionInfo*> candidates;
  std::size_t sparedEarlier = 0;
  for (const std::shared_ptr<ConnectionInfo>& connection : counted) {
    if (connection->controlMark == kControlMarkNone ||
        connection->controlMark == kControlMarkSparedByThisRule) {
      candidates.push_back(connection.get());
    } else if (connection->controlMark == kControlMarkSpared) {
      ++sparedEarlier;
    }
  }
  const std::size_t holding = candidates.size() + sparedEarlier;
  if (candidates.empty() || holding <= rule.AllowConnectionNum) {
    return;
  }
  const std::size_t excess = std::min(holding - rule.AllowConnectionNum, candidates.size());
  // The count is of every connection the limit weighed, resolved or not: a
  // rule whose connections all wait for their host names (RESOLVE_HOST off)
  // would otherwise log "(0/n)".
  const std::string reason = CountLimitReason(rule.Name, counted.size(), rule.AllowConnectionNum);
  for (ConnectionInfo* connection :
       ChooseForLimit(rule.PriorCondition, std::move(candidates), excess)) {
    Condemn(*connection, reason, rule, lists);
  }
}

void ConnectionControlEngine::Condemn(ConnectionInfo& connection, std::string reason,
                                      const OperateConnectionRule& rule,
                                      const RuleConnections& lists) {
  connection.controlMark = kControlMarkDisconnect;
  connection.controlReason = std::move(reason);
  condemned_.insert_or_assign(&connection, Condemnation{rule.Name, lists.id});
}

std::vector<ConnectionInfo*> ConnectionControlEngine::ChooseForLimit(
    std::int32_t priorCondition, std::vector<ConnectionInfo*> candidates, std::size_t count) {
  if (priorCondition == kPriorRandom) {
    const std::size_t size = candidates.size();
    const std::size_t start =
        (startIndex_ ? startIndex_(size)
                     : std::uniform_int_distribution<std::size_t>(0, size - 1)(random_)) %
        size;
    std::vector<ConnectionInfo*> chosen;
    for (std::size_t i = 0; i < count; ++i) {
      chosen.push_back(candidates[(start + i) % size]);
    }
    return chosen;
  }
  const ConnectionOrder order = OrderOf(priorCondition);
  if (order == nullptr) {
    return {};  // a PriorCondition outside the table condemns nothing
  }
  // Stable, so that ties go in list order run after run.
  std::ranges::stable_sort(candidates, order);
  candidates.resize(count);
  return candidates;
}

void ConnectionControlEngine::Act() {
  lastAct_ = {};
  std::unordered_map<const ConnectionInfo*, Condemnation> stillCondemned;
  for (const auto& [key, connection] : connections_.Connections()) {
    if (connection->controlMark == kControlMarkSpared) {
      connection->controlMark = kControlMarkNone;
    } else if (connection->controlMark == kControlMarkDisconnect) {
      auto entry = condemned_.extract(connection.get());
      Condemnation condemnation = entry.empty() ? Condemnation{} : std::move(entry.mapped());
      Disconnect(*connection, condemnation);
      stillCondemned.emplace(connection.get(), std::move(condemnation));
    }
  }
  condemned_ = std::move(stillCondemned);
}

// The mark stays: a connection that survives is tried again at every pass
// and no rule decides about it again. The log tells only of connections the
// system did end; a refusal (no privilege, no support) is kept in the
// report for the front end and never written as a disconnection.
void ConnectionControlEngine::Disconnect(ConnectionInfo& connection,
                                         const Condemnation& condemnation) {
  ++lastAct_.condemned;
  const ConnectionResetResult result = resetter_.ResetConnection(KeyOf(connection));
  if (result.status != ConnectionResetStatus::kOk) {
    ++lastAct_.failed;
    lastAct_.lastFailure = result;
    RecordRefusal(condemnation, result);
    return;
  }
  ++lastAct_.ended;
  RecordSuccess(condemnation);
  if (logControl_ && logger_ != nullptr) {
    logger_->AddLine(ConnectionControlLine(clock_(), connection.remoteHost, connection.remoteAddr,
                                           connection.controlReason),
                     logFileName_);
  }
}

// A connection that had gone before it could be ended was refused
// nothing: it neither stands as a failure nor clears one.
void ConnectionControlEngine::RecordRefusal(const Condemnation& condemnation,
                                            const ConnectionResetResult& result) {
  const std::optional<DisconnectFailureReason> reason = FailureReasonOf(result.status);
  if (!reason) {
    return;
  }
  const DisconnectFailure failure{condemnation.ruleName, *reason, result.errorCode};
  if (RuleConnections* lists = ListsWithId(condemnation.ruleId);
      lists != nullptr && lists->failing != failure) {
    lists->failing = failure;
    ++ruleFailuresChangeCount_;
  }
  if (failureReport_.last != failure || failureRuleId_ != condemnation.ruleId) {
    failureReport_.last = failure;
    failureRuleId_ = condemnation.ruleId;
    ++failureReport_.changeCount;
  }
}

void ConnectionControlEngine::RecordSuccess(const Condemnation& condemnation) {
  if (RuleConnections* lists = ListsWithId(condemnation.ruleId);
      lists != nullptr && lists->failing) {
    lists->failing.reset();
    ++ruleFailuresChangeCount_;
  }
  if (failureReport_.last && failureRuleId_ == condemnation.ruleId) {
    failureReport_.last.reset();
    ++failureReport_.changeCount;
  }
}

ConnectionControlEngine::RuleConnections* ConnectionControlEngine::ListsWithId(std::uint64_t id) {
  const auto found =
      std::ranges::find_if(lists_, [id](const RuleConnections& lists) { return lists.id == id; });
  return found == lists_.end() ? nullptr : &*found;
}

ConnectionControlEngine::RuleConnections ConnectionControlEngine::NewRuleLists() {
  RuleConnections lists;
  lists.id = nextRuleId_++;
  return lists;
}

std::optional<DisconnectFailure> ConnectionControlEngine::RuleDisconnectFailure(
    std::size_t ruleIndex) const {
  if (ruleIndex >= lists_.size() || lists_.size() != rules_.size()) {
    return std::nullopt;
  }
  return lists_[ruleIndex].failing;
}

void ConnectionControlEngine::PruneQueue() {
  const auto expired = [](const std::weak_ptr<ConnectionInfo>& entry) { return entry.expired(); };
  std::erase_if(connections_.NewConnections(), expired);
  std::erase_if(connections_.OwnersFound(), expired);
}

void ConnectionControlEngine::AttachExisting(std::size_t ruleIndex) {
  KeepListsInStep();
  if (ruleIndex >= lists_.size()) {
    return;
  }
  // Connections still queued reach the rule at the next pass through the
  // queue; taking them here as well would count them twice.
  std::set<const ConnectionInfo*> queued;
  for (const std::weak_ptr<ConnectionInfo>& entry : connections_.NewConnections()) {
    if (const std::shared_ptr<ConnectionInfo> connection = entry.lock()) {
      queued.insert(connection.get());
    }
  }
  const OperateConnectionRule& rule = rules_.Rules()[ruleIndex];
  std::vector<std::weak_ptr<ConnectionInfo>>& matched = lists_[ruleIndex].matched;
  matched.clear();
  for (const auto& [key, connection] : connections_.Connections()) {
    if (!connection->remoteHost.empty() && !queued.contains(connection.get()) &&
        rule.MatchesHost(connection->remoteHost) &&
        rule.MatchesProcess(connections_.ProcessNameOf(connection->processId))) {
      matched.push_back(connection);
    }
  }
}

bool ConnectionControlEngine::AppendRule(const OperateConnectionRule& rule, UserDialogs& dialogs) {
  KeepListsInStep();
  if (!rules_.Append(rule, dialogs)) {
    return false;
  }
  lists_.push_back(NewRuleLists());
  return true;
}

bool ConnectionControlEngine::ReplaceRule(std::size_t index, const OperateConnectionRule& rule) {
  KeepListsInStep();
  return rules_.ReplaceAt(index, rule);
}

bool ConnectionControlEngine::RemoveRule(std::size_t index, UserDialogs& dialogs) {
  KeepListsInStep();
  if (!rules_.RemoveAt(index, dialogs)) {
    return false;
  }
  lists_.erase(lists_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

bool ConnectionControlEngine::SwapRules(std::size_t first, std::size_t second) {
  KeepListsInStep();
  if (!rules_.Swap(first, second)) {
    return false;
  }
  std::swap(lists_[first], lists_[second]);
  return true;
}

bool ConnectionControlEngine::DuplicateRules(std::span<const std::size_t> indices,
                                             UserDialogs& dialogs) {
  KeepListsInStep();
  if (!rules_.Duplicate(indices, dialogs)) {
    return false;
  }
  std::vector<RuleConnections> copies;
  for (const std::size_t index : indices) {
    // Its own id, and nothing failed yet.
    RuleConnections copy = NewRuleLists();
    copy.matched = lists_[index].matched;
    copy.unresolved = lists_[index].unresolved;
    copies.push_back(std::move(copy));
  }
  lists_.insert(lists_.end(), copies.begin(), copies.end());
  return true;
}

void ConnectionControlEngine::RulesReplaced() {
  lists_.clear();
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    lists_.push_back(NewRuleLists());
  }
  ++ruleFailuresChangeCount_;  // the marks went with the old lists
  for (std::size_t i = 0; i < lists_.size(); ++i) {
    AttachExisting(i);
  }
}

void ConnectionControlEngine::KeepListsInStep() {
  if (lists_.size() != rules_.size()) {
    RulesReplaced();
  }
}

std::vector<std::shared_ptr<ConnectionInfo>> ConnectionControlEngine::MatchedConnections(
    std::size_t ruleIndex) const {
  std::vector<std::shared_ptr<ConnectionInfo>> live;
  if (ruleIndex < lists_.size()) {
    for (const std::weak_ptr<ConnectionInfo>& entry : lists_[ruleIndex].matched) {
      if (std::shared_ptr<ConnectionInfo> connection = entry.lock()) {
        live.push_back(std::move(connection));
      }
    }
  }
  return live;
}

void ConnectionControlEngine::Tick() {
  if (logger_ != nullptr) {
    logger_->Tick();
  }
}

}  // namespace harlune
