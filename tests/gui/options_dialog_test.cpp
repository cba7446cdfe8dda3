#include "gui/editors/options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/ini_file_writer.h"
#include "gui/editors/about_dialog.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class OptionsDialogTest : public ::testing::Test {
 protected:
  OptionsDialogTest() {
    settings_.AUTO_SAVE = 0;
    settings_.NOICON = 1;
    settings_.CLOSE_BUTTON_ACTION = 1;
    settings_.MAX_PACKET_CAPTURE_NUM = 300;
    settings_.VIEW_REFRESH_CYCLE = 500;
    settings_.PORT_PROCESS_MAPPING = 0;
    settings_.LOG_CONNECTION_STATS = 0;
  }

  IniFileObject settings_;
  RecordingUserDialogs dialogs_;
};

TEST_F(OptionsDialogTest, PagesShowTheSettings) {
  COptionsDlg dialog(settings_, dialogs_);
  const auto& startup = dialog.startup()->controls();
  const auto& performance = dialog.performance()->controls();
  const auto& log = dialog.log()->controls();

  EXPECT_FALSE(startup.autoSave->isChecked());
  EXPECT_TRUE(startup.noIcon->isChecked());
  EXPECT_EQ(startup.closeButtonAction->currentText(), QStringLiteral("最小化"));
  EXPECT_EQ(performance.maxPackets->text(), QStringLiteral("300"));
  EXPECT_EQ(performance.viewRefreshCycle->currentIndex(), 2);
  EXPECT_TRUE(performance.noPortMapping->isChecked());
  EXPECT_FALSE(performance.noPortMapping->isHidden());
  dialog.performance()->ShowPortMappingOption(false);
  EXPECT_TRUE(performance.noPortMapping->isHidden());
  dialog.performance()->ShowPortMappingOption(true);
  EXPECT_FALSE(performance.noPortMapping->isHidden());
  EXPECT_FALSE(log.statsFileName->isEnabled());
  EXPECT_FALSE(log.statsFormat->isEnabled());
  EXPECT_TRUE(log.controlFileName->isEnabled());
  log.logConnectionControl->click();
  EXPECT_FALSE(log.controlFileName->isEnabled());

  settings_.VIEW_REFRESH_CYCLE = 50;  // not one of the items
  COptionsDlg other(settings_, dialogs_);
  EXPECT_EQ(other.performance()->controls().viewRefreshCycle->currentText(), QStringLiteral("50"));
}

