#include "gui/pages/htb_page.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "core/htb/htb_rows.h"
#include "core/htb/htb_rules.h"
#include "gui/editors/edit_htb_class_dialog.h"
#include "gui/models/htb_list_model.h"
#include "gui/models/htb_tree_model.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto kSetRate = static_cast<std::uint32_t>(protocol::RequestCode::HlSetTBFClassRate);

// Send root 0 > group 2 > leaf 3 (drives "web"); receive root 1 > leaf 4.
class HtbPageTest : public ::testing::Test {
 protected:
  HtbPageTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
    EXPECT_TRUE(engine_->Initialise());
    PacketFilterSetting web;
    web.Name = "web";
    web.LowerAdapterName = "eth0";
    web.TBFRate = 4096;
    EXPECT_TRUE(engine_->NewFilter(web).changed);
    webId_ = engine_->settings().filters.At(0).ID;

    auto group = std::make_shared<HTB_InnerClass>();
    group->Name = "group";
    auto leaf = std::make_shared<HTB_LeafClass>();
    leaf->Name = "web leaf";
    leaf->FilterID = webId_;
    auto other = std::make_shared<HTB_LeafClass>();
    other->Name = "other";
    EXPECT_TRUE(Htb().Add(0, group));
    EXPECT_TRUE(Htb().Add(2, leaf));
    EXPECT_TRUE(Htb().Add(1, other));
    Htb().LinkFilters([this](std::int32_t id) { return engine_->settings().filters.FindById(id); });
    EXPECT_TRUE(engine_->SaveAllSettings());
  }

  void MakePage() {
    page_ = std::make_unique<HtbPage>(*engine_, dialogs_);
    page_->SetClassEditorRunner([this](CEditHtbClassDlg& editor) {
      ++editorRuns_;
      return script_ ? script_(editor) : false;
    });
  }

  HTB_Manager& Htb() { return engine_->settings().htb; }
  QTreeView* Tree() { return page_->findChild<QTreeView*>("htbTree"); }
  QTableView* List() { return page_->findChild<QTableView*>("htbList"); }
  HtbTreeModel& TreeModel() { return *static_cast<HtbTreeModel*>(Tree()->model()); }
  HtbListModel& ListModel() { return *static_cast<HtbListModel*>(List()->model()); }

  void SelectInTree(std::int32_t id) { Tree()->setCurrentIndex(TreeModel().IndexOfClass(id)); }
  std::optional<std::int32_t> TreeSelection() {
    const auto selected = Tree()->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? std::nullopt : TreeModel().ClassIdOf(selected.front());
  }

  bool Drop(std::int32_t dragged, std::int32_t target) {
    std::unique_ptr<QMimeData> data(TreeModel().mimeData({TreeModel().IndexOfClass(dragged)}));
    return TreeModel().dropMimeData(data.get(), Qt::MoveAction, -1, -1,
                                    TreeModel().IndexOfClass(target));
  }

  QStringList MenuTexts(const char* menu) {
    QStringList texts;
    for (QAction* action : page_->findChild<QMenu*>(menu)->actions()) {
      texts << action->text();
    }
    return texts;
  }

  void Run(const char* menu, const QString& text) {
    for (QAction* action : page_->findChild<QMenu*>(menu)->actions()) {
      if (action->text() == text) {
        action->trigger();
        return;
      }
    }
    ADD_FAILURE() << "no action " << text.toStdString();
  }

  std::int32_t ParentOf(std::int32_t id) { return Htb().Find(id)->Parent->ID; }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
  std::int32_t webId_ = -1;
  std::unique_ptr<HtbPage> page_;
  std::function<bool(CEditHtbClassDlg&)> script_;
  int editorRuns_ = 0;
};

