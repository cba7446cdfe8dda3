// QueueRules::Check against a stand-in iptables whose rules the tests
// remove behind the daemon's back.

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_mangle_table.h"
#include "passthru/real/queue_rules.h"

namespace harlune {
namespace {

using testing::FakeMangleTable;

class QueueRulesCheckTest : public ::testing::Test {
 protected:
  // The daemon's rules for veth0 out (both families) and veth1 in, the
  // bypass rules at generation 4, and rules of another tool before and
  // after the daemon's jump.
  void SetUp() override {
    ASSERT_TRUE(rules_.Prepare());
    bool bypassDone = false;
    const std::vector<bool> done =
        rules_.Apply({{"veth0", Direction::Send, true, IpFamily::Ipv4},
                      {"veth1", Direction::Receive, true, IpFamily::Ipv4},
                      {"veth0", Direction::Send, true, IpFamily::Ipv6}},
                     4, bypassDone);
    ASSERT_TRUE(bypassDone && std::all_of(done.begin(), done.end(), [](bool d) { return d; }));
    Ipv4().rules.insert(Ipv4().rules.begin(), "POSTROUTING -j LOG --log-prefix before");
    Ipv4().rules.push_back("POSTROUTING -j ACCEPT");
    Ipv4().chains.push_back("OTHER-TOOL");
    Ipv4().rules.push_back("OTHER-TOOL -o veth0 -j ACCEPT");
    ASSERT_TRUE(rules_.StartWatching());
    pristine_ = Ipv4().rules;
    pristine6_ = table_.Of("ip6tables").rules;
    table_.calls.clear();
  }

  FakeMangleTable::Table& Ipv4() { return table_.Of("iptables"); }
  std::size_t Restores() const {
    return table_.CallsOf("iptables-restore") + table_.CallsOf("ip6tables-restore");
  }
  // Each chain's rules in their order, as iptables-save writes them.
  static std::map<std::string, std::vector<std::string>> ByChain(
      const std::vector<std::string>& rules) {
    std::map<std::string, std::vector<std::string>> chains;
    for (const std::string& rule : rules) {
      chains[rule.substr(0, rule.find(' '))].push_back(rule);
    }
    return chains;
  }
  static std::vector<std::string> InChain(const FakeMangleTable::Table& table,
                                          const std::string& chain) {
    std::vector<std::string> rules;
    std::copy_if(table.rules.begin(), table.rules.end(), std::back_inserter(rules),
                 [&](const std::string& rule) { return rule.starts_with(chain + " "); });
    return rules;
  }

