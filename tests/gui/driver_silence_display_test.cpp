// A driver that stops answering, as the main window shows it: a note in the
// status bar and no rate on its filters, both gone once the driver is back
// and the session healed.

#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include "gui/app/main_window.h"
#include "gui/base/qt_text.h"
#include "gui/pages/filter_page.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kTickWaitMs = 5000;

TEST(DriverSilenceDisplay, StatusBarAndFilterPageSayTheDriverIsSilentUntilItAnswers) {
  testing::TempDir folder;
  testing::FakeEngineServices services;
  services.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  RecordingUserDialogs dialogs;
  CNetSieveDlg window(folder.path(), services, dialogs);
  ASSERT_TRUE(window.Initialise());
  PacketFilterSetting record;
  record.Name = "web";
  record.LowerAdapterName = "eth0";
  ASSERT_TRUE(window.engine().NewFilter(record).changed);
  window.filterPage().Redraw();
  const QModelIndex rate = window.filterPage().view()->model()->index(0, 2);
  EXPECT_EQ(rate.data().toString(), QStringLiteral("0.0 KB/s"));

  // The driver goes away: its connection is lost and nothing answers.
  services.transport.CloseConnections();
  services.transport.devices.clear();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window.driverSilenceText().isEmpty(); }, kTickWaitMs));
  EXPECT_EQ(ToUtf8(window.driverSilenceText()),
            "ドライバが応答しません（eth0）。応答が戻るとフィルタを設定し直します。");
  EXPECT_EQ(ToUtf8(rate.data().toString()), "ドライバ応答なし");

  services.transport.devices.insert("/run/harlune/PassThru");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.driverSilenceText().isEmpty(); }, kTickWaitMs));
  EXPECT_EQ(rate.data().toString(), QStringLiteral("0.0 KB/s"));
  EXPECT_TRUE(dialogs.messages.empty());
  window.RunCloseProcedure();
}

}  // namespace
}  // namespace harlune