TEST_F(HtbPageTest, ADropOntoALeafOrARootDragIsRefusedWithItsMessageAndChangesNothing) {
  MakePage();
  EXPECT_FALSE(Drop(2, 4));
  EXPECT_FALSE(Drop(1, 2));
  EXPECT_THAT(dialogs_.messages,
              ElementsAre(std::string(kCannotMoveUnderLeafText), std::string(kCannotMoveRootText)));
  EXPECT_EQ(ParentOf(2), 0);
  EXPECT_TRUE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, ADropOntoItselfOrItsOwnBranchIsRefusedSilently) {
  MakePage();
  EXPECT_FALSE(Drop(2, 3));
  EXPECT_FALSE(Drop(2, 2));
  EXPECT_FALSE(Drop(0, 3));  // a root onto its own descendant: silent too
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  EXPECT_EQ(ParentOf(3), 2);
  EXPECT_TRUE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, ADropOntoAnInnerClassMovesTheBranchAndKeepsTheSelection) {
  MakePage();
  SelectInTree(3);
  ASSERT_TRUE(Drop(2, 1));
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  EXPECT_EQ(ParentOf(2), 1);
  EXPECT_EQ(TreeModel().parent(TreeModel().IndexOfClass(2)), TreeModel().IndexOfClass(1));
  EXPECT_EQ(TreeModel().parent(TreeModel().IndexOfClass(3)), TreeModel().IndexOfClass(2));
  EXPECT_TRUE(Tree()->isExpanded(TreeModel().IndexOfClass(2)));
  EXPECT_EQ(TreeSelection(), 3);
  EXPECT_FALSE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, TheMenusCarryTheirCommandsAndTheRootsAndLeavesRefuse) {
  MakePage();
  EXPECT_EQ(MenuTexts("htbTreeMenu"), QStringList({"ここにクラスを新規作成(&N)", "編集(&E)",
                                                   "削除(&D)", "複製(&C)", "有効/無効(&A)"}));
  EXPECT_EQ(MenuTexts("htbListMenu"),
            QStringList({"ここにクラスを新規作成(&N)", "編集(&E)", "削除(&D)", "有効/無効(&A)"}));
  SelectInTree(0);
  Run("htbTreeMenu", "削除(&D)");
  Run("htbTreeMenu", "複製(&C)");
  SelectInTree(3);
  Run("htbTreeMenu", "ここにクラスを新規作成(&N)");
  EXPECT_THAT(dialogs_.messages,
              ElementsAre(std::string(kCannotRemoveRootText), std::string(kCannotDuplicateRootText),
                          std::string(kLeafCannotHaveChildrenText)));
  EXPECT_EQ(editorRuns_, 0);
  EXPECT_TRUE(engine_->settingsSaved());
}

// The buttons run the tree menu's commands on the tree's class, so they
// refuse what the menu refuses, and do nothing without a selected class.
TEST_F(HtbPageTest, TheButtonsRunTheTreeMenusCommandsOnTheSelectedClass) {
  MakePage();
  QList<QPushButton*> buttons = page_->findChildren<QPushButton*>();
  QStringList captions;
  for (QPushButton* button : buttons) {
    captions << button->text();
  }
  ASSERT_EQ(captions, QStringList({"新規作成", "編集", "削除", "複製", "有効/無効"}));
  Tree()->selectionModel()->clearSelection();
  for (QPushButton* button : buttons) {
    EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
  }

  SelectInTree(0);
  ASSERT_TRUE(buttons[2]->isEnabled());
  QTest::mouseClick(buttons[2], Qt::LeftButton);  // delete a root: refused
  SelectInTree(3);
  QTest::mouseClick(buttons[0], Qt::LeftButton);  // a child of a leaf: refused
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kCannotRemoveRootText),
                                             std::string(kLeafCannotHaveChildrenText)));

  const bool wasAvailable = Htb().Find(3)->Available;
  QTest::mouseClick(buttons[4], Qt::LeftButton);
  EXPECT_NE(Htb().Find(3)->Available, wasAvailable);
  QTest::mouseClick(buttons[3], Qt::LeftButton);  // duplicated beside it
  EXPECT_EQ(Htb().Find(2)->Children.size(), 2U);
  QTest::mouseClick(buttons[1], Qt::LeftButton);
  EXPECT_EQ(editorRuns_, 1);
}

