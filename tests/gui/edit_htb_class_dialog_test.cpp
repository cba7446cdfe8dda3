#include "gui/editors/edit_htb_class_dialog.h"

#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/htb/htb_manager.h"
#include "core/htb/htb_rules.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EditHtbClassDialogTest : public ::testing::Test {
 protected:
  EditHtbClassDialogTest() : filters_(dialogs_) {
    for (const char* name : {"web", "mail"}) {
      PacketFilterSetting filter;
      filter.Name = name;
      filters_.Add(filter);
    }
    dialog_ = std::make_unique<CEditHtbClassDlg>(filters_, dialogs_);
  }

  QLineEdit* Edit(const char* name) { return Child<QLineEdit>(name); }
  QRadioButton* Radio(const char* name) { return Child<QRadioButton>(name); }
  QListWidget* Filters() { return Child<QListWidget>("filterList"); }

  template <typename T>
  T* Child(const char* name) {
    T* child = dialog_->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  bool Accept() {
    dialog_->setResult(QDialog::Rejected);
    dialog_->accept();
    return dialog_->result() == QDialog::Accepted;
  }

  void ClickFilter(int row) {
    QListWidget* list = Filters();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(row)).center());
  }

  RecordingUserDialogs dialogs_;
  PacketFilterManager filters_;
  std::unique_ptr<CEditHtbClassDlg> dialog_;
};

TEST_F(EditHtbClassDialogTest,
       ANewClassStartsInnerWithTheEditorDefaultsAndTheKindDecidesTheLeafFields) {
  EXPECT_EQ(Edit("nameEdit")->text(), "NewClass");
  EXPECT_EQ(Edit("priorityEdit")->text(), "5");
  EXPECT_EQ(Edit("ceilKbEdit")->text(), "0");
  EXPECT_TRUE(Radio("innerRadio")->isChecked());
  EXPECT_TRUE(Radio("connectionRadio")->isChecked());
  EXPECT_FALSE(Filters()->isEnabled());
  EXPECT_FALSE(Radio("alwaysRadio")->isEnabled());
  EXPECT_FALSE(Edit("ceilPercentEdit")->isEnabled());

  Radio("leafRadio")->click();
  EXPECT_TRUE(Filters()->isEnabled());
  EXPECT_TRUE(Radio("alwaysRadio")->isEnabled());
  EXPECT_EQ(Filters()->count(), 2);

  // Up on the priority means a higher priority: a smaller number.
  Child<QToolButton>("prioritySpinUp")->click();
  EXPECT_EQ(Edit("priorityEdit")->text(), "4");
}

TEST_F(EditHtbClassDialogTest, EveryBadNumberIsRefusedWithItsMessageAndKeepsTheDialogOpen) {
  struct Case {
    const char* unit;  // the unit radio that enables the box
    const char* box;
    const char* text;
    std::string message;
  };
  const Case cases[] = {
      {"ceilKbRadio", "ceilKbEdit", "abc", "正の整数を入力してください。"},
      {"assuredKbRadio", "assuredKbEdit", "", "正の整数を入力してください。"},
      {"ceilKbRadio", "ceilKbEdit", "4194304", "0 から 4194303 までの整数を入力してください。"},
      {"ceilKbRadio", "priorityEdit", "-1", "正の整数を入力してください。"},
      {"ceilKbRadio", "priorityEdit", "4294967296", "正の整数を入力してください。"},
      {"ceilPercentRadio", "ceilPercentEdit", "101", "0 から 100 までの整数を入力してください。"},
      {"assuredPercentRadio", "assuredPercentEdit", "x", "正の整数を入力してください。"},
  };
  for (const Case& c : cases) {
    dialog_ = std::make_unique<CEditHtbClassDlg>(filters_, dialogs_);
    dialog_->show();
    dialogs_.messages.clear();
    Radio(c.unit)->click();
    Edit(c.box)->setText(QString::fromUtf8(c.text));
    EXPECT_FALSE(Accept()) << c.box << " " << c.text;
    EXPECT_THAT(dialogs_.messages, ElementsAre(c.message)) << c.box;
    EXPECT_EQ(dialog_->focusWidget(), Edit(c.box)) << c.box;
  }
}

TEST_F(EditHtbClassDialogTest, AnAssuredRateAboveTheCeilingIsRefusedOnlyWhenBothAreInKb) {
  Edit("ceilKbEdit")->setText("100");
  Edit("assuredKbEdit")->setText("200");
  EXPECT_FALSE(Accept());
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kAssuredAboveCeilText)));

  Radio("ceilPercentRadio")->click();
  EXPECT_TRUE(Accept());
  HTB_InnerClass stored;
  ASSERT_TRUE(dialog_->StoreTo(stored));
  EXPECT_EQ(stored.AssuredRate, 200U * 1024U);
  EXPECT_EQ(stored.CeilRateOrder, 1);
  EXPECT_EQ(stored.Priority, 5U);
}

