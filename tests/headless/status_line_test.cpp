// The headless status line with the connection control engine refusing to
// end a connection: the refusal is told once per change.

#include "headless/status_line.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "core/base/ipv4.h"
#include "protocol/byte_order.h"
#include "support/recording_user_dialogs.h"
#include "support/refusing_engine_services.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr std::string_view kNoPrivilege =
    " | ルール「Cut」の切断に失敗しました（権限がありません）";
constexpr std::string_view kNoDriver =
    " | ルール「Cut」の切断に失敗しました（権限がなく、ドライバもありません）";

class StatusLineTest : public ::testing::Test {
 protected:
  StatusLineTest() {
    services_.fake.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    services_.fake.processes.entries = {{100, "app", "/usr/bin/app"}};
    TcpTableRow row;
    row.state = kTcpStateEstablished;
    row.localAddr = Ipv4(192, 168, 0, 2);
    row.localPort = protocol::HostToNet16(50000);
    row.remoteAddr = Ipv4(198, 18, 0, 9);
    row.remotePort = protocol::HostToNet16(80);
    row.owningPid = 100;
    services_.fake.table->rows = {row};
    EXPECT_TRUE(engine_.Initialise());
    engine_.settings().general.CONNECTION_CONTROL = 1;
    engine_.settings().general.START_CONNECTION_CONTROL_WITH_FILTERING = 0;
    // The logs would go to the working folder.
    engine_.settings().general.LOG_CONNECTION_CONTROL = 0;
    engine_.settings().general.LOG_CONNECTION_STATS = 0;
    engine_.ApplyGeneralSettings();
    OperateConnectionRule rule;
    rule.Name = "Cut";
    rule.Action = kActionDisconnect;
    EXPECT_TRUE(engine_.control().AppendRule(rule, dialogs_));
  }

  // The part after the plain status line.
  std::string Tail() {
    const std::string plain = StatusLine(engine_);
    const std::string line = lines_.Next(engine_);
    EXPECT_EQ(line.substr(0, plain.size()), plain);
    return line.substr(plain.size());
  }

  testing::TempDir folder_;
  testing::RefusingEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  StatusLines lines_;
};

TEST_F(StatusLineTest, ARefusedDisconnectIsToldOnTheFirstLineAfterEachChange) {
  EXPECT_EQ(Tail(), "") << "nothing refused yet";
  engine_.ConnectionTick();
  ASSERT_EQ(services_.resetter.calls, 1u);
  EXPECT_EQ(Tail(), kNoPrivilege);
  EXPECT_EQ(Tail(), "");
  engine_.ConnectionTick();  // refused again, the same way
  EXPECT_EQ(services_.resetter.calls, 2u);
  EXPECT_EQ(Tail(), "");

  services_.resetter.answer = {ConnectionResetStatus::kNoDriver, EPERM};
  engine_.ConnectionTick();
  EXPECT_EQ(Tail(), kNoDriver);

  // Cleared by a success, then refused anew: told again.
  services_.resetter.answer = {ConnectionResetStatus::kOk, 0};
  engine_.ConnectionTick();
  EXPECT_EQ(Tail(), "");
  services_.resetter.answer = {ConnectionResetStatus::kNotPermitted, EPERM};
  engine_.ConnectionTick();
  EXPECT_EQ(Tail(), kNoPrivilege);
  EXPECT_TRUE(dialogs_.messages.empty()) << "no message box for a refusal";
}

TEST_F(StatusLineTest, AChangeClearedBeforeTheLineIsPrintedAddsNothing) {
  engine_.ConnectionTick();
  services_.resetter.answer = {ConnectionResetStatus::kOk, 0};
  engine_.ConnectionTick();
  EXPECT_EQ(Tail(), "");
  EXPECT_EQ(services_.resetter.calls, 2u);
}

}  // namespace
}  // namespace harlune