TEST_F(HtbPageTest, KeysRunTheTreeMenusCommands) {
  MakePage();
  page_->show();
  page_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(page_.get()));
  Tree()->setFocus();
  SelectInTree(3);
  QTest::keyClick(Tree(), Qt::Key_Return);
  EXPECT_EQ(editorRuns_, 1);
  QTest::keyClick(Tree(), Qt::Key_N, Qt::ControlModifier);  // under a leaf: refused
  SelectInTree(0);
  QTest::keyClick(Tree(), Qt::Key_Delete);  // a root: refused
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kLeafCannotHaveChildrenText),
                                             std::string(kCannotRemoveRootText)));
}

TEST_F(HtbPageTest, DeletingAClassWithChildrenAsksAndRestoresTheFilterRate) {
  MakePage();
  SelectInTree(2);
  dialogs_.answers = {QuestionAnswer::kCancel, QuestionAnswer::kOk};
  Run("htbTreeMenu", "削除(&D)");
  EXPECT_NE(Htb().Find(3), nullptr);
  const auto ratesBefore = services_.transport.CallsWithCode(kSetRate, "eth0").size();

  Run("htbTreeMenu", "削除(&D)");
  EXPECT_THAT(dialogs_.questions, ElementsAre(std::string(kRemoveWithChildrenQuestion),
                                              std::string(kRemoveWithChildrenQuestion)));
  EXPECT_THAT(dialogs_.captions, ElementsAre("Harlune", "Harlune"));
  EXPECT_EQ(Htb().Find(2), nullptr);
  EXPECT_EQ(Htb().Find(3), nullptr);
  const auto rates = services_.transport.CallsWithCode(kSetRate, "eth0");
  ASSERT_EQ(rates.size(), ratesBefore + 1);
  EXPECT_EQ(protocol::LoadLe32(rates.back().input, 4), 4096U);
  EXPECT_FALSE(TreeModel().IndexOfClass(2).isValid());
  EXPECT_FALSE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, NewEditDuplicateAndToggleGoThroughTheEditorAndRebuildTheTree) {
  MakePage();
  SelectInTree(2);
  script_ = [this](CEditHtbClassDlg& editor) {
    editor.findChild<QLineEdit*>("nameEdit")->setText("fresh");
    editor.findChild<QRadioButton*>("leafRadio")->click();
    editor.findChild<QListWidget*>("filterList")->setCurrentRow(0);
    editor.accept();
    return editor.result() == QDialog::Accepted;
  };
  Run("htbTreeMenu", "ここにクラスを新規作成(&N)");
  const auto fresh = std::dynamic_pointer_cast<HTB_LeafClass>(Htb().Find(5));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->Name, "fresh");
  EXPECT_EQ(ParentOf(5), 2);
  EXPECT_EQ(fresh->Filter, engine_->settings().filters.FindById(webId_));
  EXPECT_TRUE(TreeModel().IndexOfClass(5).isValid());

  // Edit from the list: the list shows the group's branch.
  List()->selectRow(ListModel().RowOfClass(3));
  script_ = [](CEditHtbClassDlg& editor) {
    editor.findChild<QLineEdit*>("nameEdit")->setText("renamed");
    editor.findChild<QListWidget*>("filterList")->setCurrentRow(-1);
    editor.accept();
    return editor.result() == QDialog::Accepted;
  };
  Run("htbListMenu", "編集(&E)");
  const auto edited = std::dynamic_pointer_cast<HTB_LeafClass>(Htb().Find(3));
  EXPECT_EQ(edited->Name, "renamed");
  EXPECT_EQ(edited->Filter, nullptr);  // linked anew
  EXPECT_EQ(ListModel().data(ListModel().index(ListModel().RowOfClass(3), 0), Qt::DisplayRole),
            "renamed");

  script_ = [](CEditHtbClassDlg& editor) {
    editor.findChild<QLineEdit*>("nameEdit")->setText("cancelled");
    return false;
  };
  Run("htbListMenu", "編集(&E)");
  EXPECT_EQ(Htb().Find(3)->Name, "renamed");

  Run("htbTreeMenu", "複製(&C)");
  EXPECT_EQ(Htb().List(0).size(), 7U);  // root, group (3 classes), its copy (3 classes)
  EXPECT_EQ(TreeSelection(), 2);

  SelectInTree(4);
  Run("htbTreeMenu", "有効/無効(&A)");
  EXPECT_FALSE(Htb().Find(4)->Available);
  EXPECT_EQ(editorRuns_, 3);
  EXPECT_FALSE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, ClassesWithIdentifiersASettingsFileMayHoldStillShowInTheirPlace) {
  auto far = std::make_shared<HTB_InnerClass>();
  far->ID = 0x7FFFFFFF;
  ASSERT_TRUE(Htb().Add(2, far));
  auto below = std::make_shared<HTB_LeafClass>();
  below->ID = -7;
  ASSERT_TRUE(Htb().Add(0x7FFFFFFF, below));
  MakePage();
  EXPECT_EQ(TreeModel().parent(TreeModel().IndexOfClass(0x7FFFFFFF)), TreeModel().IndexOfClass(2));
  EXPECT_EQ(TreeModel().parent(TreeModel().IndexOfClass(-7)), TreeModel().IndexOfClass(0x7FFFFFFF));
}

