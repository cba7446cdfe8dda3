#include "core/htb/htb_rows.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/htb/htb_page_commands.h"
#include "htb_test_tree.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using htb_test::IdsOf;
using htb_test::Leaf;
using htb_test::RecordingRestorer;
using htb_test::TwoTrees;

// send root 0: Group 2 (Web 3 -> filter 10, Mail 4 -> filter 11), Games 5
// receive root 1: Download 6 -> filter 10, Updates 7 -> filter 12 (absent)
class HtbRowsTest : public ::testing::Test {
 protected:
  HtbRowsTest() { trees.filters[10].Name = "Web filter"; }
  TwoTrees trees;
  HTB_Manager& manager = trees.manager;
};

TEST_F(HtbRowsTest, TreeItemsNameTheRootsAndColourByState) {
  trees.LeafAt(3).Applied = false;
  trees.LeafAt(3).Available = false;
  const auto items = HtbTreeItems(manager);
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[0].text, "送信ルート");
  EXPECT_EQ(items[5].text, "受信ルート");
  EXPECT_EQ(items[2].text, "Web");
  EXPECT_EQ(items[2].depth, 2u);
  EXPECT_EQ(items[2].parentId, 2);
  EXPECT_FALSE(items[2].available);
  EXPECT_EQ(items[2].textRgb, kNotAppliedTextRgb);
  EXPECT_EQ(items[2].backgroundRgb, 0xE1EBFFu);  // light blue
  EXPECT_EQ(items[1].textRgb, std::nullopt);
  EXPECT_EQ(items[1].backgroundRgb, 0xFFFFFFu);
}

TEST_F(HtbRowsTest, ListShowsTheSelectedSubtreeUnlessAllAreWanted) {
  EXPECT_EQ(IdsOf(HtbListClasses(manager, false, 2)), (std::vector<std::int32_t>{2, 3, 4}));
  const std::vector<std::int32_t> all{0, 2, 3, 4, 5, 1, 6, 7};
  EXPECT_EQ(IdsOf(HtbListClasses(manager, true, 2)), all);
  EXPECT_EQ(IdsOf(HtbListClasses(manager, false, std::nullopt)), all);
  EXPECT_EQ(IdsOf(HtbListClasses(manager, false, 99)), all);  // a class deleted meanwhile
}

TEST_F(HtbRowsTest, CellsFollowTheColumns) {
  auto& web = trees.LeafAt(3);
  web.Filter->RateHistory = {1024, 2048};
  web.Filter->TBFRate = 4096;
  web.AllottedRate = 2048;
  web.AssuredRateOrder = 1;
  web.AssuredRatePercentage = 25;
  web.AssuredRate = 1536;
  web.CeilRate = 10240;
  web.Priority = 3;
  web.AvailableType = kAvailableWhileProcessRuns;
  web.Comment = "note";
  web.Available = false;
  const std::array<std::string, kHtbColumnCount> leafCells{
      "Web",       "リーフ", "1.5 KB/s",   "2.0(4.0) KB/s", "(25%)1.5 KB/s",
      "10.0 KB/s", "3",      "Web filter", "プロセス",      "note"};
  EXPECT_EQ(MakeHtbListRow(web).cells, leafCells);

  auto& group = *manager.Find(2);
  group.CurrentRate = 512;
  const std::array<std::string, kHtbColumnCount> innerCells{
      "Group", "インナー", "(0.5) KB/s", "0.0 KB/s", "0.0 KB/s", "0.0 KB/s", "0", "*", "*", ""};
  EXPECT_EQ(MakeHtbListRow(group).cells, innerCells);

  const auto games = MakeHtbListRow(*manager.Find(5));
  EXPECT_EQ(games.cells[2], "0.0 KB/s");
  EXPECT_EQ(games.cells[7], "未設定");
}

