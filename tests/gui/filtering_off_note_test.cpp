// The status bar tells a user whose filters do nothing that filtering is
// off, and the note goes once filtering is on or nothing is set.

#include <QTest>

#include <gtest/gtest.h>

#include "gui/app/main_window.h"
#include "gui/base/qt_text.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kTickWaitMs = 5000;

TEST(FilteringOffNoteDisplay, FollowsTheSwitchAndTheFilters) {
  testing::TempDir folder;
  testing::FakeEngineServices services;
  services.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  RecordingUserDialogs dialogs;
  CNetSieveDlg window(folder.path(), services, dialogs);
  ASSERT_TRUE(window.Initialise());
  ASSERT_FALSE(window.engine().filtering());
  // No filter and no class: filtering off is nothing to mention.
  QTest::qWait(300);
  EXPECT_TRUE(window.filteringOffText().isEmpty());

  PacketFilterSetting record;
  record.Name = "web";
  record.LowerAdapterName = "eth0";
  ASSERT_TRUE(window.engine().NewFilter(record).changed);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window.filteringOffText().isEmpty(); }, kTickWaitMs));
  EXPECT_EQ(ToUtf8(window.filteringOffText()),
            "フィルタリングが停止しているため、フィルタは働いていません。"
            "「フィルタリングを開始する」で開始します。");

  window.engine().StartFiltering();
  EXPECT_TRUE(window.filteringOffText().isEmpty());  // at once, not a tick later
  window.engine().StopFiltering();
  EXPECT_FALSE(window.filteringOffText().isEmpty());
  EXPECT_TRUE(dialogs.messages.empty());
  window.RunCloseProcedure();
}

}  // namespace
}  // namespace harlune
