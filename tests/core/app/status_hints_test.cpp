// The status bar's note that filtering is off: shown only while something
// the user set is idle because of it, and naming what that is.

#include "core/app/status_hints.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune {
namespace {

TEST(FilteringOffNote, NamesWhatIsIdleOnlyWhileFilteringIsOff) {
  EXPECT_EQ(FilteringOffNote(false, 3, true),
            "フィルタリングが停止しているため、フィルタとHTBクラスは働いていません。"
            "「フィルタリングを開始する」で開始します。");
  EXPECT_EQ(FilteringOffNote(false, 1, false),
            "フィルタリングが停止しているため、フィルタは働いていません。"
            "「フィルタリングを開始する」で開始します。");
  EXPECT_EQ(FilteringOffNote(false, 0, true),
            "フィルタリングが停止しているため、HTBクラスは働いていません。"
            "「フィルタリングを開始する」で開始します。");
  // Nothing set, or filtering on: nothing to say.
  EXPECT_EQ(FilteringOffNote(false, 0, false), "");
  EXPECT_EQ(FilteringOffNote(true, 3, true), "");
}

TEST(FilteringOffNote, HtbClassesCountBelowEitherRootOnly) {
  HTB_Manager manager;
  EXPECT_FALSE(HasHtbClasses(manager));  // the two roots alone
  auto leaf = std::make_shared<HTB_LeafClass>();
  leaf->ID = 7;
  ASSERT_TRUE(manager.ReceiveTree().Add(manager.ReceiveTree().Root()->ID, leaf));
  EXPECT_TRUE(HasHtbClasses(manager));
}

}  // namespace
}  // namespace harlune
