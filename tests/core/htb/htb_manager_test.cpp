#include "core/htb/htb_manager.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "htb_test_tree.h"

namespace harlune {
namespace {

using htb_test::IdsOf;
using htb_test::Inner;
using htb_test::Leaf;
using htb_test::RecordingRestorer;
using htb_test::TwoTrees;

using Ids = std::vector<std::int32_t>;

TEST(HtbManagerTest, AFreshManagerHasTwoEmptyRoots) {
  const HTB_Manager manager;
  for (const auto& root : {manager.SendTree().Root(), manager.ReceiveTree().Root()}) {
    EXPECT_EQ(root->Name, "NewClass");
    EXPECT_TRUE(root->Children.empty());
  }
  EXPECT_EQ(manager.SendTree().Root()->ID, 0);
  EXPECT_EQ(manager.Find(1), manager.ReceiveTree().Root());
  EXPECT_EQ(manager.FreeIdentifier(), 2);
}

TEST(HtbManagerIdentifierTest, TheSmallestUnusedOverBothTrees) {
  HTB_Manager manager;
  ASSERT_TRUE(manager.Add(1, Leaf("a", -1)));  // 2
  auto four = Leaf("b", -1);
  four->ID = 4;
  ASSERT_TRUE(manager.Add(0, four));
  auto odd = Inner("odd");
  odd->ID = 512;  // a settings file may hold it; it takes no room
  ASSERT_TRUE(manager.Add(0, odd));
  EXPECT_EQ(manager.FreeIdentifier(), 3);
  EXPECT_EQ(manager.FreeIdentifierCount(), 508u);
}

TEST(HtbManagerIdentifierTest, FullTreesRefuseNewClassesAndCopies) {
  HTB_Manager manager;
  while (manager.FreeIdentifier() != -1) {
    ASSERT_TRUE(manager.Add(0, Leaf("filler", -1)));
  }
  EXPECT_EQ(manager.Find(511)->Name, "filler");

  const auto extra = Inner("extra");
  EXPECT_FALSE(manager.Add(0, extra));
  EXPECT_EQ(extra->ID, -1);
  EXPECT_EQ(manager.AddCopy(HTB_LeafClass{}, 1, nullptr), nullptr);
  EXPECT_EQ(manager.Duplicate(2), nullptr);
  EXPECT_EQ(manager.SendTree().Root()->Children.size(), 510u);
}

TEST(HtbManagerAddTest, RefusesWhatWouldBreakTheTrees) {
  TwoTrees trees;
  auto& manager = trees.manager;
  const auto underLeaf = Inner("under a leaf");
  EXPECT_FALSE(manager.Add(3, underLeaf));
  EXPECT_EQ(underLeaf->ID, -1);
  EXPECT_FALSE(manager.Add(99, Inner("unknown parent")));
  EXPECT_FALSE(manager.Add(0, nullptr));
  EXPECT_FALSE(manager.Add(0, manager.Find(3)));               // already placed
  EXPECT_FALSE(manager.Add(2, manager.ReceiveTree().Root()));  // a root
  auto taken = Leaf("taken", -1);
  taken->ID = 6;
  EXPECT_FALSE(manager.Add(0, taken));
  EXPECT_EQ(manager.FreeIdentifier(), 8);
}

TEST(HtbManagerAddTest, AddCopyLinksALeafAndLeavesTheTemplate) {
  TwoTrees trees;
  HTB_LeafClass leafTemplate;
  leafTemplate.FilterID = 11;
  const auto copy = trees.manager.AddCopy(leafTemplate, 1, trees.Lookup());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->ID, 8);
  EXPECT_EQ(trees.LeafAt(8).Filter, &trees.filters[11]);
  EXPECT_EQ(leafTemplate.ID, -1);
  EXPECT_EQ(leafTemplate.Filter, nullptr);
  EXPECT_EQ(IdsOf(trees.manager.LeavesOfFilter(11)), (Ids{4, 8}));
}

TEST(HtbManagerMoveTest, MovesASubtreeToTheEndOfTheNewParent) {
  TwoTrees trees;
  auto& manager = trees.manager;
  ASSERT_TRUE(manager.Move(2, 1));  // across the trees
  EXPECT_EQ(IdsOf(manager.List(1)), (Ids{1, 6, 7, 2, 3, 4}));
  EXPECT_EQ(IdsOf(manager.List(0)), (Ids{0, 5}));
  EXPECT_EQ(manager.Find(2)->Parent, manager.ReceiveTree().Root().get());
  EXPECT_EQ(trees.LeafAt(3).Filter, &trees.filters[10]);

  ASSERT_TRUE(manager.Move(6, 1));  // onto its own parent: to the end
  EXPECT_EQ(IdsOf(manager.ReceiveTree().Root()->Children), (Ids{7, 2, 6}));
}

TEST(HtbManagerMoveTest, RefusalsChangeNothing) {
  TwoTrees trees;
  auto& manager = trees.manager;
  auto nested = Inner("nested");
  ASSERT_TRUE(manager.Add(2, nested));
  EXPECT_FALSE(manager.Move(0, 1));           // a root
  EXPECT_FALSE(manager.Move(2, 5));           // onto a leaf
  EXPECT_FALSE(manager.Move(2, 2));           // onto itself
  EXPECT_FALSE(manager.Move(2, nested->ID));  // under its own descendant
  EXPECT_FALSE(manager.Move(99, 0));
  EXPECT_FALSE(manager.Move(3, 99));
  EXPECT_EQ(IdsOf(manager.List(0)), (Ids{0, 2, 3, 4, 8, 5}));
  EXPECT_EQ(nested->Parent, manager.Find(2).get());
}

TEST(HtbManagerDuplicateTest, CopiesGetFreshIdentifiersParentsFirst) {
  TwoTrees trees;
  auto& manager = trees.manager;
  ASSERT_NE(manager.Duplicate(2), nullptr);
  EXPECT_EQ(IdsOf(manager.List(8)), (Ids{8, 9, 10}));
  EXPECT_EQ(IdsOf(manager.SendTree().Root()->Children), (Ids{2, 5, 8}));
  EXPECT_EQ(IdsOf(manager.LeavesOfFilter(10)), (Ids{3, 9, 6}));
  EXPECT_EQ(IdsOf(manager.LeavesOfFilter(11)), (Ids{4, 10}));
  EXPECT_EQ(trees.LeafAt(10).Filter, &trees.filters[11]);

  // The copy itself takes the gap at 2; its leaves go on after 10.
  RecordingRestorer restorer(manager);
  ASSERT_TRUE(manager.Move(3, 1));
  ASSERT_TRUE(manager.Move(4, 1));
  ASSERT_TRUE(manager.Remove(2, restorer));
  const auto copy = manager.Duplicate(8);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(IdsOf(manager.List(2)), (Ids{2, 11, 12}));
  EXPECT_EQ(copy->Parent, manager.SendTree().Root().get());

  EXPECT_EQ(manager.Duplicate(1), nullptr);
  EXPECT_EQ(manager.Duplicate(99), nullptr);
}

TEST(HtbManagerDuplicateTest, RefusedWhenTheWholeCopyDoesNotFit) {
  TwoTrees trees;
  auto& manager = trees.manager;
  while (manager.FreeIdentifierCount() > 2) {
    ASSERT_TRUE(manager.Add(1, Leaf("filler", -1)));
  }
  EXPECT_EQ(manager.Duplicate(2), nullptr);  // three classes, two identifiers
  EXPECT_EQ(manager.FreeIdentifierCount(), 2u);
  EXPECT_NE(manager.Duplicate(3), nullptr);
}

TEST(HtbManagerRemoveTest, RestoresTheFiltersBeforeTheSubtreeGoes) {
  TwoTrees trees;
  auto& manager = trees.manager;
  RecordingRestorer restorer(manager);
  const auto rows = manager.List(0);
  ASSERT_TRUE(manager.Remove(2, restorer));
  EXPECT_EQ(restorer.restored, (Ids{10, 11}));
  EXPECT_EQ(restorer.classCounts, (std::vector<std::size_t>{8, 8}));
  EXPECT_TRUE(manager.LeavesOfFilter(11).empty());
  EXPECT_EQ(rows[2]->Name, "Web");

  EXPECT_FALSE(manager.Remove(0, restorer));
  EXPECT_FALSE(manager.Remove(1, restorer));
  EXPECT_FALSE(manager.Remove(2, restorer));
  EXPECT_EQ(restorer.restored.size(), 2u);
}

TEST(HtbManagerTest, DeriveRatesRunsParentsBeforeChildren) {
  TwoTrees trees;
  auto& manager = trees.manager;
  manager.SendTree().Root()->CeilRate = 80000;
  auto& group = *manager.Find(2);
  group.CeilRateOrder = 1;
  group.CeilRatePercentage = 50;
  auto& web = *manager.Find(3);
  web.CeilRateOrder = 1;
  web.CeilRatePercentage = 25;
  auto& receive = *manager.ReceiveTree().Root();
  receive.AssuredRate = 2000;
  receive.AssuredRateOrder = 1;
  auto& download = *manager.Find(6);
  download.CeilRate = 100000;
  download.AssuredRateOrder = 1;
  download.AssuredRatePercentage = 75;

  manager.DeriveRates();
  EXPECT_EQ(group.CeilRate, 40000u);
  EXPECT_EQ(web.CeilRate, 10000u);
  EXPECT_EQ(receive.AssuredRate, 2000u);
  EXPECT_EQ(download.AssuredRate, 1500u);
}

}  // namespace
}  // namespace harlune