TEST_F(EditHtbClassDialogTest, ALeafWithoutTargetIsNoticedAndStoredWithoutOne) {
  Radio("leafRadio")->click();
  Radio("ceilPercentRadio")->click();
  Edit("ceilPercentEdit")->setText("200");
  EXPECT_FALSE(Accept());
  // The notice comes before the percentage check, which still stops OK.
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kLeafWithoutFilterNotice),
                                             "0 から 100 までの整数を入力してください。"));

  dialogs_.messages.clear();
  Edit("ceilPercentEdit")->setText("50");
  EXPECT_TRUE(Accept());
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kLeafWithoutFilterNotice)));
  HTB_LeafClass leaf;
  leaf.FilterID = 7;
  ASSERT_TRUE(dialog_->StoreTo(leaf));
  EXPECT_EQ(leaf.FilterID, -1);
  EXPECT_EQ(leaf.AvailableType, kAvailableWhileConnected);

  HTB_InnerClass inner;
  EXPECT_FALSE(dialog_->StoreTo(inner));
  EXPECT_EQ(inner.CeilRatePercentage, 0U);
}

TEST_F(EditHtbClassDialogTest, ClickingTheTargetFilterAgainClearsIt) {
  HTB_LeafClass leaf;
  leaf.FilterID = filters_.At(1).ID;
  leaf.AvailableType = kAvailableWhileProcessRuns;
  dialog_->LoadFrom(leaf);
  dialog_->show();
  EXPECT_FALSE(Radio("innerRadio")->isEnabled());
  EXPECT_TRUE(Radio("processRadio")->isChecked());
  ASSERT_EQ(Filters()->selectedItems().size(), 1);
  EXPECT_EQ(Filters()->selectedItems().front()->text(), "mail");

  ClickFilter(1);
  EXPECT_TRUE(Filters()->selectedItems().isEmpty());
  ClickFilter(0);
  ASSERT_TRUE(Accept());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  ASSERT_TRUE(dialog_->StoreTo(leaf));
  EXPECT_EQ(leaf.FilterID, filters_.At(0).ID);
  EXPECT_EQ(leaf.AvailableType, kAvailableWhileProcessRuns);
}

TEST_F(EditHtbClassDialogTest, ARootLeavesOnlyTheCeilingAndCommentAndGuaranteesItsCeiling) {
  HTB_Manager manager;
  auto& root = *manager.SendTree().Root();
  root.CeilRate = 100U * 1024U;
  root.AssuredRate = 100U * 1024U;
  dialog_->LoadFrom(root);

  for (const char* name : {"ceilKbEdit", "commentEdit"}) {
    EXPECT_TRUE(Edit(name)->isEnabled()) << name;
  }
  for (const char* name :
       {"nameEdit", "assuredKbEdit", "priorityEdit", "ceilPercentEdit", "assuredPercentEdit"}) {
    EXPECT_FALSE(Edit(name)->isEnabled()) << name;
  }
  for (const char* name : {"innerRadio", "leafRadio", "ceilKbRadio", "ceilPercentRadio",
                           "assuredKbRadio", "assuredPercentRadio"}) {
    EXPECT_FALSE(Radio(name)->isEnabled()) << name;
  }
  EXPECT_FALSE(Filters()->isEnabled());

  Edit("ceilKbEdit")->clear();
  QTest::keyClicks(Edit("ceilKbEdit"), "500");
  EXPECT_EQ(Edit("assuredKbEdit")->text(), "500");
  ASSERT_TRUE(Accept());
  ASSERT_TRUE(dialog_->StoreTo(root));
  EXPECT_EQ(root.CeilRate, 500U * 1024U);
  EXPECT_EQ(root.AssuredRate, 500U * 1024U);
}