TEST_F(HtbRowsTest, ARootWithoutRateSaysWhatToDoAndKeepsItsCells) {
  const std::string sendNote =
      "送信ルートの帯域が設定されていないため、帯域を制限していません。"
      "送信ルートを編集して回線の帯域を設定してください。";
  const std::string receiveNote =
      "受信ルートの帯域が設定されていないため、帯域を制限していません。"
      "受信ルートを編集して回線の帯域を設定してください。";
  const auto items = HtbTreeItems(manager);
  EXPECT_TRUE(items[0].rootWithoutRate);
  EXPECT_EQ(items[0].note, sendNote);
  EXPECT_EQ(items[0].backgroundRgb, kRootWithoutRateBackgroundRgb);
  EXPECT_EQ(items[5].note, receiveNote);
  EXPECT_FALSE(items[1].rootWithoutRate);  // an inner class without rates is no root
  EXPECT_EQ(items[1].note, "");
  EXPECT_EQ(HtbRootNotes(manager), (std::vector<std::string>{sendNote, receiveNote}));

  auto& root = *manager.SendTree().Root();
  const HtbListRow unset = MakeHtbListRow(root);
  EXPECT_TRUE(unset.rootWithoutRate);
  EXPECT_EQ(unset.note, sendNote);
  EXPECT_EQ(unset.backgroundRgb, kRootWithoutRateBackgroundRgb);
  const std::array<std::string, kHtbColumnCount> rootCells{
      "NewClass", "インナー", "(0.0) KB/s", "0.0 KB/s", "0.0 KB/s", "0.0 KB/s", "0", "*", "*", ""};
  EXPECT_EQ(unset.cells, rootCells);

  root.AssuredRate = 204800;
  root.CeilRate = 204800;
  const HtbListRow set = MakeHtbListRow(root);
  EXPECT_FALSE(set.rootWithoutRate);
  EXPECT_EQ(set.note, "");
  EXPECT_EQ(set.backgroundRgb, kInnerBackgroundRgb);
  EXPECT_FALSE(HtbTreeItems(manager)[0].rootWithoutRate);
  EXPECT_EQ(HtbRootNotes(manager), (std::vector<std::string>{receiveNote}));
}

TEST_F(HtbRowsTest, FilterPageNamesTheDrivingLeaf) {
  EXPECT_EQ(FilterHtbText(manager, 11), "Mail");
  EXPECT_EQ(FilterHtbText(manager, 10), "警告:二つ以上のクラス");
  EXPECT_EQ(FilterHtbText(manager, 50), "なし");
  EXPECT_EQ(FilterHtbText(manager, -1), "なし");  // leaves without a target
  trees.filters[11].TBFRate = 100;
  trees.LeafAt(4).AllottedRate = 300;
  EXPECT_EQ(FilterShownRate(manager, trees.filters[11]), 300u);
  trees.filters[10].TBFRate = 200;
  EXPECT_EQ(FilterShownRate(manager, trees.filters[10]), 200u);
}

class HtbPageCommandsTest : public HtbRowsTest {
 protected:
  RecordingUserDialogs dialogs;
  RecordingRestorer restorer{manager};
  int changes = 0;
  HtbPageCommands commands{manager, dialogs, restorer, trees.Lookup(), [this] { ++changes; }};
};

TEST_F(HtbPageCommandsTest, RefusalsAreShownAndChangeNothing) {
  EXPECT_FALSE(commands.MayCreateUnder(3));
  EXPECT_EQ(commands.AddNew(3, HTB_InnerClass()), nullptr);
  EXPECT_FALSE(commands.Delete(0));
  EXPECT_EQ(commands.Duplicate(1), nullptr);
  EXPECT_FALSE(commands.Move(0, 2));
  EXPECT_FALSE(commands.Move(5, 3));
  EXPECT_EQ(dialogs.messages,
            (std::vector<std::string>{
                "リーフクラスには子を追加できません。", "リーフクラスには子を追加できません。",
                "ルートクラスは削除できません。", "ルートクラスは複製できません。",
                "ルートクラスは移動できません。", "リーフクラスの子にはできません。"}));
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(htb_test::ClassCount(manager), 8u);
}

TEST_F(HtbPageCommandsTest, DeletingAParentAsksFirst) {
  dialogs.answers = {QuestionAnswer::kCancel};
  EXPECT_FALSE(commands.Delete(2));
  EXPECT_EQ(dialogs.questions,
            (std::vector<std::string>{"子クラスも削除されますがよろしいですか？"}));
  EXPECT_EQ(dialogs.captions, (std::vector<std::string>{"Harlune"}));
  EXPECT_NE(manager.Find(3), nullptr);

  EXPECT_TRUE(commands.Delete(2));  // answered with OK
  EXPECT_EQ(manager.Find(3), nullptr);
  EXPECT_EQ(restorer.restored, (std::vector<std::int32_t>{10, 11}));
  EXPECT_TRUE(commands.Delete(5));  // no children, no question
  EXPECT_EQ(dialogs.questions.size(), 2u);
  EXPECT_EQ(changes, 2);
}

TEST_F(HtbPageCommandsTest, ChangesAreReported) {
  auto leafTemplate = Leaf("New", 11);
  const auto added = commands.AddNew(2, *leafTemplate);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->ID, 8);
  EXPECT_EQ(dynamic_cast<HTB_LeafClass&>(*added).Filter, &trees.filters[11]);
  EXPECT_TRUE(commands.ToggleAvailable(5));
  EXPECT_FALSE(manager.Find(5)->Available);
  trees.LeafAt(5).FilterID = 10;
  commands.Edited();
  EXPECT_EQ(trees.LeafAt(5).Filter, &trees.filters[10]);
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(dialogs.messages.empty());
}

}  // namespace
}  // namespace harlune
