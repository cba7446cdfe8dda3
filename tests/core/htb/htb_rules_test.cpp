#include "core/htb/htb_rules.h"

#include <gtest/gtest.h>

#include "htb_test_tree.h"

namespace harlune {
namespace {

using htb_test::Inner;
using htb_test::Leaf;
using htb_test::TwoTrees;

TEST(HtbRulesTest, NewClassesAndCopiesNeedAnInnerParentAndFreeIdentifiers) {
  TwoTrees trees;
  EXPECT_EQ(CheckNewClass(trees.manager, 3), "リーフクラスには子を追加できません。");
  EXPECT_EQ(CheckNewClass(trees.manager, 99), kClassNotFoundText);
  EXPECT_EQ(CheckNewClass(trees.manager, 2), std::nullopt);
  while (trees.manager.FreeIdentifierCount() > 2) {
    ASSERT_TRUE(trees.manager.Add(1, Leaf("filler", -1)));
  }
  EXPECT_EQ(CheckDuplicate(trees.manager, 2), kNoFreeIdentifierText);  // three classes
  EXPECT_EQ(CheckDuplicate(trees.manager, 3), std::nullopt);
  ASSERT_TRUE(trees.manager.Add(1, Leaf("filler", -1)));
  ASSERT_TRUE(trees.manager.Add(1, Leaf("filler", -1)));
  EXPECT_EQ(CheckNewClass(trees.manager, 2), kNoFreeIdentifierText);
}

TEST(HtbRulesTest, MovesKeepRootsAndSubtreesWhole) {
  TwoTrees trees;
  EXPECT_EQ(CheckMove(trees.manager, 0, 1), "ルートクラスは移動できません。");
  EXPECT_EQ(CheckMove(trees.manager, 1, 2), "ルートクラスは移動できません。");
  EXPECT_EQ(CheckMove(trees.manager, 2, 5), "リーフクラスの子にはできません。");
  EXPECT_EQ(CheckMove(trees.manager, 2, 2), kCannotMoveUnderItselfText);
  auto nested = Inner("nested");
  ASSERT_TRUE(trees.manager.Add(2, nested));
  EXPECT_EQ(CheckMove(trees.manager, 2, nested->ID), kCannotMoveUnderItselfText);
  EXPECT_EQ(CheckMove(trees.manager, nested->ID, 2), std::nullopt);
  EXPECT_EQ(CheckMove(trees.manager, 2, 1), std::nullopt);
  EXPECT_EQ(CheckMove(trees.manager, 99, 1), kClassNotFoundText);
  EXPECT_EQ(CheckMove(trees.manager, 2, 99), kClassNotFoundText);
}

TEST(HtbRulesTest, RootsAreNeitherRemovedNorDuplicated) {
  TwoTrees trees;
  EXPECT_EQ(CheckRemove(trees.manager, 0), "ルートクラスは削除できません。");
  EXPECT_EQ(CheckRemove(trees.manager, 1), "ルートクラスは削除できません。");
  EXPECT_EQ(CheckDuplicate(trees.manager, 1), "ルートクラスは複製できません。");
  EXPECT_EQ(CheckRemove(trees.manager, 2), std::nullopt);
  EXPECT_EQ(CheckDuplicate(trees.manager, 2), std::nullopt);
  EXPECT_EQ(CheckRemove(trees.manager, 99), kClassNotFoundText);
  EXPECT_EQ(CheckDuplicate(trees.manager, 99), kClassNotFoundText);

  // A root is recognised as such even when a settings file renumbered it.
  trees.manager.SendTree().Root()->ID = 40;
  EXPECT_EQ(CheckRemove(trees.manager, 40), "ルートクラスは削除できません。");
}

TEST(HtbRulesTest, OnlyClassesWithChildrenAskBeforeRemoval) {
  TwoTrees trees;
  EXPECT_EQ(RemoveQuestion(trees.manager, 2), "子クラスも削除されますがよろしいですか？");
  EXPECT_EQ(RemoveQuestion(trees.manager, 3), std::nullopt);
  ASSERT_TRUE(trees.manager.Add(0, Inner("empty")));
  EXPECT_EQ(RemoveQuestion(trees.manager, 8), std::nullopt);
}

TEST(HtbRulesTest, EditorChecks) {
  EXPECT_EQ(CheckRates(2049, 2048), "最低保証帯域は上限帯域以下にしてください。");
  EXPECT_EQ(CheckRates(2048, 2048), std::nullopt);
  EXPECT_EQ(CheckRates(0, 0), std::nullopt);

  HTB_LeafClass leaf;
  EXPECT_EQ(LeafTargetNotice(leaf), "注意:対象フィルタを選択しない限り何も影響しません。");
  leaf.FilterID = 0;
  EXPECT_EQ(LeafTargetNotice(leaf), std::nullopt);
}

}  // namespace
}  // namespace harlune
