#include "passthru/real/queue_rules.h"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace harlune {
namespace {

// Records the iptables calls; a call whose text (or input) contains `failOn`
// fails, and "-D PREROUTING/POSTROUTING" jumps succeed `leftoverJumps` times
// each.
class RecordingRunner : public CommandRunner {
 public:
  int RunWithInput(const std::vector<std::string>& arguments, std::string_view input) override {
    inputs.emplace_back(input);
    const int status = Run(arguments);
    return !failOn.empty() && input.find(failOn) != std::string_view::npos ? 1 : status;
  }
  int Run(const std::vector<std::string>& arguments) override {
    std::string text;
    for (const std::string& argument : arguments) {
      text += (text.empty() ? "" : " ") + argument;
    }
    calls.push_back(text);
    if (!failOn.empty() && text.find(failOn) != std::string::npos) {
      return 1;
    }
    if (text.find(" -D PREROUTING ") != std::string::npos ||
        text.find(" -D POSTROUTING ") != std::string::npos) {
      return leftoverJumps-- > 0 ? 0 : 1;
    }
    return 0;
  }
  std::vector<std::string> calls;
  std::vector<std::string> inputs;
  std::string failOn;
  int leftoverJumps = 0;
};

bool Called(const RecordingRunner& runner, const std::string& text) {
  return std::find(runner.calls.begin(), runner.calls.end(), "iptables -w -t mangle " + text) !=
         runner.calls.end();
}

TEST(QueueRulesTest, PrepareRemovesLeftoversBeforeMakingItsChains) {
  RecordingRunner runner;
  runner.leftoverJumps = 2;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Prepare());
  EXPECT_TRUE(Called(runner, "-F HARLUNE-IN"));
  EXPECT_TRUE(Called(runner, "-X HARLUNE-OUT"));
  EXPECT_TRUE(Called(runner, "-N HARLUNE-IN"));
  EXPECT_TRUE(Called(runner, "-I PREROUTING -j HARLUNE-IN"));
  EXPECT_TRUE(Called(runner, "-I POSTROUTING -j HARLUNE-OUT"));
  const auto removals = std::count(runner.calls.begin(), runner.calls.end(),
                                   "iptables -w -t mangle -D PREROUTING -j HARLUNE-IN");
  EXPECT_EQ(removals, 3);  // two leftovers, then the failing third try
}

TEST(QueueRulesTest, PrepareFailsWhenIptablesRefuses) {
  RecordingRunner runner;
  runner.failOn = "-N HARLUNE-OUT";
  QueueRules rules(runner, 7);
  EXPECT_FALSE(rules.Prepare());
}

