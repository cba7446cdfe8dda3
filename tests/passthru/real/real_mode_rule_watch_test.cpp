// Other programs removing the daemon's rules behind its back in the middle
// of a limited flow (`iptables -t mangle -F HARLUNE-OUT`, `-D POSTROUTING -j
// HARLUNE-OUT`, a whole table flushed and its chains deleted): within 3 s
// the daemon has put them back, said so in one log line, and the flow is
// limited again; rules of other tools stay exactly as they were.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kLimitedPort = 5201;
constexpr std::uint32_t kLimit = 100 * 1024;  // bytes per second
// The daemon has 3 s to put its rules back; the rate is measured over the
// 2 s after that.
constexpr auto kRestoreDeadline = 3s;
constexpr auto kMeasuredWindow = 2s;
// A small send buffer: a flow limited again shows at once, not after a
// buffer of unshaped bytes drained.
constexpr const char* kSmallBuffer = "-w 16K";
constexpr const char* kRestoredLine = "another program removed rules of the daemon from ";

// The bytes the peer received on its veth: the daemon's outgoing traffic as
// it left, whatever iptables did to it.
std::uint64_t PeerReceivedBytes() {
  const std::string text = Output(std::string("ip netns exec ") + kPeerSide +
                                  " cat /sys/class/net/" + kPeerVeth + "/statistics/rx_bytes");
  return std::strtoull(text.c_str(), nullptr, 10);
}

double RateOverWindow() {
  const std::uint64_t before = PeerReceivedBytes();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(kMeasuredWindow);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(PeerReceivedBytes() - before) / seconds;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> WithoutDaemonRules(const std::string& rules) {
  std::vector<std::string> lines = Lines(rules);
  std::erase_if(lines,
                [](const std::string& line) { return line.find("HARLUNE") != std::string::npos; });
  return lines;
}

class RealModeRuleWatchTest : public RealModeTest {
 protected:
  std::string Log() { return ReadFileText(runtime_.path() / "daemon.out"); }
  // The daemon's lines saying it put rules of `program` back.
  long RestoredLines(const std::string& program) {
    const std::vector<std::string> lines = Lines(Log());
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(kRestoredLine + program + " (") != std::string::npos &&
             line.ends_with("; put back");
    });
  }
  // Runs `command` in the daemon's namespace as another program would, and
  // waits for the daemon's line that it put its rules back.
  bool RemoveAndWaitForRestore(const std::string& command, const std::string& program) {
    const long before = RestoredLines(program);
    EXPECT_EQ(Shell(InDaemonSide(command)), 0) << command;
    const bool restored =
        WaitFor([&] { return RestoredLines(program) > before; }, kRestoreDeadline);
    EXPECT_TRUE(restored) << "not put back within 3 s after " << command << "\n" << Log();
    return restored;
  }
  void StartLimitedSession() {
    ASSERT_TRUE(WriteSettings([](Settings& settings) {
      settings.filters.Add(SendFilter("limited", 6, kLimitedPort, kLimit, 0));
    }));
    daemon_ = StartDaemon();
    headless_ = StartHeadless();
    ASSERT_TRUE(WaitForVethQueued());
  }
  // For each command in turn, in the middle of one limited flow: the
  // rules come back within the deadline, with one log line, and the flow
  // is limited over the window after.
  void LimitedAgainAfterEach(const std::vector<std::string>& commands, bool ipv6);

  std::unique_ptr<Child> daemon_;
  std::unique_ptr<Child> headless_;
};

void RealModeRuleWatchTest::LimitedAgainAfterEach(const std::vector<std::string>& commands,
                                                  bool ipv6) {
  const int flowSeconds = 4 + static_cast<int>(commands.size()) * 6;
  Measured flow;
  std::thread sender([&] {
    flow = ipv6 ? Iperf6(kLimitedPort, kSmallBuffer, flowSeconds)
                : Iperf(kLimitedPort, kSmallBuffer, flowSeconds);
  });
  std::this_thread::sleep_for(2s);  // past the bucket's first burst
  const double limited = RateOverWindow();
  const std::string program = ipv6 ? "ip6tables" : "iptables";
  for (const std::string& command : commands) {
    const long before = RestoredLines(program);
    const auto removed = std::chrono::steady_clock::now();
    // Measured even when not put back: the flow then runs unlimited.
    const bool restored = RemoveAndWaitForRestore(command, program);
    std::this_thread::sleep_until(removed + kRestoreDeadline);
    const double rate = RateOverWindow();
    std::cout << "[ FIGURES  ] after " << command << ": " << rate << " B/s (limit " << kLimit
              << ", before " << limited << ")\n";
    EXPECT_LT(rate, kLimit * 1.3) << "not limited again after " << command;
    EXPECT_GT(rate, kLimit * 0.5) << "the flow stalled after " << command;
    EXPECT_EQ(RestoredLines(program), before + (restored ? 1 : 0)) << "one line per restore\n"
                                                                   << Log();
  }
  sender.join();
  EXPECT_GT(flow.bytes, 0) << flow.json;
  EXPECT_LT(limited, kLimit * 1.3) << "not limited before any removal";
}

