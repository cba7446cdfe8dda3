// The connection control engine where the tables and the system do not
// cooperate: owners that become known only after a connection was attached
// to the rules, and resets that the system refuses.

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control_engine_harness.h"
#include "core/control/connection_control_engine.h"

namespace harlune {
namespace {

using testing::EngineHarness;
using Ports = std::vector<std::uint16_t>;

// The monitor's part: the owner it found and the queue entry it made.
void OwnerFound(EngineHarness& h, ConnectionInfo& connection, std::int32_t processId) {
  connection.processId = processId;
  for (const auto& [key, entry] : h.connections.table) {
    if (entry.get() == &connection) {
      h.connections.owners.push_back(entry);
    }
  }
}

TEST(ConnectionControlLateOwner, ProcessRulesAreTestedAgainOnceTheOwnerIsKnown) {
  EngineHarness h;
  h.AddRule("Any", kActionFollowLowerRules);
  h.AddRule("ByName", kActionDisconnect);
  h.RuleAt(1).TargetProcessName = "APP.exe";
  ConnectionInfo& accepted = h.Add(1000);
  accepted.processId = kUnknownProcessId;
  // Still waiting for its host name when its owner turns up.
  ConnectionInfo& waiting = h.Add(2000, "");
  waiting.processId = kUnknownProcessId;
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(0), Ports{1000});
  EXPECT_TRUE(h.MatchedPorts(1).empty());
  EXPECT_TRUE(h.resetter.keys.empty()) << "\"不明\" is not APP.exe";

  OwnerFound(h, accepted, 100);
  OwnerFound(h, waiting, 100);
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(1), Ports{1000});
  EXPECT_EQ(h.MatchedPorts(0), Ports{1000}) << "a rule holding it already takes it once";
  EXPECT_EQ(h.EndedPorts(), (Ports{1000, 2000})) << "each ended once";
  EXPECT_EQ(accepted.controlReason, "was disconnected by ByName");
  EXPECT_TRUE(h.connections.owners.empty()) << "the queue is drained";

  // The waiting one is attached once, through the new-connection queue.
  waiting.remoteHost = "late.example.com";
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(1), (Ports{1000, 2000}));
}

TEST(ConnectionControlLateOwner, DisabledEngineKeepsLiveOwnerEntriesForLater) {
  EngineHarness h;
  h.AddRule("ByName", kActionDisconnect);
  h.RuleAt(0).TargetProcessName = "other.exe";
  ConnectionInfo& connection = h.Add(1000);
  connection.processId = kUnknownProcessId;
  ConnectionInfo& closed = h.Add(1001);
  closed.processId = kUnknownProcessId;
  h.engine.Pass(true);
  OwnerFound(h, connection, 200);
  OwnerFound(h, closed, 200);
  h.Remove(closed);
  h.engine.Pass(false);
  EXPECT_EQ(h.connections.owners.size(), 1u) << "the closed one's entry was dropped";
  h.engine.Pass(true);
  EXPECT_EQ(h.EndedPorts(), Ports{1000});
}

TEST(ConnectionControlFailures, RefusalsAreReportedOncePerChangeAndClearedBySuccess) {
  EngineHarness h;
  h.AddRule("Cut", kActionDisconnect);
  h.Add(1000);
  const DisconnectFailureReport& report = h.engine.LastDisconnectFailure();
  h.resetter.answer = {ConnectionResetStatus::kNotPermitted, EPERM};
  h.engine.Pass(true);
  ASSERT_TRUE(report.last);
  EXPECT_EQ(*report.last, (DisconnectFailure{"Cut", DisconnectFailureReason::kNoPrivilege, EPERM}));
  EXPECT_EQ(report.changeCount, 1u);
  EXPECT_EQ(DisconnectFailureText(*report.last),
            "ルール「Cut」の切断に失敗しました（権限がありません）");
  ASSERT_TRUE(h.engine.RuleDisconnectFailure(0));

  h.engine.Pass(true);
  EXPECT_EQ(report.changeCount, 1u) << "the same refusal again is no change";
  const std::uint64_t marks = h.engine.RuleFailuresChangeCount();

  h.resetter.answer = {ConnectionResetStatus::kNoDriver, EPERM};
  h.engine.Pass(true);
  EXPECT_EQ(report.changeCount, 2u);
  EXPECT_EQ(report.last->reason, DisconnectFailureReason::kNoDriver);
  EXPECT_GT(h.engine.RuleFailuresChangeCount(), marks);

  // Gone before it could be ended: refused nothing, cleared nothing.
  h.resetter.answer = {ConnectionResetStatus::kGone, ENOENT};
  h.engine.Pass(true);
  EXPECT_EQ(report.changeCount, 2u);
  EXPECT_TRUE(h.engine.RuleDisconnectFailure(0));

  h.resetter.answer = {ConnectionResetStatus::kOk, 0};
  h.engine.Pass(true);
  EXPECT_EQ(report.changeCount, 3u);
  EXPECT_FALSE(report.last);
  EXPECT_FALSE(h.engine.RuleDisconnectFailure(0));
}

TEST(ConnectionControlFailures, EachRuleKeepsItsOwnMarkThroughMovesAndCopies) {
  EngineHarness h;
  h.AddRule("A", kActionDisconnect);
  h.RuleAt(0).TargetProcessName = "app.exe";
  h.AddRule("B", kActionDisconnect);
  h.Add(1000);
  h.Add(2000).processId = 200;
  h.resetter.answer = {ConnectionResetStatus::kNotPermitted, EPERM};
  h.resetter.answerByPort[2000] = {ConnectionResetStatus::kNotSupported, EOPNOTSUPP};
  h.engine.Pass(true);
  const DisconnectFailureReport& report = h.engine.LastDisconnectFailure();
  ASSERT_TRUE(report.last);
  EXPECT_EQ(report.last->ruleName, "B") << "acted on in table order: 2000 last";
  EXPECT_EQ(DisconnectFailureText(*report.last),
            "ルール「B」の切断に失敗しました（システムが拒否しました：エラー " +
                std::to_string(EOPNOTSUPP) + "）");
  EXPECT_EQ(h.engine.RuleDisconnectFailure(0)->reason, DisconnectFailureReason::kNoPrivilege);

  // A's connection ends: A's mark goes, B's refusal still stands.
  const std::uint64_t changes = report.changeCount;
  h.resetter.answerByPort[1000] = {ConnectionResetStatus::kOk, 0};
  h.engine.Pass(true);
  EXPECT_FALSE(h.engine.RuleDisconnectFailure(0));
  EXPECT_EQ(report.changeCount, changes);
  EXPECT_EQ(report.last->ruleName, "B");

  ASSERT_TRUE(h.engine.SwapRules(0, 1));
  EXPECT_TRUE(h.engine.RuleDisconnectFailure(0)) << "the mark moves with B";
  EXPECT_FALSE(h.engine.RuleDisconnectFailure(1));
  const std::size_t b[] = {0};
  ASSERT_TRUE(h.engine.DuplicateRules(b, h.dialogs));
  EXPECT_FALSE(h.engine.RuleDisconnectFailure(2)) << "a copy has failed nothing yet";
  EXPECT_FALSE(h.engine.RuleDisconnectFailure(7));
}

}  // namespace
}  // namespace harlune
