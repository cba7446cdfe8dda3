#include "gui/editors/edit_rule_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gui/base/qt_text.h"
#include "gui/widgets/droppable_edit.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EditRuleDialogTest : public ::testing::Test {
 protected:
  EditRuleDialogTest() { dialog_.LoadFrom(OperateConnectionRule{}); }

  const CEditOperateConnectionRuleDlg::Controls& c() const { return dialog_.controls(); }

  // OK; true when the dialog closed.
  bool PressOk() {
    dialog_.setResult(QDialog::Rejected);
    dialog_.accept();
    return dialog_.result() == QDialog::Accepted;
  }

  std::string HostListFile(std::string_view content) {
    const auto path = folder_.path() / "hosts.lst";
    testing::WriteFileText(path, content);
    return path.string();
  }

  static std::vector<std::string> Lines(const QListWidget& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.count(); ++i) {
      lines.push_back(ToUtf8(list.item(i)->text()));
    }
    return lines;
  }

  testing::TempDir folder_;
  RecordingUserDialogs dialogs_;
  CEditOperateConnectionRuleDlg dialog_{dialogs_};
};

TEST_F(EditRuleDialogTest, AMissingHostListIsRefusedWithItsPathAndAnEmptyPathIsAccepted) {
  const std::string missing = (folder_.path() / "nothing.lst").string();
  c().hostListPath->setText(ToQString(missing));
  EXPECT_FALSE(PressOk());
  EXPECT_THAT(dialogs_.messages, ElementsAre("ファイルが見つかりません：" + missing));

  c().hostListPath->clear();
  EXPECT_TRUE(PressOk());
  EXPECT_EQ(dialogs_.messages.size(), 1U);
}

TEST_F(EditRuleDialogTest, TheReverseLookupLineIsListedFirstAndTheHostsAreStored) {
  OperateConnectionRule rule;
  rule.RemoteHostListPath = HostListFile("*.example.com\r\n%ResolveFailedHost%\r\n# note\r\n");
  dialog_.LoadFrom(rule);
  EXPECT_THAT(Lines(*c().hosts), ElementsAre("<逆引き失敗したホスト>", "*.example.com"));

  // A path typed afresh is listed on "更新"; an unreadable one lists nothing.
  c().hostListPath->setText(ToQString((folder_.path() / "gone.lst").string()));
  c().reloadHostList->click();
  EXPECT_THAT(Lines(*c().hosts), IsEmpty());

  c().hostListPath->setText(ToQString(rule.RemoteHostListPath));
  ASSERT_TRUE(PressOk());
  OperateConnectionRule stored;
  dialog_.StoreTo(stored);
  EXPECT_THAT(stored.HostPatterns, ElementsAre("*.example.com"));
  EXPECT_TRUE(stored.ResolveFailedHost);
}

TEST_F(EditRuleDialogTest, TheChecksRunInOrderAndTheFirstFailureKeepsTheDialogOpen) {
  c().name->setText("a,b");
  c().timeLow->setText("abc");
  EXPECT_FALSE(PressOk());
  c().name->setText("web");
  EXPECT_FALSE(PressOk());
  c().timeLow->setText("-1");
  EXPECT_FALSE(PressOk());
  c().timeLow->setText("4294967296");
  EXPECT_FALSE(PressOk());
  c().timeLow->setText("10");
  c().upHigh->setText("18446744073709551616");
  EXPECT_FALSE(PressOk());
  c().upHigh->setText("5000000000");
  c().processName->setText("x,exe");
  EXPECT_FALSE(PressOk());
  c().processName->setText("x.exe");
  c().allowCount->setText("");
  EXPECT_FALSE(PressOk());
  EXPECT_THAT(dialogs_.messages,
              ElementsAre("「,」は使えません", "正の整数を入力してください。",
                          "正の整数を入力してください。",
                          "0 から 4294967295 までの整数を入力してください。",
                          "0 から 18446744073709551615 までの整数を入力してください。",
                          "「,」は使えません", "正の整数を入力してください。"));

  c().allowCount->setText("3");
  ASSERT_TRUE(PressOk());
  OperateConnectionRule stored;
  dialog_.StoreTo(stored);
  EXPECT_EQ(stored.TriggerTimeLow, 10U);
  EXPECT_EQ(stored.TriggerAmountOfUpTrafficHigh, 5000000000U);
  EXPECT_EQ(stored.AllowConnectionNum, 3U);
}