TEST(QueueRulesTest, QueuesEachDirectionOfOneInterfaceAndRemovesExactlyThat) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Add("veth0", Direction::Send));
  EXPECT_TRUE(Called(runner, "-A HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_TRUE(rules.Has("veth0", Direction::Send));
  EXPECT_FALSE(rules.Has("veth0", Direction::Receive));
  const auto before = runner.calls.size();
  EXPECT_TRUE(rules.Add("veth0", Direction::Send));  // already there: nothing added twice
  EXPECT_EQ(runner.calls.size(), before);
  ASSERT_TRUE(rules.Add("veth0", Direction::Receive));
  EXPECT_TRUE(Called(runner, "-A HARLUNE-IN -i veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));

  ASSERT_TRUE(rules.Remove("veth0", Direction::Send));
  EXPECT_TRUE(Called(runner, "-D HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send));
  EXPECT_TRUE(rules.Has("veth0", Direction::Receive));
  ASSERT_TRUE(rules.Remove("veth0"));
  EXPECT_TRUE(Called(runner, "-D HARLUNE-IN -i veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_FALSE(rules.Has("veth0", Direction::Receive));
}

TEST(QueueRulesTest, AFailedChangeLeavesTheKnownStateAsIptablesHasIt) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  runner.failOn = "-A HARLUNE-OUT";
  EXPECT_FALSE(rules.Add("veth0", Direction::Send));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send));

  runner.failOn.clear();
  ASSERT_TRUE(rules.Add("veth0", Direction::Send));
  runner.failOn = "-D HARLUNE-OUT";
  EXPECT_FALSE(rules.Remove("veth0"));
  EXPECT_TRUE(rules.Has("veth0", Direction::Send));
  // A rule removed behind the daemon's back counts as removed.
  runner.failOn = "-C HARLUNE-OUT";
  EXPECT_TRUE(rules.Remove("veth0"));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send));
}

TEST(QueueRulesTest, RefusesNamesIptablesWouldReadAsPatterns) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  EXPECT_FALSE(rules.Add("eth+", Direction::Send));
  EXPECT_FALSE(rules.Add("!eth0", Direction::Receive));
  EXPECT_FALSE(rules.Add("a-name-too-long0", Direction::Send));
  EXPECT_FALSE(rules.Add("", Direction::Send));
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_TRUE(UsableInterfaceName("enp0s31f6"));
}

constexpr const char* kRestore = "iptables-restore -w --noflush";

TEST(QueueRulesTest, AppliesABatchInOneRestoreCallAndSkipsWhatIsInEffect) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Add("veth0", Direction::Send));
  runner.calls.clear();
  const std::vector<bool> done = rules.Apply({{"veth0", Direction::Send, false},
                                              {"veth1", Direction::Receive, true},
                                              {"veth2", Direction::Receive, false}});
  EXPECT_EQ(done, (std::vector<bool>{true, true, true}));
  ASSERT_EQ(runner.calls, std::vector<std::string>{kRestore});
  EXPECT_EQ(runner.inputs.at(0),
            "*mangle\n"
            "-D HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass\n"
            "-A HARLUNE-IN -i veth1 -j NFQUEUE --queue-num 7 --queue-bypass\n"
            "COMMIT\n");
  EXPECT_FALSE(rules.Has("veth0", Direction::Send));
  EXPECT_TRUE(rules.Has("veth1", Direction::Receive));

  runner.calls.clear();
  EXPECT_EQ(rules.Apply({{"veth1", Direction::Receive, true}}), std::vector<bool>{true});
  EXPECT_TRUE(runner.calls.empty());
}

