// The connection control engine over hand-made connections: rule order and
// marks, the states it acts on, the count limit's orders, host names that
// arrive late, the disabled engine, resets that fail or do not take, and the
// connection lists through changes of the rule list.

#include "core/control/connection_control_engine.h"

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control_engine_harness.h"

namespace harlune {
namespace {

using testing::EngineHarness;
using Ports = std::vector<std::uint16_t>;

TEST(ConnectionControlEngine, LaterRuleDecidesUnlessAnEarlierOneSparesOrDecided) {
  for (const std::int32_t first : {kActionFollowLowerRules, 7, kActionLeaveAlone}) {
    SCOPED_TRACE(first);
    EngineHarness h;
    h.AddRule("First", first);
    h.AddRule("Second", kActionDisconnect);
    const ConnectionInfo& connection = h.Add(1000, "bad\nhost.example.com");
    h.engine.Pass(true);
    if (first == kActionLeaveAlone) {
      EXPECT_TRUE(h.resetter.keys.empty());
      EXPECT_EQ(connection.controlMark, kControlMarkNone) << "the spare lasts one pass";
      EXPECT_EQ(h.LogText(), "");
      continue;
    }
    // Action 0, and a value outside the table, leave the decision to later
    // rules.
    ASSERT_EQ(h.EndedPorts(), Ports{1000});
    EXPECT_EQ(h.resetter.keys[0], (TcpFourTuple{connection.localAddr, connection.localPort,
                                                testing::kRemoteAddress, connection.remotePort}));
    EXPECT_EQ(connection.controlMark, kControlMarkDisconnect);
    const std::regex line(R"(\[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}:[0-9]{2}:[0-9]{2}\] )"
                          R"("bad\?host\.example\.com" was disconnected by Second\n)");
    EXPECT_TRUE(std::regex_match(h.LogText(), line)) << h.LogText();
  }
}

TEST(ConnectionControlEngine, ListeningAndClosingConnectionsAreNeverActedOnAndLeaveTheLists) {
  EngineHarness h;
  h.AddRule("Cut", kActionDisconnect);
  h.RuleAt(0).TriggerTimeLow = 5;
  for (const auto state : {kTcpStateListen, kTcpStateTimeWait, kTcpStateCloseWait}) {
    h.Add(static_cast<std::uint16_t>(state), "www.example.com", state).connectedSeconds = 100;
  }
  ConnectionInfo& young = h.Add(2000);
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(0), Ports{2000});

