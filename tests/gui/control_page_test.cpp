#include "gui/pages/control_page.h"

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/ini_file_object.h"
#include "gui/base/qt_text.h"
#include "gui/pages/connection_page.h"
#include "gui/pages/filter_page.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ControlPageTest : public ::testing::Test {
 protected:
  ControlPageTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    engine_.Initialise();
    page_ = std::make_unique<ControlPage>(engine_, dialogs_);
    page_->SetRuleEditor([this](OperateConnectionRule& rule) {
      ++editorRuns_;
      edited_.push_back(rule.Name);
      rule.Name = nextName_;
      return nextName_ != "cancel";
    });
  }

  void AddRules(std::initializer_list<std::string_view> names) {
    for (const std::string_view name : names) {
      OperateConnectionRule rule;
      rule.Name = name;
      engine_.control().AppendRule(rule, dialogs_);
    }
    page_->Redraw();
  }

  void Select(std::initializer_list<int> rows) {
    page_->view()->clearSelection();
    for (const int row : rows) {
      page_->view()->selectionModel()->select(
          page_->view()->model()->index(row, 0),
          QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const OperateConnectionRule& rule : engine_.settings().rules.Rules()) {
      names.push_back(rule.Name);
    }
    return names;
  }

  std::vector<int> SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : page_->view()->selectionModel()->selectedRows()) {
      rows.push_back(index.row());
    }
    std::ranges::sort(rows);
    return rows;
  }

  std::string Cell(int row, int column) const {
    return ToUtf8(page_->view()->model()->index(row, column).data().toString());
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  std::unique_ptr<ControlPage> page_;
  int editorRuns_ = 0;
  std::vector<std::string> edited_;
  std::string nextName_ = "Edited";
};

TEST_F(ControlPageTest, NewRuleIsAppendedSelectedAndMarksTheSettingsChanged) {
  AddRules({"A"});
  ASSERT_TRUE(engine_.settingsSaved());
  nextName_ = "cancel";
  page_->button(RuleCommand::kNew)->click();
  EXPECT_EQ(Names(), std::vector<std::string>{"A"});

  nextName_ = "Web";
  page_->button(RuleCommand::kNew)->click();
  EXPECT_THAT(Names(), ElementsAre("A", "Web"));
  EXPECT_EQ(Cell(1, 0), "2 Web");
  EXPECT_EQ(Cell(1, 5), "なし");
  EXPECT_THAT(SelectedRows(), ElementsAre(1));
  EXPECT_EQ(page_->view()->currentIndex().row(), 1);
  EXPECT_FALSE(engine_.settingsSaved());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(ControlPageTest, TheListLimitsRefuseNewAndDuplicateWithTheirMessages) {
  for (int i = 0; i < 63; ++i) {
    AddRules({"R"});
  }
  Select({0, 1});
  page_->button(RuleCommand::kDuplicate)->click();
  EXPECT_EQ(engine_.settings().rules.size(), 63U);
  AddRules({"last"});
  page_->button(RuleCommand::kNew)->click();
  EXPECT_EQ(editorRuns_, 0);
  EXPECT_EQ(engine_.settings().rules.size(), 64U);
  EXPECT_THAT(dialogs_.messages, ElementsAre("これ以上ルールを追加できません。",
                                             "これ以上コネクション操作ルールを追加できません。"));
}

TEST_F(ControlPageTest, MovesTogglesDuplicatesAndDeletesTheSelectedRules) {
  AddRules({"A", "B", "C"});
  Select({1, 2});
  page_->button(RuleCommand::kUp)->click();
  EXPECT_THAT(Names(), ElementsAre("B", "C", "A"));
  EXPECT_THAT(SelectedRows(), ElementsAre(0, 1));
  EXPECT_EQ(Cell(0, 0), "1 B");
  page_->button(RuleCommand::kUp)->click();  // already at the top
  EXPECT_THAT(Names(), ElementsAre("B", "C", "A"));

  page_->button(RuleCommand::kDown)->click();
  EXPECT_THAT(Names(), ElementsAre("A", "B", "C"));
  EXPECT_THAT(SelectedRows(), ElementsAre(1, 2));

  const QVariant lit = page_->view()->model()->index(1, 0).data(Qt::DecorationRole);
  page_->button(RuleCommand::kAvailable)->click();
  EXPECT_FALSE(engine_.settings().rules.Rules()[1].Available);
  EXPECT_FALSE(engine_.settings().rules.Rules()[2].Available);
  EXPECT_NE(page_->view()->model()->index(1, 0).data(Qt::DecorationRole), lit);

  page_->button(RuleCommand::kDuplicate)->click();
  EXPECT_THAT(Names(), ElementsAre("A", "B", "C", "B", "C"));
  page_->button(RuleCommand::kDelete)->click();
  EXPECT_THAT(Names(), ElementsAre("A", "B", "C"));
  EXPECT_THAT(SelectedRows(), IsEmpty());
  EXPECT_EQ(page_->view()->model()->rowCount(), 3);
}

TEST_F(ControlPageTest, TheMenuAndDoubleClickEditTheFirstSelectedRule) {
  AddRules({"A", "B", "C"});
  Select({2, 1});
  std::vector<std::string> items;
  page_->SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    for (QAction* action : menu.actions()) {
      items.push_back(ToUtf8(action->text()));
    }
    return menu.actions().front();
  });
  page_->ShowContextMenu({});
  EXPECT_THAT(items, ElementsAre("編集(&E)...", "削除(&D)", "上へ(&U)", "下へ(&W)", "複製(&C)",
                                 "有効/無効(&A)"));
  EXPECT_THAT(edited_, ElementsAre("B"));
  EXPECT_THAT(Names(), ElementsAre("A", "Edited", "C"));
  EXPECT_THAT(SelectedRows(), ElementsAre(1));

  nextName_ = "Again";
  emit page_->view()->doubleClicked(page_->view()->model()->index(1, 3));
  EXPECT_THAT(Names(), ElementsAre("A", "Again", "C"));
}