TEST(QueueRulesTest, AFailedBatchIsMadeOneByOneSoOnlyTheRefusedChangeFails) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Add("veth0", Direction::Send));
  runner.failOn = "-A HARLUNE-IN -i veth1";
  const std::vector<bool> done =
      rules.Apply({{"veth0", Direction::Send, false}, {"veth1", Direction::Receive, true}});
  EXPECT_EQ(done, (std::vector<bool>{true, false}));
  EXPECT_TRUE(Called(runner, "-D HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send));
  EXPECT_FALSE(rules.Has("veth1", Direction::Receive));
}

TEST(QueueRulesTest, NamesTheRestoreParserWouldReadOtherwiseGoAlone) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  const std::vector<bool> done = rules.Apply({{"we\"ird#0", Direction::Send, true},
                                              {"eth+", Direction::Send, true},
                                              {"veth0", Direction::Send, true}});
  EXPECT_EQ(done, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(
      Called(runner, "-A HARLUNE-OUT -o we\"ird#0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  ASSERT_EQ(runner.inputs.size(), 1u);
  EXPECT_EQ(runner.inputs[0].find("ird"), std::string::npos);
  EXPECT_TRUE(PlainInterfaceName("enp0s31f6.100"));
  EXPECT_FALSE(PlainInterfaceName("a'b"));
}

TEST(QueueRulesBypassTest, TheFirstBypassIsInsertedAheadOfTheQueueRulesAndLaterOnesReplaceIt) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  bool bypassDone = false;
  const std::vector<bool> done = rules.Apply({{"veth0", Direction::Send, true}}, 1, bypassDone);
  EXPECT_EQ(done, std::vector<bool>{true});
  EXPECT_TRUE(bypassDone);
  ASSERT_EQ(runner.inputs.size(), 1u);
  EXPECT_EQ(runner.inputs[0],
            "*mangle\n"
            "-I HARLUNE-IN 1 -m connmark --mark 0x06000000/0xfe000000 -j RETURN\n"
            "-I HARLUNE-OUT 1 -m connmark --mark 0x05000000/0xfd000000 -j RETURN\n"
            "-A HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass\n"
            "COMMIT\n");
  EXPECT_EQ(rules.BypassGeneration(), 1u);

  // The generation alone moves: the old rules go in the same call.
  ASSERT_TRUE((rules.Apply({}, 63, bypassDone), bypassDone));
  ASSERT_EQ(runner.inputs.size(), 2u);
  EXPECT_EQ(runner.inputs[1],
            "*mangle\n"
            "-D HARLUNE-IN -m connmark --mark 0x06000000/0xfe000000 -j RETURN\n"
            "-I HARLUNE-IN 1 -m connmark --mark 0xfe000000/0xfe000000 -j RETURN\n"
            "-D HARLUNE-OUT -m connmark --mark 0x05000000/0xfd000000 -j RETURN\n"
            "-I HARLUNE-OUT 1 -m connmark --mark 0xfd000000/0xfd000000 -j RETURN\n"
            "COMMIT\n");
  // Nothing to do, no call.
  ASSERT_TRUE((rules.Apply({}, 63, bypassDone), bypassDone));
  EXPECT_EQ(runner.inputs.size(), 2u);
  // Without a generation the batch is as it always was.
  rules.Apply({{"veth1", Direction::Receive, true}});
  EXPECT_EQ(runner.inputs.back(),
            "*mangle\n-A HARLUNE-IN -i veth1 -j NFQUEUE --queue-num 7 --queue-bypass\nCOMMIT\n");
}

TEST(QueueRulesBypassTest, AFailedBatchMovesTheBypassOneByOneToleratingARuleRemovedByHand) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  bool bypassDone = false;
  rules.Apply({}, 1, bypassDone);
  // The incoming rule of generation 1 was removed by hand: the batch's -D
  // fails it, -C finds nothing, and the rest goes through.
  runner.failOn = "HARLUNE-IN -m connmark --mark 0x06000000";
  rules.Apply({}, 2, bypassDone);
  EXPECT_TRUE(bypassDone);
  EXPECT_EQ(rules.BypassGeneration(), 2u);
  EXPECT_TRUE(Called(runner, "-I HARLUNE-IN 1 -m connmark --mark 0x0a000000/0xfe000000 -j RETURN"));
  EXPECT_TRUE(Called(runner, "-D HARLUNE-OUT -m connmark --mark 0x05000000/0xfd000000 -j RETURN"));
  EXPECT_FALSE(Called(runner, "-D HARLUNE-IN -m connmark --mark 0x06000000/0xfe000000 -j RETURN"));

  // A refused direction leaves the generation unsettled; the next move
  // makes only what is missing.
  runner.failOn = "-I HARLUNE-OUT 1 -m connmark --mark 0x0d000000";
  rules.Apply({}, 3, bypassDone);
  EXPECT_FALSE(bypassDone);
  EXPECT_EQ(rules.BypassGeneration(), 0u);
  runner.failOn.clear();
  runner.inputs.clear();
  rules.Apply({}, 3, bypassDone);
  EXPECT_TRUE(bypassDone);
  ASSERT_EQ(runner.inputs.size(), 1u);
  EXPECT_EQ(runner.inputs[0],
            "*mangle\n"
            "-I HARLUNE-OUT 1 -m connmark --mark 0x0d000000/0xfd000000 -j RETURN\n"
            "COMMIT\n");
}

TEST(QueueRulesBypassTest, GenerationZeroRemovesTheBypassRules) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  bool bypassDone = false;
  rules.Apply({}, 2, bypassDone);
  ASSERT_TRUE(rules.BypassAt(2));
  rules.Apply({{"veth0", Direction::Send, false}}, 0, bypassDone);
  EXPECT_TRUE(bypassDone);
  EXPECT_TRUE(rules.BypassAt(0));
  EXPECT_EQ(runner.inputs.back(),
            "*mangle\n"
            "-D HARLUNE-IN -m connmark --mark 0x0a000000/0xfe000000 -j RETURN\n"
            "-D HARLUNE-OUT -m connmark --mark 0x09000000/0xfd000000 -j RETURN\n"
            "COMMIT\n");
  const std::size_t calls = runner.inputs.size();
  rules.Apply({}, 0, bypassDone);  // none there: no call
  EXPECT_EQ(runner.inputs.size(), calls);
}

TEST(QueueRulesBypassTest, RemovingTheChainsForgetsTheBypass) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  bool bypassDone = false;
  rules.Apply({}, 5, bypassDone);
  rules.RemoveAll();
  EXPECT_EQ(rules.BypassGeneration(), 0u);
  rules.Apply({}, 6, bypassDone);
  EXPECT_NE(runner.inputs.back().find("-I HARLUNE-IN 1 "), std::string::npos);
  EXPECT_EQ(runner.inputs.back().find("-D "), std::string::npos);
}

