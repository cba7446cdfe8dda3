// A connection control rule ending a real iperf3 connection: harlune-headless
// runs in the client's namespace, whose TCP table it reads and whose
// sockets it ends.

#include <csignal>
#include <regex>

#include "real_mode_fixture.h"
#include "support/recording_user_dialogs.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kRuleName = "cut iperf3";

void AddDisconnectRule(Settings& settings) {
  settings.general.RESOLVE_HOST = 0;  // no name lookups from the namespaces
  settings.general.CONNECTION_CONTROL_LOG_FILE_NAME = ".\\log\\control\\ConnectionControl.log";
  OperateConnectionRule rule;
  rule.Name = kRuleName;
  rule.TargetProcessName = "iperf3";
  rule.Action = kActionDisconnect;
  rule.TriggerTimeLow = 2;  // seconds: the flow is under way when it is cut
  RecordingUserDialogs dialogs;
  ASSERT_TRUE(settings.rules.Append(rule, dialogs));
  // A limit on a port the flow does not use: the flow's packets still go
  // through the daemon's verdict queue.
  settings.filters.Add(SendFilter("elsewhere", 6, kLastServerPort, 1024 * 1024, 0));
}

TEST_F(RealModeTest, AConnectionControlRuleDisconnectsARealIperfConnection) {
  ASSERT_TRUE(WriteSettings(AddDisconnectRule));
  auto daemon = StartDaemon();
  auto headless = StartHeadless();
  ASSERT_TRUE(WaitForVethQueued());

  // 5 MB/s for up to 30 s through the daemon's queue; the rule must end it
  // long before.
  const auto start = std::chrono::steady_clock::now();
  const Measured cut = Iperf(kFirstServerPort, "-b 40M", 30);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 15s) << cut.json;
  EXPECT_NE(cut.json.find("\"error\""), std::string::npos) << cut.json;

  // The control log reaches its file when the program closes.
  headless->Signal(SIGTERM);
  EXPECT_EQ(headless->WaitForExit(10s), std::optional<int>(0));
  const std::string log =
      ReadFileText(settings_.path() / "log" / "control" / "ConnectionControl.log");
  const std::regex line(R"((^|\n)\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] "198\.18\.0\.2" )" +
                        std::string("was disconnected by ") + kRuleName + R"(\r?\n)");
  EXPECT_TRUE(std::regex_search(log, line))
      << log << ReadFileText(runtime_.path() / "headless.out");
}

}  // namespace
}  // namespace harlune::testing
