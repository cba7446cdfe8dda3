// A disconnection the system refuses, as the main window shows it: a note
// in the status bar while it stands, the failing rule marked on the rule
// page, and no message box, however often the refusal repeats.

#include <QColor>
#include <QTableView>
#include <QTest>
#include <cerrno>

#include <gtest/gtest.h>

#include "gui/app/main_window.h"
#include "gui/base/qt_text.h"
#include "gui/models/rule_list_model.h"
#include "gui/pages/control_page.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kTickWaitMs = 5000;

TEST(DisconnectFailureDisplay, StatusBarAndRulePageShowARefusalUntilItsRuleSucceeds) {
  testing::TempDir folder;
  testing::FakeEngineServices services;
  services.ServeOneEstablishedConnection();
  // This process lacks the privilege to end it.
  services.resetter.answer = {ConnectionResetStatus::kNotPermitted, EPERM};
  RecordingUserDialogs dialogs;
  CNetSieveDlg window(folder.path(), services, dialogs);
  ASSERT_TRUE(window.Initialise());
  IniFileObject& settings = window.engine().settings().general;
  settings.CONNECTION_CONTROL = 1;
  settings.START_CONNECTION_CONTROL_WITH_FILTERING = 0;
  // The logs would go to the working folder.
  settings.LOG_CONNECTION_CONTROL = 0;
  settings.LOG_CONNECTION_STATS = 0;
  window.engine().ApplyGeneralSettings();
  OperateConnectionRule rule;
  rule.Name = "Cut";
  rule.Action = kActionDisconnect;
  ASSERT_TRUE(window.engine().control().AppendRule(rule, dialogs));
  window.controlPage().Redraw();
  const QModelIndex row = window.controlPage().view()->model()->index(0, 3);
  EXPECT_FALSE(row.data(Qt::ForegroundRole).isValid());

  // The engine's own 1 s connection timer drives it.
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return !window.disconnectFailureText().isEmpty(); }, kTickWaitMs));
  EXPECT_EQ(ToUtf8(window.disconnectFailureText()),
            "ルール「Cut」の切断に失敗しました（権限がありません）");
  EXPECT_EQ(row.data(Qt::ForegroundRole).value<QColor>(), RuleListModel::FailingText());
  EXPECT_EQ(ToUtf8(row.data(Qt::ToolTipRole).toString()),
            "このルールの切断は失敗しています（権限がありません）");

  const std::size_t refusals = services.resetter.reset.size();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return services.resetter.reset.size() >= refusals + 1; }, kTickWaitMs));
  EXPECT_TRUE(dialogs.messages.empty()) << "no message box for a refusal";
  EXPECT_FALSE(window.disconnectFailureText().isEmpty());

  services.resetter.answer = {ConnectionResetStatus::kOk, 0};
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return window.disconnectFailureText().isEmpty(); }, kTickWaitMs));
  EXPECT_FALSE(row.data(Qt::ForegroundRole).isValid());
  EXPECT_FALSE(row.data(Qt::ToolTipRole).isValid());
  EXPECT_TRUE(dialogs.messages.empty());
}

}  // namespace
}  // namespace harlune