// A value typed into a box and left there when the user switched to the
// other unit is greyed: it is not checked and the class keeps its own value.
TEST_F(EditHtbClassDialogTest, AValueLeftInAGreyedUnitBoxDoesNotBlockOk) {
  HTB_InnerClass parent;
  HTB_LeafClass leaf;
  leaf.Parent = &parent;  // not a root: its units can be chosen
  leaf.CeilRate = 300U * 1024U;
  leaf.CeilRatePercentage = 40;
  leaf.CeilRateOrder = 1;
  leaf.AssuredRate = 20U * 1024U;
  leaf.AssuredRatePercentage = 7;
  leaf.AssuredRateOrder = 0;
  leaf.FilterID = filters_.At(0).ID;
  dialog_->LoadFrom(leaf);
  dialog_->show();
  Radio("ceilKbRadio")->click();
  Edit("ceilKbEdit")->setText("abc");
  Radio("assuredPercentRadio")->click();
  Edit("assuredPercentEdit")->setText("101");
  Radio("assuredKbRadio")->click();
  Edit("assuredKbEdit")->setText("10");
  // The box of the chosen unit is checked.
  EXPECT_FALSE(Accept());
  EXPECT_THAT(dialogs_.messages, ElementsAre("正の整数を入力してください。"));
  EXPECT_EQ(dialog_->focusWidget(), Edit("ceilKbEdit"));

  dialogs_.messages.clear();
  Radio("ceilPercentRadio")->click();
  Edit("ceilPercentEdit")->setText("60");
  ASSERT_FALSE(Edit("ceilKbEdit")->isEnabled());
  ASSERT_FALSE(Edit("assuredPercentEdit")->isEnabled());
  EXPECT_TRUE(Accept());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  ASSERT_TRUE(dialog_->StoreTo(leaf));
  EXPECT_EQ(leaf.CeilRateOrder, 1);
  EXPECT_EQ(leaf.CeilRatePercentage, 60U);
  EXPECT_EQ(leaf.CeilRate, 300U * 1024U);
  EXPECT_EQ(leaf.AssuredRateOrder, 0);
  EXPECT_EQ(leaf.AssuredRate, 10U * 1024U);
  EXPECT_EQ(leaf.AssuredRatePercentage, 7U);
}

TEST_F(EditHtbClassDialogTest, SwitchingAUnitFillsEmptyBoxesWithZero) {
  Edit("ceilKbEdit")->clear();
  Edit("ceilPercentEdit")->clear();
  Radio("ceilPercentRadio")->click();
  EXPECT_EQ(Edit("ceilPercentEdit")->text(), "0");
  EXPECT_EQ(Edit("ceilKbEdit")->text(), "0");
  EXPECT_TRUE(Edit("ceilPercentEdit")->isEnabled());
  EXPECT_FALSE(Edit("ceilKbEdit")->isEnabled());
}

// HtbSetting.xml is Shift_JIS: a name or comment it cannot hold is refused
// where it is typed, after the number checks, and a Japanese one is stored.
TEST_F(EditHtbClassDialogTest, ANameOrCommentTheSettingsFileCannotHoldIsRefused) {
  struct Case {
    const char* box;
    const char* text;
    std::string_view message;
  };
  const Case cases[] = {
      {"nameEdit", "\uD55C\uAE00", kClassNameUnstorableMessage},
      {"nameEdit", "caf\u00E9", kClassNameUnstorableMessage},
      {"nameEdit", "web\U0001F600", kClassNameUnstorableMessage},
      {"commentEdit", "\uD55C\uAE00", kClassCommentUnstorableMessage},
      {"commentEdit", "\U0001F600", kClassCommentUnstorableMessage},
  };
  for (const Case& c : cases) {
    dialog_ = std::make_unique<CEditHtbClassDlg>(filters_, dialogs_);
    dialog_->show();
    dialogs_.messages.clear();
    Edit(c.box)->setText(QString::fromUtf8(c.text));
    EXPECT_FALSE(Accept()) << c.box << " " << c.text;
    EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(c.message))) << c.box;
    EXPECT_EQ(dialog_->focusWidget(), Edit(c.box)) << c.box;
  }

  // A bad number is still reported first.
  dialogs_.messages.clear();
  Edit("priorityEdit")->setText("x");
  EXPECT_FALSE(Accept());
  EXPECT_THAT(dialogs_.messages, ElementsAre("正の整数を入力してください。"));

  dialog_ = std::make_unique<CEditHtbClassDlg>(filters_, dialogs_);
  dialogs_.messages.clear();
  Edit("nameEdit")->setText(QString::fromUtf8("帯域クラス"));
  Edit("commentEdit")->setText(QString::fromUtf8("社内ネットワーク用"));
  EXPECT_TRUE(Accept());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  HTB_InnerClass stored;
  ASSERT_TRUE(dialog_->StoreTo(stored));
  EXPECT_EQ(stored.Name, "帯域クラス");
  EXPECT_EQ(stored.Comment, "社内ネットワーク用");
}

}  // namespace
}  // namespace harlune