TEST_F(RealModeRuleWatchTest, AFlushedChainAndADeletedJumpComeBackAndTheFlowIsLimitedAgain) {
  StartLimitedSession();
  LimitedAgainAfterEach({"iptables -w -t mangle -F HARLUNE-OUT",
                         "iptables -w -t mangle -D POSTROUTING -j HARLUNE-OUT"},
                        false);
  EXPECT_TRUE(VethQueued());
  const std::string log = Log();
  EXPECT_NE(log.find("the queue rule of hlrt0 in HARLUNE-OUT"), std::string::npos) << log;
  EXPECT_NE(log.find("the jump from POSTROUTING to HARLUNE-OUT"), std::string::npos) << log;
}

TEST_F(RealModeRuleWatchTest, Ipv6RulesFlushedWithTheWholeTableComeBackAndTheFlowIsLimited) {
  if (Shell("command -v ip6tables >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ip6tables is not installed";
  }
  StartLimitedSession();
  ASSERT_TRUE(WaitFor([this] { return VethQueued6(); }, 5s)) << QueueRules6();
  LimitedAgainAfterEach({"ip6tables -w -t mangle -F"}, true);
  EXPECT_TRUE(VethQueued6());
  EXPECT_EQ(RestoredLines("iptables"), 0) << "IPv4 lost nothing\n" << Log();
}

TEST_F(RealModeRuleWatchTest, OtherToolsRulesStayExactlyAsTheyWereThroughEachRestore) {
  StartLimitedSession();
  // Another tool's rules before the daemon's jump (no target: it only
  // counts) and after it, and a chain of its own.
  for (const char* command :
       {"iptables -w -t mangle -I POSTROUTING -p udp --dport 9", "iptables -w -t mangle -N OTHER",
        "iptables -w -t mangle -A OTHER -p udp --dport 9 -j ACCEPT",
        "iptables -w -t mangle -A POSTROUTING -p udp --dport 9 -j OTHER"}) {
    ASSERT_EQ(Shell(InDaemonSide(command)), 0) << command;
  }
  const std::string postrouting = Output(InDaemonSide("iptables -w -t mangle -S POSTROUTING"));
  const std::vector<std::string> others = WithoutDaemonRules(QueueRules());
  ASSERT_EQ(others.size(), 9u) << QueueRules();  // 5 policies, -N OTHER, 3 rules

  ASSERT_TRUE(RemoveAndWaitForRestore("iptables -w -t mangle -F HARLUNE-OUT", "iptables"));
  EXPECT_EQ(Output(InDaemonSide("iptables -w -t mangle -S POSTROUTING")), postrouting);
  EXPECT_EQ(WithoutDaemonRules(QueueRules()), others);

  // The jump goes back where the daemon puts it, first; the others keep
  // their order.
  ASSERT_TRUE(
      RemoveAndWaitForRestore("iptables -w -t mangle -D POSTROUTING -j HARLUNE-OUT", "iptables"));
  const std::vector<std::string> after =
      Lines(Output(InDaemonSide("iptables -w -t mangle -S POSTROUTING")));
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[1], "-A POSTROUTING -j HARLUNE-OUT");
  EXPECT_EQ(WithoutDaemonRules(QueueRules()), others);
  EXPECT_TRUE(VethQueued());

  // The whole table made anew in one transaction, as a firewall's restore
  // does: the daemon's rules come back; of the others', only what the new
  // table has.
  ASSERT_TRUE(RemoveAndWaitForRestore(
      "sh -c \"printf '*mangle\\n:OTHER - [0:0]\\nCOMMIT\\n' | iptables-restore -w\"", "iptables"));
  EXPECT_TRUE(VethQueued());
  const std::string rules = QueueRules();
  EXPECT_NE(rules.find("-A PREROUTING -j HARLUNE-IN"), std::string::npos) << rules;
  EXPECT_NE(rules.find("-A POSTROUTING -j HARLUNE-OUT"), std::string::npos) << rules;
  EXPECT_NE(rules.find("-N OTHER"), std::string::npos) << rules;
  EXPECT_EQ(rules.find("--dport 9"), std::string::npos) << "the wipe's work, not undone\n" << rules;
}

}  // namespace
}  // namespace harlune::testing
