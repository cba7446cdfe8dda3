#include "passthru/real/queue_rules.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace harlune {
namespace {

// Records the iptables calls; a call whose text contains `failOn` fails, and
// "-D PREROUTING/POSTROUTING" jumps succeed `leftoverJumps` times each.
class RecordingRunner : public CommandRunner {
 public:
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

}  // namespace
}  // namespace harlune
