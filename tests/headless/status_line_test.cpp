// The headless status line with the connection control engine refusing to
// end a connection: the refusal is told once per change.

#include "headless/status_line.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
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
    services_.ServeOneEstablishedConnection();
    // This process lacks the privilege to end it.
    services_.resetter.answer = {ConnectionResetStatus::kNotPermitted, EPERM};
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
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  StatusLines lines_;
};

TEST_F(StatusLineTest, ARefusedDisconnectIsToldOnTheFirstLineAfterEachChange) {
  EXPECT_EQ(Tail(), "") << "nothing refused yet";
  engine_.ConnectionTick();
  ASSERT_EQ(services_.resetter.reset.size(), 1u);
  EXPECT_EQ(Tail(), kNoPrivilege);
  EXPECT_EQ(Tail(), "");
  engine_.ConnectionTick();  // refused again, the same way
  EXPECT_EQ(services_.resetter.reset.size(), 2u);
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
  EXPECT_EQ(services_.resetter.reset.size(), 2u);
}

}  // namespace
}  // namespace harlune
