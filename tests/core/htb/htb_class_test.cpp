#include "core/htb/htb_class.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "htb_test_tree.h"

namespace harlune {
namespace {

using htb_test::ClassCount;
using htb_test::IdsOf;
using htb_test::Inner;
using htb_test::Leaf;
using htb_test::RecordingRestorer;
using htb_test::TwoTrees;

using Ids = std::vector<std::int32_t>;

TEST(HtbClassTest, NewLeavesStartFromTheDefaults) {
  const HTB_LeafClass leaf;
  EXPECT_EQ(leaf.ID, -1);
  EXPECT_EQ(leaf.Name, "NewClass");
  EXPECT_TRUE(leaf.Available && leaf.Applied && leaf.Active);
  EXPECT_EQ(leaf.FilterID, -1);
  EXPECT_EQ(AvailableTypeText(leaf.AvailableType), "コネクション");
  EXPECT_EQ(AvailableTypeText(0), "常に");
  EXPECT_EQ(AvailableTypeText(1), "プロセス");
  EXPECT_EQ(AvailableTypeText(7), "常に");  // other values act as "always"
  EXPECT_EQ(AvailableTypeText(-1), "常に");
}

TEST(HtbClassTest, CloneIsADeepCopyOutsideEveryTree) {
  TwoTrees trees;
  auto& group = *trees.manager.Find(2);
  group.AssuredRate = 3000;

  const auto copy = group.Clone();
  EXPECT_EQ(copy->ID, -1);
  EXPECT_EQ(copy->Parent, nullptr);
  EXPECT_EQ(copy->AssuredRate, 3000u);
  ASSERT_EQ(copy->Children.size(), 2u);
  const auto& web = dynamic_cast<const HTB_LeafClass&>(*copy->Children[0]);
  EXPECT_NE(&web, trees.manager.Find(3).get());
  EXPECT_EQ(web.ID, -1);
  EXPECT_EQ(web.Parent, copy.get());
  EXPECT_EQ(web.Filter, &trees.filters[10]);
  EXPECT_EQ(web.FilterID, 10);
  copy->Children.clear();
  EXPECT_EQ(group.Children.size(), 2u);
}

TEST(HtbClassTest, ChildrenGoOnlyWhereTheTreeStaysSound) {
  TwoTrees trees;
  auto& root = *trees.manager.SendTree().Root();
  EXPECT_FALSE(root.AddUnder(3, Inner("under a leaf")));
  EXPECT_FALSE(trees.manager.Find(3)->AppendChild(Leaf("x", -1)));
  EXPECT_FALSE(root.AddUnder(99, Inner("nowhere")));
  EXPECT_FALSE(root.AppendChild(trees.manager.Find(6)));  // has a parent already
  EXPECT_FALSE(trees.manager.Find(2)->AppendChild(nullptr));
  EXPECT_FALSE(trees.manager.Find(2)->AppendChild(trees.manager.SendTree().Root()));  // a cycle
  EXPECT_EQ(trees.manager.Find(6)->Parent, trees.manager.ReceiveTree().Root().get());
  EXPECT_EQ(ClassCount(trees.manager), 8u);

  EXPECT_TRUE(root.AddUnder(2, Inner("under group")));
  EXPECT_EQ(trees.manager.Find(2)->Children.size(), 3u);
}

TEST(HtbClassTest, SearchesAreDepthFirstInChildOrder) {
  TwoTrees trees;
  const auto& root = *trees.manager.SendTree().Root();
  std::vector<std::shared_ptr<HTB_LeafClass>> leaves;
  root.CollectLeaves(10, leaves);
  trees.manager.ReceiveTree().Root()->CollectLeaves(10, leaves);
  EXPECT_EQ(IdsOf(leaves), (Ids{3, 6}));

  // A settings file may repeat an identifier: the first class wins.
  trees.manager.Find(5)->ID = 4;
  EXPECT_EQ(root.Find(4)->Name, "Mail");
  EXPECT_EQ(root.Find(0), nullptr);  // the class itself is not its descendant
}

TEST(HtbClassTest, MarkIdentifiersSkipsOutOfRangeButVisitsTheirChildren) {
  auto root = Inner("root");
  root->ID = 700;
  auto unnumbered = Inner("unnumbered");
  auto leaf = Leaf("leaf", -1);
  leaf->ID = 5;
  ASSERT_TRUE(unnumbered->AppendChild(leaf));
  ASSERT_TRUE(root->AppendChild(unnumbered));

  std::array<bool, 8> marks{};
  root->MarkIdentifiers(marks);
  EXPECT_TRUE(marks[5]);
  EXPECT_EQ(std::count(marks.begin(), marks.end(), true), 1);
}

TEST(HtbClassTest, LinkFiltersFindsTheRecordOrNone) {
  TwoTrees trees;
  EXPECT_EQ(trees.LeafAt(3).Filter, &trees.filters[10]);
  EXPECT_EQ(trees.LeafAt(7).Filter, nullptr);  // filter 12 is not in the list

  // The unset identifier never links, even to a filter that holds it.
  trees.filters[-1].ID = -1;
  trees.filters.erase(10);
  trees.manager.LinkFilters(trees.Lookup());
  EXPECT_EQ(trees.LeafAt(3).Filter, nullptr);
  EXPECT_EQ(trees.LeafAt(5).Filter, nullptr);
  EXPECT_EQ(trees.LeafAt(4).Filter, &trees.filters[11]);
  trees.manager.LinkFilters(nullptr);
  EXPECT_EQ(trees.LeafAt(4).Filter, nullptr);
}

TEST(HtbClassRemoveTest, RestoresEveryLinkedLeafOfTheSubtreeBeforeItGoes) {
  TwoTrees trees;
  RecordingRestorer restorer(trees.manager);
  auto& send = *trees.manager.SendTree().Root();
  auto& receive = *trees.manager.ReceiveTree().Root();
  EXPECT_FALSE(receive.Remove(3, restorer));  // in the other tree
  ASSERT_TRUE(send.Remove(2, restorer));
  EXPECT_EQ(restorer.restored, (Ids{10, 11}));
  EXPECT_EQ(restorer.classCounts, (std::vector<std::size_t>{8, 8}));
  EXPECT_EQ(IdsOf(send.Children), (Ids{5}));

  // Leaves without a linked filter have nothing to restore.
  EXPECT_TRUE(receive.Remove(7, restorer));
  EXPECT_TRUE(send.Remove(5, restorer));
  EXPECT_EQ(restorer.restored.size(), 2u);
}

TEST(HtbClassRemoveTest, RemovedClassesStayValidWhileAListHoldsThem) {
  TwoTrees trees;
  RecordingRestorer restorer(trees.manager);
  std::vector<std::shared_ptr<HTB_Class>> rows = trees.manager.List(2);
  ASSERT_TRUE(trees.manager.SendTree().Root()->Remove(2, restorer));
  EXPECT_EQ(rows[0]->Parent, nullptr);
  EXPECT_EQ(rows[1]->Parent, rows[0].get());

  // Once nothing holds the removed inner class, its surviving leaf must not
  // point at freed memory.
  const auto mail = rows[2];
  rows.clear();
  EXPECT_EQ(mail->Parent, nullptr);
  EXPECT_EQ(mail->Name, "Mail");

  const auto games = trees.manager.Find(5);
  trees.manager.SendTree().Root()->Clear();
  EXPECT_EQ(games->Parent, nullptr);
  EXPECT_EQ(trees.manager.FreeIdentifier(), 2);
}

class HtbClassDeriveRatesTest : public ::testing::Test {
 protected:
  HtbClassDeriveRatesTest() {
    parent_->AssuredRate = 10000;
    parent_->CeilRate = 40000;
    parent_->AppendChild(child_);
  }