TEST_F(OptionsDialogTest, OkStoresEveryPageAndCancelStoresNothing) {
  const auto before = FormatGeneralSettings(settings_);
  {
    COptionsDlg dialog(settings_, dialogs_);
    dialog.startup()->controls().autoSave->click();
    dialog.performance()->controls().viewRefreshCycle->setEditText(QStringLiteral("200"));
    dialog.log()->controls().statsFormat->setText(QStringLiteral("%Hour%,%LocalAddr%"));
    dialog.reject();
  }
  EXPECT_EQ(FormatGeneralSettings(settings_), before);

  COptionsDlg dialog(settings_, dialogs_);
  const auto& startup = dialog.startup()->controls();
  const auto& performance = dialog.performance()->controls();
  const auto& log = dialog.log()->controls();
  startup.autoSave->click();
  startup.startupOn->click();
  startup.noIcon->click();
  startup.closeButtonAction->setCurrentIndex(0);
  performance.maxPackets->setText(QStringLiteral("1000"));
  performance.viewRefreshCycle->setCurrentIndex(0);
  performance.controlWithFiltering->click();
  performance.noPortMapping->click();
  log.logConnectionStats->click();
  log.statsFormat->setText(QStringLiteral("%Hour%,%LocalAddr%"));
  log.controlFileName->setText(QStringLiteral("control.log"));
  dialog.accept();

  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(settings_.AUTO_SAVE, 1);
  EXPECT_EQ(settings_.STARTUP_ON, 1);
  EXPECT_EQ(settings_.NOICON, 0);
  EXPECT_EQ(settings_.CLOSE_BUTTON_ACTION, 0);
  EXPECT_EQ(settings_.MAX_PACKET_CAPTURE_NUM, 1000);
  EXPECT_EQ(settings_.VIEW_REFRESH_CYCLE, 100u);
  EXPECT_EQ(settings_.START_CONNECTION_CONTROL_WITH_FILTERING, 1);
  EXPECT_EQ(settings_.PORT_PROCESS_MAPPING, 1);
  EXPECT_EQ(settings_.LOG_CONNECTION_STATS, 1);
  EXPECT_EQ(settings_.CONNECTION_STATS_LOG_FORMAT, "%Hour%,%LocalAddr%");
  EXPECT_EQ(settings_.CONNECTION_CONTROL_LOG_FILE_NAME, "control.log");
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(OptionsDialogTest, AnEmptyPacketCountKeepsTheDialogOpen) {
  const auto before = FormatGeneralSettings(settings_);
  COptionsDlg dialog(settings_, dialogs_);
  dialog.show();
  dialog.startup()->controls().autoSave->click();
  dialog.performance()->controls().maxPackets->clear();
  dialog.accept();

  EXPECT_TRUE(dialog.isVisible());
  EXPECT_THAT(dialogs_.messages, ElementsAre("整数を入力してください。"));
  EXPECT_EQ(FormatGeneralSettings(settings_), before);
}

// GeneralSetting.ini is CP932, strips blanks at the ends of a value and
// holds lines of 511 bytes: a log text it could not give back is refused on
// the log page with its field named, and nothing is stored.
TEST_F(OptionsDialogTest, LogTextsTheSettingsFileCannotHoldAreRefusedWithTheReason) {
  settings_.LOG_CONNECTION_STATS = 1;
  settings_.LOG_CONNECTION_CONTROL = 1;
  const auto before = FormatGeneralSettings(settings_);
  using Field = QLineEdit* CTabLog::Controls::*;
  struct Case {
    Field field;
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {&CTabLog::Controls::statsFileName, "log.csv ",
       "TCPコネクション情報のログのファイル名の先頭や末尾に空白があると保存できません。"},
      {&CTabLog::Controls::statsFileName, "caf\u00E9.csv",
       "TCPコネクション情報のログのファイル名に保存できない文字が含まれています。"},
      {&CTabLog::Controls::statsFormat, "%Hour%\U0001F600",
       "TCPコネクション情報のログの書式に保存できない文字が含まれています。"},
      {&CTabLog::Controls::statsFormat, std::string(500, 'x'),
       "TCPコネクション情報のログの書式が長すぎて保存できません。"},
      {&CTabLog::Controls::controlFileName, "\uD55C\uAE00.log",
       "TCPコネクション操作のログのファイル名に保存できない文字が含まれています。"},
  };
  for (const Case& c : cases) {
    COptionsDlg dialog(settings_, dialogs_, true);
    dialog.show();
    dialogs_.messages.clear();
    QLineEdit* edit = dialog.log()->controls().*c.field;
    edit->setText(QString::fromStdString(c.text));
    dialog.accept();
    EXPECT_TRUE(dialog.isVisible()) << c.text;
    EXPECT_THAT(dialogs_.messages, ElementsAre(c.message)) << c.text;
    EXPECT_EQ(dialog.focusWidget(), edit) << c.text;
    EXPECT_EQ(FormatGeneralSettings(settings_), before) << c.text;
  }

  // The longest line the file holds is still taken; a Japanese name too.
  COptionsDlg dialog(settings_, dialogs_, true);
  dialog.show();
  dialogs_.messages.clear();
  const std::string key = "CONNECTION_STATS_LOG_FORMAT";
  dialog.log()->controls().statsFormat->setText(
      QString::fromStdString(std::string(511 - key.size() - 1, 'x')));
  dialog.log()->controls().controlFileName->setText(QString::fromUtf8("ログ\\接続操作.log"));
  dialog.accept();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  EXPECT_EQ(settings_.CONNECTION_STATS_LOG_FORMAT.size(), 511 - key.size() - 1);
  EXPECT_EQ(settings_.CONNECTION_CONTROL_LOG_FILE_NAME, "ログ\\接続操作.log");
}

// Without a tray the general page says why its tray options do nothing,
// and they stay editable.
TEST_F(OptionsDialogTest, TheGeneralPageNotesAMissingTrayAndKeepsItsOptions) {
  COptionsDlg withoutTray(settings_, dialogs_, false);
  withoutTray.show();
  const CTabStartup& page = *withoutTray.startup();
  EXPECT_TRUE(page.noTrayNote()->isVisible());
  EXPECT_EQ(
      page.noTrayNote()->text(),
      QString::fromUtf8("通知領域（システムトレイ）がないため、トレイに関する設定は働きません。"
                        "ウィンドウは通常どおり最小化されます。"));
  EXPECT_TRUE(page.controls().noIcon->isEnabled());
  EXPECT_TRUE(page.controls().startupMinimize->isEnabled());
  EXPECT_TRUE(page.controls().closeButtonAction->isEnabled());
  page.controls().startupMinimize->click();
  withoutTray.accept();
  EXPECT_EQ(settings_.STARTUP_MINIMIZE, 1);

  COptionsDlg withTray(settings_, dialogs_, true);
  withTray.show();
  EXPECT_FALSE(withTray.startup()->noTrayNote()->isVisible());
}

TEST(AboutDialogTest, ShowsTheVersionAndTheWebSiteLink) {
  CAboutDlg dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("バージョン情報"));
  bool versionShown = false;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    versionShown = versionShown || label->text() == QStringLiteral("Harlune Version 2.0.0 Beta 8");
  }
  EXPECT_TRUE(versionShown);
  EXPECT_EQ(dialog.webSiteButton()->toolTip(), QStringLiteral("Goto Harlune web site"));
}

}  // namespace
}  // namespace harlune