// ConnectionControlRule.ini is CP932 and strips blanks at the ends of a
// value: such a text is refused after the other checks, naming the field.
TEST_F(EditRuleDialogTest, TextsTheRuleFileCannotHoldAreRefusedNamingTheField) {
  struct Case {
    QLineEdit* field;
    const char* text;
    std::string_view message;
  };
  const Case cases[] = {
      {c().name, "\uD55C\uAE00", kRuleNameUnstorableMessage},
      {c().name, "web ", kRuleNameUnstorableMessage},
      {c().comment, "caf\u00E9", kRuleCommentUnstorableMessage},
      {c().comment, " note", kRuleCommentUnstorableMessage},
      {c().processName, "app\U0001F600.exe", kRuleProcessUnstorableMessage},
  };
  for (const Case& k : cases) {
    dialog_.LoadFrom(OperateConnectionRule{});
    dialog_.show();
    dialogs_.messages.clear();
    k.field->setText(QString::fromUtf8(k.text));
    EXPECT_FALSE(PressOk()) << k.text;
    EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(k.message))) << k.text;
    EXPECT_EQ(dialog_.focusWidget(), k.field) << k.text;
  }

  // A bad number is still reported before the text.
  dialogs_.messages.clear();
  c().allowCount->setText("x");
  EXPECT_FALSE(PressOk());
  EXPECT_THAT(dialogs_.messages, ElementsAre("正の整数を入力してください。"));

  // A host list that exists but whose path ends in a blank.
  dialog_.LoadFrom(OperateConnectionRule{});
  dialogs_.messages.clear();
  const auto path = folder_.path() / "hosts.lst ";
  testing::WriteFileText(path, "*.example.com\r\n");
  c().hostListPath->setText(ToQString(path.string()));
  EXPECT_FALSE(PressOk());
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kRuleHostListPathUnstorableMessage)));

  dialogs_.messages.clear();
  c().hostListPath->clear();
  c().name->setText(QString::fromUtf8("夜間の制限"));
  c().comment->setText(QString::fromUtf8("動画サイト用"));
  c().processName->setText(QString::fromUtf8("ブラウザ.exe"));
  ASSERT_TRUE(PressOk());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  OperateConnectionRule stored;
  dialog_.StoreTo(stored);
  EXPECT_EQ(stored.Name, "夜間の制限");
  EXPECT_EQ(stored.Comment, "動画サイト用");
  EXPECT_EQ(stored.TargetProcessName, "ブラウザ.exe");
}

TEST_F(EditRuleDialogTest, StoresEveryFieldKeepsAvailabilityAndNamesAnEmptyRuleNewRule) {
  OperateConnectionRule original;
  original.Available = false;
  original.Action = -3;
  dialog_.LoadFrom(original);
  EXPECT_EQ(c().action->currentIndex(), 0);
  EXPECT_FALSE(c().allowCount->isEnabled());
  EXPECT_FALSE(c().priorCondition->isEnabled());
  c().limitCount->setChecked(true);
  EXPECT_TRUE(c().allowCount->isEnabled());
  EXPECT_TRUE(c().priorCondition->isEnabled());

  c().name->clear();
  c().comment->setText("note");
  c().priorCondition->setCurrentIndex(kPriorLongTimeFirst);
  c().action->setCurrentIndex(kActionDisconnect);
  c().downLow->setText(" 7 ");
  ASSERT_TRUE(PressOk());
  OperateConnectionRule stored = original;
  dialog_.StoreTo(stored);
  EXPECT_EQ(stored.Name, "NewRule");
  EXPECT_EQ(stored.Comment, "note");
  EXPECT_FALSE(stored.Available);
  EXPECT_TRUE(stored.BLimitConnectionNum);
  EXPECT_EQ(stored.PriorCondition, kPriorLongTimeFirst);
  EXPECT_EQ(stored.Action, kActionDisconnect);
  EXPECT_EQ(stored.TriggerAmountOfDownTrafficLow, 7U);
}

TEST_F(EditRuleDialogTest, BrowsingTakesTheProcessFileNameAndTheFullHostListPath) {
  const std::string hosts = HostListFile("a.example.net\n");
  std::vector<QString> asked;
  dialog_.SetFileChooser([&](const QString& filters, const QString&) {
    asked.push_back(filters);
    return ToQString(hosts);
  });
  int processAsked = 0;
  dialog_.SetProcessChooser([&](QWidget* parent) {
    ++processAsked;
    EXPECT_EQ(parent, &dialog_);
    return QString("/usr/local/bin/ping");
  });
  c().browseProcess->click();
  c().browseHostList->click();
  EXPECT_EQ(c().processName->text(), "ping");
  EXPECT_EQ(processAsked, 1);
  EXPECT_EQ(ToUtf8(c().hostListPath->text()), hosts);
  EXPECT_THAT(Lines(*c().hosts), ElementsAre("a.example.net"));
  ASSERT_EQ(asked.size(), 1U);  // the process is asked for with its own dialog
  EXPECT_TRUE(asked[0].startsWith(ToQString("ホストリストファイル (*.lst)")));

  // Cancelling the process dialog keeps the name.
  dialog_.SetProcessChooser([](QWidget*) { return QString(); });
  c().browseProcess->click();
  EXPECT_EQ(c().processName->text(), "ping");
}

}  // namespace
}  // namespace harlune