  std::shared_ptr<HTB_InnerClass> parent_ = Inner("parent");
  std::shared_ptr<HTB_LeafClass> child_ = Leaf("child", -1);
};

TEST_F(HtbClassDeriveRatesTest, PercentagesFollowTheParentInIntegers) {
  child_->AssuredRate = 700;
  child_->AssuredRatePercentage = 50;  // order 0: the given rate stays
  child_->CeilRateOrder = 1;
  child_->CeilRatePercentage = 50;
  child_->DeriveRates();
  EXPECT_EQ(child_->AssuredRate, 700u);
  EXPECT_EQ(child_->CeilRate, 20000u);

  parent_->CeilRate = 333;
  child_->AssuredRateOrder = 1;
  child_->CeilRatePercentage = 33;
  child_->DeriveRates();
  EXPECT_EQ(child_->CeilRate, 109u);     // 10989 / 100
  EXPECT_EQ(child_->AssuredRate, 109u);  // 5000, lowered to the upper rate

  parent_->CeilRateOrder = 1;  // a root keeps its rates
  parent_->DeriveRates();
  EXPECT_EQ(parent_->CeilRate, 333u);
}

TEST_F(HtbClassDeriveRatesTest, FastLinksDoNotWrapAround) {
  parent_->AssuredRate = 125'000'000;  // a gigabit link
  parent_->CeilRate = 125'000'000;
  child_->AssuredRateOrder = 1;
  child_->AssuredRatePercentage = 50;
  child_->CeilRateOrder = 1;
  child_->CeilRatePercentage = 4000;  // a settings file is not range-checked
  child_->DeriveRates();
  EXPECT_EQ(child_->AssuredRate, 62'500'000u);
  EXPECT_EQ(child_->CeilRate, std::numeric_limits<std::uint32_t>::max());
}

}  // namespace
}  // namespace harlune