  young.state = kTcpStateCloseWait;
  young.connectedSeconds = 100;
  h.engine.Pass(true);
  EXPECT_TRUE(h.MatchedPorts(0).empty());
  EXPECT_TRUE(h.resetter.keys.empty());
}

TEST(ConnectionControlEngine, CountLimitCondemnsTheSurplusInEachOrder) {
  // Ports 1..5 are list order; each order picks a different three.
  const std::uint32_t seconds[] = {10, 50, 30, 20, 40};
  const std::uint64_t up[] = {100, 500, 300, 400, 200};
  const std::uint64_t down[] = {1, 2, 4, 5, 3};
  const std::vector<Ports> expected = {
      {1, 4, 5},  // random, from the fourth candidate on, wrapping round
      {1, 3, 4}, {2, 3, 5}, {2, 3, 4}, {1, 3, 5},
      {3, 4, 5}, {1, 2, 5}, {},  // an order outside the table
  };
  for (std::int32_t prior = 0; prior < 8; ++prior) {
    SCOPED_TRACE(prior);
    EngineHarness h;
    h.randomStart = 3;
    h.AddRule("Limit", kActionFollowLowerRules);
    h.RuleAt(0).BLimitConnectionNum = true;
    h.RuleAt(0).AllowConnectionNum = 2;
    h.RuleAt(0).PriorCondition = prior;
    std::vector<const ConnectionInfo*> all;
    for (std::size_t i = 0; i < 5; ++i) {
      ConnectionInfo& connection = h.Add(static_cast<std::uint16_t>(i + 1));
      connection.connectedSeconds = seconds[i];
      connection.upTotal = up[i];
      connection.downTotal = down[i];
      all.push_back(&connection);
    }
    h.engine.Pass(true);
    EXPECT_EQ(h.EndedPorts(), expected[static_cast<std::size_t>(prior)]);
    for (const ConnectionInfo* connection : all) {
      EXPECT_EQ(connection->controlReason,
                connection->controlMark == kControlMarkDisconnect
                    ? "was disconnected by Limit for restriction on the number of connections (5/2)"
                    : "");
    }
  }
}

TEST(ConnectionControlEngine, CountLimitCountsConnectionsStillWithoutHostNames) {
  // RESOLVE_HOST off: no name ever arrives, so every connection waits in the
  // unresolved list.
  EngineHarness h;
  h.AddRule("Limit", kActionFollowLowerRules);
  h.RuleAt(0).BLimitConnectionNum = true;
  h.RuleAt(0).AllowConnectionNum = 1;
  h.RuleAt(0).PriorCondition = kPriorLongTimeFirst;
  for (std::uint16_t port = 1; port <= 3; ++port) {
    h.Add(port, "").connectedSeconds = port;
  }
  // Passes while the rule sits out must not pile the waiting connections up.
  h.RuleAt(0).Available = false;
  h.engine.Pass(true);
  h.engine.Pass(true);
  h.RuleAt(0).Available = true;
  h.engine.Pass(true);
  EXPECT_EQ(h.EndedPorts(), (Ports{2, 3}));
  const std::string log = h.LogText();
  EXPECT_NE(log.find("] \"93.184.216.34\" was disconnected by Limit for restriction on the "
                     "number of connections (3/1)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(h.connections.queue.size(), 3u) << "they wait for their names";
}

TEST(ConnectionControlEngine, RuleWithHostPatternsWaitsForTheHostName) {
  EngineHarness h;
  h.AddRule("Hosts", kActionDisconnect);
  h.RuleAt(0).HostPatterns = {"*.example.com"};
  ConnectionInfo& pending = h.Add(1, "");
  h.Add(2, "www.example.org");
  for (int pass = 0; pass < 3; ++pass) {
    h.engine.Pass(true);
  }
  EXPECT_TRUE(h.resetter.keys.empty());
  pending.remoteHost = "www.example.com";
  h.engine.Pass(true);
  EXPECT_EQ(h.EndedPorts(), Ports{1});
  EXPECT_TRUE(h.connections.queue.empty());
}

// A failed lookup of an IPv6 peer leaves its address text as the host name;
// a rule for such hosts ends it, resetting the IPv6 four-tuple, and the log
// names it by that text. A named IPv6 peer and the unspecified address stay.
TEST(ConnectionControlEngine, ResolveFailedRuleEndsUnresolvedIpv6Peers) {
  EngineHarness h;
  h.AddRule("Unnamed", kActionDisconnect);
  h.RuleAt(0).ResolveFailedHost = true;
  const IpAddress local6 = *ParseIpAddress("2001:2::1");
  const IpAddress remote6 = *ParseIpAddress("2001:2::7");
  const auto addV6 = [&](std::uint16_t port, const IpAddress& remote, std::string host) {
    // Re-keyed: the table owns the record, the queue only watches it.
    const auto entry = h.connections.table.find(KeyOf(h.Add(port, std::move(host))));
    const std::shared_ptr<ConnectionInfo> connection = entry->second;
    h.connections.table.erase(entry);
    connection->localAddr = local6;
    connection->remoteAddr = remote;
    h.connections.table.emplace(KeyOf(*connection), connection);
  };
  addV6(1, remote6, "2001:2::7");
  addV6(2, *ParseIpAddress("2001:2::8"), "v6.example.com");
  addV6(3, *ParseIpAddress("::"), "::");
  h.Add(4, "93.184.216.34");
  h.engine.Pass(true);
  Ports ended = h.EndedPorts();
  std::ranges::sort(ended);
  ASSERT_EQ(ended, (Ports{1, 4}));
  for (const TcpFourTuple& key : h.resetter.keys) {
    const bool isV6 = HostOrderPort(key.localPort) == 1;
    EXPECT_EQ(key.localAddr, isV6 ? local6 : Ipv4Address(192, 168, 0, 2));
    EXPECT_EQ(key.remoteAddr, isV6 ? remote6 : testing::kRemoteAddress);
  }
  const std::string log = h.LogText();
  EXPECT_NE(log.find("\"2001:2::7\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"93.184.216.34\""), std::string::npos) << log;
  EXPECT_EQ(log.find("v6.example.com"), std::string::npos) << log;
}

TEST(ConnectionControlEngine, DisabledEngineKeepsLiveQueueEntriesAndDropsDeadOnesEverySixtyPasses) {
  EngineHarness h;
  h.AddRule("Cut", kActionDisconnect);
  h.Add(1);
  const ConnectionInfo& closing = h.Add(2);
  h.engine.Pass(false);  // the first call prunes
  h.Remove(closing);
  for (int pass = 0; pass < 59; ++pass) {
    h.engine.Pass(false);
  }
  EXPECT_EQ(h.connections.queue.size(), 2u);
  h.engine.Pass(false);  // the 61st call prunes again
  EXPECT_EQ(h.connections.queue.size(), 1u);
  EXPECT_TRUE(h.resetter.keys.empty());

  h.engine.Pass(true);
  EXPECT_EQ(h.EndedPorts(), Ports{1});
}

TEST(ConnectionControlEngine, SurvivorIsResetAgainAndOnlyEndedConnectionsAreLogged) {
  EngineHarness h;
  h.AddRule("Cut", kActionDisconnect);
  h.Add(1);
  h.engine.Pass(true);
  h.engine.Pass(true);  // the reset did not take: the table still has it
  EXPECT_EQ(h.EndedPorts(), (Ports{1, 1}));
  const std::string log = h.LogText();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
  EXPECT_EQ(h.engine.LastActReport().ended, 1u);

  // Refused: tried at every pass, told in the report, never logged.
  h.resetter.answer = {ConnectionResetStatus::kNotPermitted, 1};
  h.engine.Pass(true);
  h.engine.Pass(true);
  EXPECT_EQ(h.resetter.keys.size(), 4u);
  EXPECT_EQ(h.LogText(), log);
  const ControlActReport& report = h.engine.LastActReport();
  EXPECT_EQ(report.condemned, 1u);
  EXPECT_EQ(report.failed, 1u);
  EXPECT_EQ(report.lastFailure, h.resetter.answer);

  h.settings.LOG_CONNECTION_CONTROL = 0;
  h.engine.ApplySettings(h.settings);
  h.resetter.answer = {ConnectionResetStatus::kOk, 0};
  h.engine.Pass(true);
  EXPECT_EQ(h.LogText(), log);
}

TEST(ConnectionControlEngine, SparingRuleCanStillTakeTheConnectionForItsOwnLimit) {
  EngineHarness h;
  h.AddRule("Keep", kActionLeaveAlone);
  h.RuleAt(0).BLimitConnectionNum = true;
  h.RuleAt(0).AllowConnectionNum = 1;
  h.RuleAt(0).PriorCondition = kPriorShortTimeFirst;
  h.AddRule("Cut", kActionDisconnect);
  // A later limit counts the spared connection but may not choose it.
  h.RuleAt(1).BLimitConnectionNum = true;
  h.RuleAt(1).AllowConnectionNum = 0;
  std::vector<const ConnectionInfo*> all;
  for (std::uint16_t port = 1; port <= 3; ++port) {
    ConnectionInfo& connection = h.Add(port);
    connection.connectedSeconds = port;
    all.push_back(&connection);
  }
  h.engine.Pass(true);
  EXPECT_EQ(h.EndedPorts(), (Ports{1, 2}));
  EXPECT_NE(all[0]->controlReason.find("by Keep for restriction"), std::string::npos);
  EXPECT_EQ(all[2]->controlMark, kControlMarkNone);
}

TEST(ConnectionControlEngine, ConnectionListsFollowTheirRulesAndCountEachConnectionOnce) {
  EngineHarness h;
  h.AddRule("A", kActionFollowLowerRules);
  h.RuleAt(0).TargetProcessName = "APP.EXE";
  h.AddRule("B", kActionFollowLowerRules);
  h.RuleAt(1).TargetProcessName = "other.exe";
  h.Add(1);
  h.Add(2).processId = 200;
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(0), Ports{1});
  EXPECT_EQ(h.MatchedPorts(1), Ports{2});

  ASSERT_TRUE(h.engine.SwapRules(0, 1));
  EXPECT_EQ(h.MatchedPorts(0), Ports{2});
  const std::size_t first[] = {0};
  ASSERT_TRUE(h.engine.DuplicateRules(first, h.dialogs));
  EXPECT_EQ(h.MatchedPorts(2), Ports{2});
  ASSERT_TRUE(h.engine.RemoveRule(0, h.dialogs));
  EXPECT_EQ(h.MatchedPorts(0), Ports{1});
  EXPECT_EQ(h.MatchedPorts(1), Ports{2});

  // A rule edited to another process takes the table's connections at once;
  // one named while still queued is taken once, by the next pass.
  OperateConnectionRule edited = h.RuleAt(1);
  edited.TargetProcessName.clear();
  ConnectionInfo& late = h.Add(3, "");
  late.remoteHost = "late.example.com";
  ASSERT_TRUE(h.engine.ReplaceRule(1, edited));
  h.engine.AttachExisting(1);
  EXPECT_EQ(h.MatchedPorts(1), (Ports{1, 2}));
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(1), (Ports{1, 2, 3}));

  // A list changed behind the engine's back is rebuilt, not misapplied.
  OperateConnectionRule any;
  ASSERT_TRUE(h.rules.Append(any, h.dialogs));
  h.engine.Pass(true);
  EXPECT_EQ(h.MatchedPorts(2), (Ports{1, 2, 3}));
}

}  // namespace
}  // namespace harlune
