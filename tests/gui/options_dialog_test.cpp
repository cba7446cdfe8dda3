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