TEST_F(HtbPageTest, ClassesNotAppliedAreGreyAndLeavesLightBlue) {
  Htb().Find(4)->Applied = false;
  MakePage();
  const QColor grey(0x969696);
  const auto cell = [this](std::int32_t id, int role) {
    return ListModel().data(ListModel().index(ListModel().RowOfClass(id), 0), role);
  };
  EXPECT_EQ(cell(4, Qt::ForegroundRole).value<QColor>(), grey);
  EXPECT_FALSE(cell(2, Qt::ForegroundRole).isValid());
  EXPECT_EQ(cell(4, Qt::BackgroundRole).value<QColor>(), QColor(0xE1EBFF));
  EXPECT_EQ(cell(2, Qt::BackgroundRole).value<QColor>(), QColor(Qt::white));
  EXPECT_EQ(TreeModel().data(TreeModel().IndexOfClass(4), Qt::ForegroundRole).value<QColor>(),
            grey);

  // A tick applies the class again; the redraw repaints the row in place.
  QSignalSpy changed(&ListModel(), &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&ListModel(), &QAbstractItemModel::modelReset);
  Htb().Find(4)->Applied = true;
  page_->Redraw();
  EXPECT_FALSE(cell(4, Qt::ForegroundRole).isValid());
  EXPECT_EQ(changed.count(), 1);
  EXPECT_EQ(reset.count(), 0);
}

TEST_F(HtbPageTest, ARedrawKeepsTheTreeSelectionAndTheListFollowsIt) {
  MakePage();
  EXPECT_EQ(ListModel().rowCount(), 5);
  SelectInTree(2);
  EXPECT_EQ(ListModel().rowCount(), 2);
  List()->selectRow(1);

  QSignalSpy treeReset(&TreeModel(), &QAbstractItemModel::modelReset);
  Htb().Find(3)->AllottedRate = 2048;
  page_->Redraw();
  EXPECT_EQ(TreeSelection(), 2);
  EXPECT_EQ(treeReset.count(), 0);
  EXPECT_EQ(ListModel().data(ListModel().index(1, 3), Qt::DisplayRole), "2.0 KB/s");
  EXPECT_EQ(List()->selectionModel()->selectedRows().front().row(), 1);

  page_->RebuildTree();
  EXPECT_EQ(TreeSelection(), 2);

  // Showing every class is a setting of its own.
  page_->findChild<QCheckBox*>("showAllBox")->click();
  EXPECT_EQ(engine_->settings().general.SHOW_ALL_HTB_CLASSES, 1);
  EXPECT_EQ(ListModel().rowCount(), 5);
  EXPECT_EQ(ListModel().RowOfClass(3), List()->selectionModel()->selectedRows().front().row());
  page_->findChild<QCheckBox*>("doHtbBox")->click();
  EXPECT_EQ(engine_->settings().general.DO_HTB, 0);
  EXPECT_FALSE(engine_->settingsSaved());
}