  FakeMangleTable table_;
  QueueRules rules_{table_, 20006};
  std::vector<std::string> pristine_;
  std::vector<std::string> pristine6_;
};

TEST_F(QueueRulesCheckTest, WithNothingRemovedACheckOnlyReadsOneTablePerFamily) {
  const RuleCheck check = rules_.Check();
  EXPECT_TRUE(check.reports.empty());
  EXPECT_EQ(table_.calls,
            (std::vector<std::string>{"iptables-save -t mangle", "ip6tables-save -t mangle"}));
  EXPECT_TRUE(rules_.NfTables());
  EXPECT_TRUE(rules_.HasRules());
}

TEST_F(QueueRulesCheckTest, AFlushedChainGetsItsRulesBackInOneCallAndTheBypassRuleFirst) {
  const std::vector<std::string> before = InChain(Ipv4(), "HARLUNE-OUT");
  Ipv4().rules.erase(
      std::remove_if(Ipv4().rules.begin(), Ipv4().rules.end(),
                     [](const std::string& r) { return r.starts_with("HARLUNE-OUT"); }),
      Ipv4().rules.end());  // iptables -t mangle -F HARLUNE-OUT
  const RuleCheck check = rules_.Check();
  EXPECT_EQ(ByChain(Ipv4().rules), ByChain(pristine_));
  EXPECT_EQ(InChain(Ipv4(), "HARLUNE-OUT"), before) << "the bypass rule before the queue rule";
  EXPECT_EQ(table_.CallsOf("iptables-restore"), 1u);
  EXPECT_EQ(table_.CallsOf("ip6tables-restore"), 0u) << "IPv6 lost nothing";
  ASSERT_EQ(check.reports.size(), 1u);
  EXPECT_NE(check.reports[0].find("from iptables (the bypass rule of HARLUNE-OUT, the queue rule "
                                  "of veth0 in HARLUNE-OUT)"),
            std::string::npos)
      << check.reports[0];
  ASSERT_EQ(check.restoredQueueRules.size(), 1u);
  EXPECT_EQ(check.restoredQueueRules[0].interfaceName, "veth0");
  EXPECT_EQ(check.restoredQueueRules[0].direction, Direction::Send);
  EXPECT_TRUE(rules_.Check().reports.empty()) << "put back once, then in place";
}

TEST_F(QueueRulesCheckTest, ADeletedJumpGoesBackFirstAndTheOtherToolsRulesStayInTheirOrder) {
  std::erase(Ipv4().rules, "POSTROUTING -j HARLUNE-OUT");  // -D POSTROUTING -j HARLUNE-OUT
  const RuleCheck check = rules_.Check();
  ASSERT_EQ(check.reports.size(), 1u);
  EXPECT_NE(check.reports[0].find("the jump from POSTROUTING to HARLUNE-OUT"), std::string::npos);
  EXPECT_TRUE(check.restoredQueueRules.empty());
  EXPECT_EQ(InChain(Ipv4(), "POSTROUTING"),
            (std::vector<std::string>{"POSTROUTING -j HARLUNE-OUT",
                                      "POSTROUTING -j LOG --log-prefix before",
                                      "POSTROUTING -j ACCEPT"}));
  EXPECT_EQ(InChain(Ipv4(), "OTHER-TOOL"),
            InChain(FakeMangleTable::Table{{}, pristine_}, "OTHER-TOOL"));
}

TEST_F(QueueRulesCheckTest, AnEmptiedTableOfEitherFamilyIsMadeAgainWhole) {
  // nft flush ruleset: no table at all, iptables-save fails on it.
  table_.Of("ip6tables") = FakeMangleTable::Table{{}, {}, false};
  const RuleCheck check = rules_.Check();
  EXPECT_EQ(ByChain(table_.Of("ip6tables").rules), ByChain(pristine6_));
  EXPECT_EQ(table_.Of("ip6tables").chains, (std::vector<std::string>{"HARLUNE-IN", "HARLUNE-OUT"}));
  ASSERT_EQ(check.restoredQueueRules.size(), 1u);
  EXPECT_EQ(check.restoredQueueRules[0].family, IpFamily::Ipv6);
  EXPECT_EQ(Ipv4().rules, pristine_) << "IPv4 untouched";
}

TEST_F(QueueRulesCheckTest, ASaveThatCannotRunRestoresNothingAndIsReportedOnce) {
  table_.failing = {"iptables-save"};
  std::erase(Ipv4().rules, "POSTROUTING -j HARLUNE-OUT");
  // The chains are there (iptables -S says so): not an emptied table.
  for (int i = 0; i < 3; ++i) {
    const RuleCheck check = rules_.Check();
    EXPECT_EQ(check.reports.size(), i == 0 ? 1u : 0u) << i;
  }
  EXPECT_EQ(table_.CallsOf("iptables-restore"), 0u);
  table_.failing.clear();
  EXPECT_EQ(rules_.Check().reports.size(), 1u);  // readable again: put back
  EXPECT_EQ(Ipv4().rules.front(), "POSTROUTING -j HARLUNE-OUT");
}

TEST_F(QueueRulesCheckTest, ARefusedRestoreIsReportedOnceAndTriedAtEveryCheck) {
  table_.failing = {"iptables-restore"};
  std::erase(Ipv4().rules, "PREROUTING -j HARLUNE-IN");
  EXPECT_EQ(rules_.Check().reports.size(), 1u);
  EXPECT_TRUE(rules_.Check().reports.empty());
  EXPECT_EQ(table_.CallsOf("iptables-restore"), 2u);
  table_.failing.clear();
  const RuleCheck check = rules_.Check();
  ASSERT_EQ(check.reports.size(), 1u);
  EXPECT_NE(check.reports[0].find("; put back"), std::string::npos) << check.reports[0];
  EXPECT_EQ(ByChain(Ipv4().rules), ByChain(pristine_));
}

TEST_F(QueueRulesCheckTest, ARestoreThatDoesNotShowStopsTheChecksOfThatFamilyInsteadOfLooping) {
  table_.restoreDoesNothing = true;
  std::erase(Ipv4().rules, "POSTROUTING -j HARLUNE-OUT");
  const RuleCheck check = rules_.Check();
  ASSERT_EQ(check.reports.size(), 1u);
  EXPECT_NE(check.reports[0].find("no longer checked"), std::string::npos) << check.reports[0];
  table_.calls.clear();
  table_.Of("ip6tables").rules.clear();
  EXPECT_EQ(rules_.Check().reports.size(), 1u) << "IPv6 is still checked";
  EXPECT_EQ(table_.CallsOf("iptables-save"), 0u);
  EXPECT_EQ(table_.CallsOf("iptables-restore"), 0u);
}

TEST_F(QueueRulesCheckTest, RulesTheDaemonRemovedItselfAreNotPutBack) {
  ASSERT_TRUE(rules_.Remove("veth1", Direction::Receive));
  bool bypassDone = false;
  rules_.Apply({}, 0, bypassDone);
  ASSERT_TRUE(bypassDone);
  table_.calls.clear();
  EXPECT_TRUE(rules_.Check().reports.empty());
  EXPECT_EQ(Restores(), 0u);
  EXPECT_EQ(InChain(Ipv4(), "HARLUNE-IN"), std::vector<std::string>{});
  rules_.RemoveAll();
  EXPECT_FALSE(rules_.HasRules());
  EXPECT_TRUE(Ipv4().rules.size() == 3u) << "the other tool's rules stay";
}

TEST(QueueRulesWatchTest, WithoutIp6tablesOnlyIpv4IsReadAndALegacyTableIsToldApart) {
  FakeMangleTable table;
  table.failing = {"ip6tables"};
  table.header = "# Generated by iptables-save v1.8.9 (legacy) on now";
  QueueRules rules(table, 7);
  ASSERT_TRUE(rules.Prepare());
  ASSERT_TRUE(rules.StartWatching());
  EXPECT_FALSE(rules.NfTables());
  EXPECT_FALSE(rules.HasRules());
  table.calls.clear();
  EXPECT_TRUE(rules.Check().reports.empty());
  EXPECT_EQ(table.calls, std::vector<std::string>{"iptables-save -t mangle"});
}

TEST(QueueRulesWatchTest, RulesThatDoNotShowRightAfterPrepareTurnTheWatchOfTheirFamilyOff) {
  FakeMangleTable table;
  QueueRules rules(table, 7);
  ASSERT_TRUE(rules.Prepare());
  table.Of("iptables").rules.clear();  // Prepare's jumps do not show
  EXPECT_FALSE(rules.StartWatching());
  table.calls.clear();
  rules.Check();
  EXPECT_EQ(table.CallsOf("iptables-save"), 0u);
  EXPECT_EQ(table.CallsOf("iptables-restore"), 0u);
}

}  // namespace
}  // namespace harlune