bool Called6(const RecordingRunner& runner, const std::string& text) {
  return std::find(runner.calls.begin(), runner.calls.end(), "ip6tables -w -t mangle " + text) !=
         runner.calls.end();
}

TEST(QueueRulesIpv6Test, PrepareMakesTheSameChainsForIpv6AfterRemovingLeftovers) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Prepare());
  EXPECT_TRUE(rules.Ipv6Available());
  EXPECT_TRUE(Called6(runner, "-D PREROUTING -j HARLUNE-IN"));  // a killed daemon's jump
  EXPECT_TRUE(Called6(runner, "-X HARLUNE-OUT"));
  EXPECT_TRUE(Called6(runner, "-N HARLUNE-IN"));
  EXPECT_TRUE(Called6(runner, "-I PREROUTING -j HARLUNE-IN"));
  EXPECT_TRUE(Called6(runner, "-I POSTROUTING -j HARLUNE-OUT"));

  runner.calls.clear();
  rules.RemoveAll();
  EXPECT_TRUE(Called6(runner, "-F HARLUNE-OUT"));
  EXPECT_TRUE(Called(runner, "-F HARLUNE-OUT"));
  EXPECT_FALSE(rules.Ipv6Available());
}

TEST(QueueRulesIpv6Test, AMachineWithoutIp6tablesKeepsItsIpv4Rules) {
  RecordingRunner runner;
  runner.failOn = "ip6tables";
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Prepare());
  EXPECT_FALSE(rules.Ipv6Available());
  EXPECT_TRUE(rules.Add("veth0", Direction::Send));
  EXPECT_FALSE(rules.Add("veth0", Direction::Send, IpFamily::Ipv6));
  EXPECT_TRUE(rules.Has("veth0", Direction::Send, IpFamily::Ipv4));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send, IpFamily::Ipv6));
}

TEST(QueueRulesIpv6Test, EachFamilyHasItsOwnRuleAndItsOwnRestoreCall) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  ASSERT_TRUE(rules.Add("veth0", Direction::Receive, IpFamily::Ipv6));
  EXPECT_TRUE(Called6(runner, "-A HARLUNE-IN -i veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_TRUE(rules.Has("veth0", Direction::Receive, IpFamily::Ipv6));
  EXPECT_FALSE(rules.Has("veth0", Direction::Receive, IpFamily::Ipv4));

  runner.calls.clear();
  const std::vector<bool> done =
      rules.Apply({{"veth0", Direction::Send, true, IpFamily::Ipv4},
                   {"veth0", Direction::Send, true, IpFamily::Ipv6},
                   {"veth0", Direction::Receive, false, IpFamily::Ipv6}});
  EXPECT_EQ(done, (std::vector<bool>{true, true, true}));
  ASSERT_EQ(runner.calls, (std::vector<std::string>{kRestore, "ip6tables-restore -w --noflush"}));
  EXPECT_EQ(runner.inputs.at(1),
            "*mangle\n"
            "-A HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass\n"
            "-D HARLUNE-IN -i veth0 -j NFQUEUE --queue-num 7 --queue-bypass\n"
            "COMMIT\n");
  EXPECT_TRUE(rules.Has("veth0", Direction::Send, IpFamily::Ipv6));
  EXPECT_FALSE(rules.Has("veth0", Direction::Receive, IpFamily::Ipv6));

  // The interface's removal takes the rules of both families.
  runner.calls.clear();
  ASSERT_TRUE(rules.Remove("veth0"));
  EXPECT_TRUE(Called6(runner, "-D HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_TRUE(Called(runner, "-D HARLUNE-OUT -o veth0 -j NFQUEUE --queue-num 7 --queue-bypass"));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send, IpFamily::Ipv6));
}

TEST(QueueRulesIpv6Test, AFailedIpv6BatchLeavesTheIpv4BatchDone) {
  RecordingRunner runner;
  QueueRules rules(runner, 7);
  runner.failOn = "ip6tables";
  const std::vector<bool> done = rules.Apply(
      {{"veth0", Direction::Send, true, IpFamily::Ipv6}, {"veth0", Direction::Send, true}});
  EXPECT_EQ(done, (std::vector<bool>{false, true}));
  EXPECT_TRUE(rules.Has("veth0", Direction::Send));
  EXPECT_FALSE(rules.Has("veth0", Direction::Send, IpFamily::Ipv6));
}

}  // namespace
}  // namespace harlune