TEST_F(HtbPageTest, ARootWithoutRateIsNotedUntilTheUserSetsIt) {
  Htb().ReceiveTree().Root()->AssuredRate = 50 * 1024;
  Htb().ReceiveTree().Root()->CeilRate = 50 * 1024;
  MakePage();
  const auto* note = page_->findChild<QLabel*>("htbRootNote");
  ASSERT_NE(note, nullptr);
  EXPECT_FALSE(note->isHidden());
  EXPECT_EQ(note->text().toStdString(), RootWithoutRateNote(kSendRootText));
  const QModelIndex rootItem = TreeModel().IndexOfClass(0);
  const QModelIndex rootRow = ListModel().index(ListModel().RowOfClass(0), 0);
  const QColor amber(0xFFF2CC);
  EXPECT_EQ(TreeModel().data(rootItem, Qt::BackgroundRole).value<QColor>(), amber);
  EXPECT_EQ(TreeModel().data(rootItem, Qt::ToolTipRole).toString(), note->text());
  EXPECT_TRUE(TreeModel().data(rootItem, HtbTreeModel::kRootWithoutRateRole).toBool());
  EXPECT_EQ(ListModel().data(rootRow, Qt::BackgroundRole).value<QColor>(), amber);
  EXPECT_EQ(ListModel().data(rootRow, Qt::ToolTipRole).toString(), note->text());
  EXPECT_EQ(ListModel().data(rootRow, Qt::DisplayRole), "NewClass");
  const QModelIndex receiveItem = TreeModel().IndexOfClass(1);
  EXPECT_FALSE(TreeModel().data(receiveItem, HtbTreeModel::kRootWithoutRateRole).toBool());
  EXPECT_FALSE(TreeModel().data(receiveItem, Qt::ToolTipRole).isValid());

  // The user does what the note says: the root's editor sets the line's rate.
  SelectInTree(0);
  script_ = [](CEditHtbClassDlg& editor) {
    editor.findChild<QLineEdit*>("ceilKbEdit")->setText("200");
    editor.accept();
    return editor.result() == QDialog::Accepted;
  };
  Run("htbTreeMenu", "編集(&E)");
  EXPECT_EQ(Htb().SendTree().Root()->AssuredRate, 200U * 1024U);
  EXPECT_TRUE(note->isHidden());
  EXPECT_EQ(TreeModel().data(TreeModel().IndexOfClass(0), Qt::BackgroundRole).value<QColor>(),
            QColor(Qt::white));
  EXPECT_FALSE(
      ListModel().data(ListModel().index(ListModel().RowOfClass(0), 0), Qt::ToolTipRole).isValid());
}

TEST_F(HtbPageTest, ColumnsComeFromTheSettingsAndGoBackAfterTheUserChangesThem) {
  auto& general = engine_->settings().general;
  general.LCHTB_COLUMN_SIZE[0] = 150;
  general.LCHTB_COLUMN_ORDER[0] = 1;
  general.LCHTB_COLUMN_ORDER[1] = 0;
  MakePage();
  QHeaderView* header = List()->horizontalHeader();
  EXPECT_EQ(header->sectionSize(0), 150);
  EXPECT_EQ(header->logicalIndex(0), 1);
  EXPECT_EQ(ListModel().headerData(0, Qt::Horizontal, Qt::DisplayRole), "クラス名");

  header->resizeSection(2, 90);
  header->moveSection(header->visualIndex(9), 2);
  EXPECT_TRUE(QTest::qWaitFor([&] { return general.LCHTB_COLUMN_SIZE[2] == 90; }, 1000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return general.LCHTB_COLUMN_ORDER[2] == 9; }, 1000));
  EXPECT_EQ(general.LCHTB_COLUMN_ORDER[0], 1);
}

TEST_F(HtbPageTest, AnOrderThatLosesColumnsIsIgnored) {
  engine_->settings().general.LCHTB_COLUMN_ORDER[1] = 0;  // column 0 twice, 1 never
  MakePage();
  QHeaderView* header = List()->horizontalHeader();
  for (int column = 0; column < 10; ++column) {
    EXPECT_EQ(header->logicalIndex(column), column);
  }
}

}  // namespace
}  // namespace harlune
