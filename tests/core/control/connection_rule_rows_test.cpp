// The connection control page's rows and list commands, without widgets.

#include "core/control/connection_rule_rows.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control_engine_harness.h"

namespace harlune {
namespace {

using Rows = std::vector<std::size_t>;

struct Page {
  explicit Page(std::size_t ruleCount) {
    for (std::size_t i = 0; i < ruleCount; ++i) {
      OperateConnectionRule rule;
      rule.Name = "R" + std::to_string(i);
      EXPECT_TRUE(h.engine.AppendRule(rule, h.dialogs));
    }
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const OperateConnectionRule& rule : h.engine.Rules().Rules()) {
      names.push_back(rule.Name);
    }
    return names;
  }

  testing::EngineHarness h;
  int changes = 0;
  ConnectionRuleRows rows{h.engine, h.dialogs, [this] { ++changes; }};
};

TEST(ConnectionRuleRows, CellsShowTheRuleAsTheListDoes) {
  Page page(2);
  OperateConnectionRule& rule = page.h.RuleAt(1);
  rule.Name = "Block";
  rule.Comment = "note";
  rule.Action = kActionDisconnect;
  rule.TargetProcessName = "app.exe";
  rule.RemoteHostListPath = ".\\lists\\ads.lst";
  const std::vector<std::string> unlimited = {"2 Block", "なし", "切断", "app.exe",
                                              "ads.lst", "なし", "",     "note"};
  for (int column = 0; column < 8; ++column) {
    EXPECT_EQ(page.rows.CellText(1, column), unlimited[static_cast<std::size_t>(column)]);
  }
  rule.BLimitConnectionNum = true;
  rule.AllowConnectionNum = 3;
  rule.PriorCondition = kPriorMostDownFirst;
  rule.TriggerTimeLow = 10;
  rule.RemoteHostListPath = "ads.lst";
  EXPECT_EQ(page.rows.CellText(1, 1), "接続時間が10秒以上");
  EXPECT_EQ(page.rows.CellText(1, 4), "ads.lst");
  EXPECT_EQ(page.rows.CellText(1, 5), "3");
  EXPECT_EQ(page.rows.CellText(1, 6), "DOWN転送量が多いもの");
  EXPECT_EQ(HostListFileName("C:\\hosts\\"), "");
  EXPECT_EQ(page.rows.CellText(1, 8), "");
  EXPECT_EQ(page.rows.CellText(5, 0), "");

  EXPECT_EQ(page.rows.ImageIndex(1), 0);
  rule.Available = false;
  EXPECT_EQ(page.rows.ImageIndex(1), 1);
  EXPECT_EQ(kRuleColumns[0].header, "優先度 ルール名");
  EXPECT_TRUE(kRuleColumns[5].alignRight);
  EXPECT_FALSE(kRuleColumns[4].alignRight);
}

TEST(ConnectionRuleRows, NewAndDuplicateStopAtTheRuleLimit) {
  Page page(62);
  const ConnectionInfo& existing = page.h.Add(1);
  page.h.engine.Pass(true);
  ASSERT_TRUE(page.rows.BeginNew());
  EXPECT_EQ(page.rows.FinishNew(OperateConnectionRule{}), (RuleListSelection{{62}, 62}));
  ASSERT_EQ(page.h.engine.MatchedConnections(62).size(), 1u);
  EXPECT_EQ(page.h.engine.MatchedConnections(62)[0].get(), &existing);

  const Rows two = {0, 1};
  EXPECT_EQ(page.rows.Duplicate(two), (RuleListSelection{two, std::nullopt}));
  EXPECT_EQ(page.h.dialogs.messages, std::vector<std::string>{"これ以上ルールを追加できません。"});
  EXPECT_EQ(page.rows.RowCount(), 63u);
  EXPECT_EQ(page.changes, 1);

  const Rows one = {5};
  page.rows.Duplicate(one);
  EXPECT_EQ(page.rows.RowCount(), 64u);
  EXPECT_EQ(page.Names().back(), "R5");
  EXPECT_FALSE(page.rows.BeginNew());
  EXPECT_EQ(page.h.dialogs.messages.back(), "これ以上コネクション操作ルールを追加できません。");
  EXPECT_EQ(page.changes, 2);
}

TEST(ConnectionRuleRows, EditReplacesInPlaceAndAttachesTheTable) {
  Page page(2);
  page.h.Add(1);
  page.h.engine.Pass(true);
  const Rows selected = {1, 0};
  ASSERT_EQ(page.rows.RowToEdit(selected), 0u);
  EXPECT_FALSE(page.rows.RowToEdit(Rows{7}));

  OperateConnectionRule edited = page.h.RuleAt(0);
  edited.Name = "Edited";
  edited.TargetProcessName = "other.exe";
  EXPECT_EQ(page.rows.FinishEdit(0, edited), (RuleListSelection{{0}, 0}));
  EXPECT_EQ(page.rows.CellText(0, 0), "1 Edited");
  EXPECT_TRUE(page.h.engine.MatchedConnections(0).empty());
  EXPECT_EQ(page.h.engine.MatchedConnections(1).size(), 1u);
  EXPECT_FALSE(page.rows.FinishEdit(2, edited));
  EXPECT_EQ(page.changes, 1);
}

TEST(ConnectionRuleRows, UpAndDownMoveTheSelectionAsABlockAndStopAtTheEdges) {
  Page page(4);
  const Rows middle = {2, 1};
  EXPECT_EQ(page.rows.MoveUp(middle).rows, (Rows{0, 1}));
  EXPECT_EQ(page.Names(), (std::vector<std::string>{"R1", "R2", "R0", "R3"}));
  EXPECT_EQ(page.rows.MoveUp(Rows{0, 1}).rows, (Rows{0, 1}));
  EXPECT_EQ(page.changes, 1);

  EXPECT_EQ(page.rows.MoveDown(Rows{0, 1}).rows, (Rows{1, 2}));
  EXPECT_EQ(page.Names(), (std::vector<std::string>{"R0", "R1", "R2", "R3"}));
  EXPECT_EQ(page.rows.MoveDown(Rows{1, 3}).rows, (Rows{1, 3}));
  EXPECT_EQ(page.Names(), (std::vector<std::string>{"R0", "R1", "R2", "R3"}));
  EXPECT_EQ(page.changes, 2);
}

TEST(ConnectionRuleRows, DeleteAndToggleWorkOnEverySelectedRow) {
  Page page(4);
  EXPECT_EQ(page.rows.ToggleAvailable(Rows{3, 1, 9}).rows, (Rows{1, 3}));
  EXPECT_FALSE(page.h.RuleAt(1).Available);
  EXPECT_TRUE(page.h.RuleAt(2).Available);
  EXPECT_FALSE(page.h.RuleAt(3).Available);

  EXPECT_TRUE(page.rows.Delete(Rows{0, 2, 2}).rows.empty());
  EXPECT_EQ(page.Names(), (std::vector<std::string>{"R1", "R3"}));
  EXPECT_TRUE(page.h.dialogs.messages.empty());
  page.rows.Delete(Rows{});
  EXPECT_EQ(page.changes, 2);
}

}  // namespace
}  // namespace harlune