TEST_F(ControlPageTest, KeysRunTheButtonsCommands) {
  AddRules({"A", "B"});
  page_->show();
  page_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(page_.get()));
  page_->view()->setFocus();
  Select({1});
  QTest::keyClick(page_->view(), Qt::Key_Return);
  EXPECT_THAT(edited_, ElementsAre("B"));
  nextName_ = "C";
  QTest::keyClick(page_->view(), Qt::Key_N, Qt::ControlModifier);
  EXPECT_THAT(Names(), ElementsAre("A", "Edited", "C"));
  Select({0});
  QTest::keyClick(page_->view(), Qt::Key_Delete);
  EXPECT_THAT(Names(), ElementsAre("Edited", "C"));
}

TEST_F(ControlPageTest, TheSwitchGoesToTheGeneralSettings) {
  page_->controlBox()->click();
  EXPECT_EQ(engine_.settings().general.CONNECTION_CONTROL, 0);
  EXPECT_FALSE(engine_.settingsSaved());
}

// Every list shows one line of text a row: the rule and connection lists
// are as high a row as the filter list.
TEST_F(ControlPageTest, RuleAndConnectionRowsAreAsHighAsFilterRows) {
  FilterPage filters(engine_, dialogs_);
  ConnectionPage connections(engine_, dialogs_);
  AddRules({"A"});
  const QHeaderView& filterRows = *filters.view()->verticalHeader();
  for (const QTableView* list : {page_->view(), connections.view()}) {
    const QHeaderView& rows = *list->verticalHeader();
    EXPECT_EQ(rows.defaultSectionSize(), filterRows.defaultSectionSize());
    EXPECT_EQ(rows.sectionResizeMode(0), QHeaderView::Fixed);
    EXPECT_TRUE(rows.isHidden());
  }
  EXPECT_EQ(page_->view()->rowHeight(0), filterRows.defaultSectionSize());
  EXPECT_EQ(filterRows.defaultSectionSize(), filters.view()->fontMetrics().height() + 4);
}

// The widths the settings start with are widened to show each header
// whole; widths the user changed are restored as they are.
TEST_F(ControlPageTest, DefaultColumnsShowTheirHeadersWholeAndSavedWidthsAreKept) {
  const ColumnValues<8> defaults = IniFileObject{}.LCCONNECTIONCONTROLRULE_COLUMN_SIZE;
  const QHeaderView& header = *page_->view()->horizontalHeader();
  const int margin = header.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
  for (int column = 0; column < header.count(); ++column) {
    const QString title = header.model()->headerData(column, Qt::Horizontal).toString();
    EXPECT_GE(header.sectionSize(column),
              header.fontMetrics().horizontalAdvance(title) + 2 * margin)
        << title.toStdString();
    EXPECT_GE(header.sectionSize(column), defaults[static_cast<std::size_t>(column)]);
  }
  // "優先度 ルール名" does not fit in the 60 pixels it starts with.
  EXPECT_GT(header.sectionSize(0), defaults[0]);

  IniFileObject& settings = engine_.settings().general;
  settings.LCCONNECTIONCONTROLRULE_COLUMN_SIZE = defaults;
  settings.LCCONNECTIONCONTROLRULE_COLUMN_SIZE[6] = 50;
  ControlPage saved(engine_, dialogs_);
  const QHeaderView& savedHeader = *saved.view()->horizontalHeader();
  for (int column = 0; column < savedHeader.count(); ++column) {
    EXPECT_EQ(savedHeader.sectionSize(column),
              settings.LCCONNECTIONCONTROLRULE_COLUMN_SIZE[static_cast<std::size_t>(column)])
        << column;
  }
}

}  // namespace
}  // namespace harlune
