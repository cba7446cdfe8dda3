// The external command editor: its checks on OK and its target radios.

#include "gui/editors/edit_command_dialog.h"

#include <QDialogButtonBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

class EditCommandDialogTest : public ::testing::Test {
 protected:
  void ClickOk() { dialog_.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click(); }

  ExternalCommand Stored() const {
    ExternalCommand command;
    dialog_.StoreTo(command);
    return command;
  }

  RecordingUserDialogs dialogs_;
  CEditExternalCommand dialog_{dialogs_};
};

TEST_F(EditCommandDialogTest, NameWithCommaOrUnstorableTextKeepsTheDialogOpen) {
  dialog_.show();
  dialog_.nameEdit().setText(QStringLiteral("a,b"));
  ClickOk();
  EXPECT_EQ(dialogs_.messages, std::vector<std::string>{"コマンド名に「,」は使えません。"});
  EXPECT_TRUE(dialog_.isVisible());
  EXPECT_EQ(dialog_.focusWidget(), &dialog_.nameEdit());

  // The commands file is CP932: a character it lacks could never be saved.
  dialog_.nameEdit().setText(QStringLiteral("ping"));
  dialog_.commandLineEdit().setText(QStringLiteral("echo 😀"));
  ClickOk();
  EXPECT_EQ(dialogs_.messages.back(), kCommandLineUnstorableMessage);
  EXPECT_EQ(dialog_.focusWidget(), &dialog_.commandLineEdit());
  dialog_.nameEdit().setText(QStringLiteral("😀"));
  ClickOk();
  EXPECT_EQ(dialogs_.messages.back(), kCommandNameUnstorableMessage);
  EXPECT_TRUE(dialog_.isVisible());
  EXPECT_NE(dialog_.result(), QDialog::Accepted);
}

TEST_F(EditCommandDialogTest, EmptyOrBlankNameIsRefusedWithFocusOnTheName) {
  dialog_.LoadFrom({1, 1, kTargetPacketMonitor, "ping", "ping %RemoteAddr%"});
  dialog_.show();
  for (const QString& name : {QString(), QStringLiteral("   ")}) {
    dialogs_.messages.clear();
    dialog_.nameEdit().setText(name);
    dialog_.commandLineEdit().setFocus();
    ClickOk();
    EXPECT_EQ(dialogs_.messages, std::vector<std::string>{"コマンド名を入力してください。"})
        << name.size();
    EXPECT_TRUE(dialog_.isVisible());
    EXPECT_NE(dialog_.result(), QDialog::Accepted);
    EXPECT_EQ(dialog_.focusWidget(), &dialog_.nameEdit());
  }
  // Any name then passes.
  dialogs_.messages.clear();
  dialog_.nameEdit().setText(QStringLiteral("p"));
  ClickOk();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_EQ(dialog_.result(), QDialog::Accepted);
  EXPECT_EQ(Stored().Name, "p");
}

TEST_F(EditCommandDialogTest, CommandLineWithCommasIsAcceptedAndEveryFieldStored) {
  dialog_.LoadFrom({1, 1, kTargetPacketMonitor, "old", "x"});
  dialog_.show();
  dialog_.nameEdit().setText(QStringLiteral("ping src"));
  dialog_.commandLineEdit().setText(QStringLiteral("ping -n 1,2 %SrcAddr%"));
  ClickOk();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_EQ(dialog_.result(), QDialog::Accepted);
  // The hidden "ウィンドウを表示する。" is carried through.
  EXPECT_EQ(Stored(),
            ExternalCommand(1, 1, kTargetPacketMonitor, "ping src", "ping -n 1,2 %SrcAddr%"));
}

TEST_F(EditCommandDialogTest, TargetRadiosFollowTheMenuBoxAndKeepTheirValue) {
  dialog_.LoadFrom({1, 0, kTargetPacketMonitor, "n", "c"});
  EXPECT_TRUE(dialog_.packetMonitorRadio().isChecked());
  dialog_.addToMenuBox().click();
  EXPECT_FALSE(dialog_.packetMonitorRadio().isEnabled());
  EXPECT_FALSE(dialog_.connectionMonitorRadio().isEnabled());
  EXPECT_TRUE(dialog_.packetMonitorRadio().isChecked());
  EXPECT_EQ(Stored(), ExternalCommand(0, 0, kTargetPacketMonitor, "n", "c"));

  dialog_.addToMenuBox().click();
  ASSERT_TRUE(dialog_.connectionMonitorRadio().isEnabled());
  dialog_.connectionMonitorRadio().click();
  EXPECT_EQ(Stored().Target, kTargetConnectionMonitor);
}

TEST_F(EditCommandDialogTest, TargetOfNeitherMonitorShowsNoRadioAndIsKept) {
  dialog_.LoadFrom({1, 0, 0, "n", "c"});
  EXPECT_FALSE(dialog_.packetMonitorRadio().isChecked());
  EXPECT_FALSE(dialog_.connectionMonitorRadio().isChecked());
  EXPECT_EQ(Stored().Target, 0);
}

}  // namespace
}  // namespace harlune
