// The main window against the engine with in-memory services: tabs, menus
// and their enable rules, the filtering button, the status panes, hiding,
// the close button and the close procedure's questions.

#include "gui/app/main_window.h"

#include <QAction>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base/string_resources.h"
#include "gui/base/qt_text.h"
#include "gui/pages/filter_page.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  }

  CNetSieveDlg& Window(const std::function<void(IniFileObject&)>& configure = {}) {
    if (!window_) {
      window_ = std::make_unique<CNetSieveDlg>(folder_.path(), services_, dialogs_);
      // The offscreen desktop has no notification area; the tests say
      // whether there is one.
      window_->SetTrayAvailability([this] { return trayPresent_; });
      if (configure) {
        // The options as the settings file would give them.
        Settings settings(folder_.path(), dialogs_);
        configure(settings.general);
        AdapterTable adapters;
        SettingsStore(folder_.path(), settings, adapters, dialogs_).SaveAllSettings();
      }
      EXPECT_TRUE(window_->Initialise());
    }
    return *window_;
  }

  bool Enabled(int commandId) { return Window().action(commandId)->isEnabled(); }

  std::size_t Count(RequestCode code) const {
    return services_.transport.CallsWithCode(static_cast<std::uint32_t>(code)).size();
  }

  bool trayPresent_ = true;
  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  std::unique_ptr<CNetSieveDlg> window_;
};

TEST_F(MainWindowTest, TabsPanesAndTheTitleAreThoseOfTheProgram) {
  CNetSieveDlg& window = Window();
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Harlune2 Beta"));
  const QStringList labels = {"  フィルタ  ",
                              "  HTB  ",
                              "  TCPコネクションモニタ  ",
                              "  TCPコネクション操作  ",
                              "  パケットモニタ  ",
                              "  外部コマンド  "};
  ASSERT_EQ(window.tabs().count(), labels.size());
  for (int i = 0; i < labels.size(); ++i) {
    EXPECT_EQ(window.tabs().tabText(i), labels[i]);
  }
  EXPECT_EQ(window.tabs().currentIndex(), 0);
  EXPECT_EQ(window.paneText(0), QStringLiteral(" TOTAL "));
  EXPECT_EQ(window.paneText(1), QStringLiteral(" Send速度     0.0 KB/s"));
  EXPECT_EQ(window.paneText(3), QStringLiteral(" UP転送量    0.0 KB        "));

  window.resize(500, 400);
  EXPECT_GE(window.tabs().tabBar()->minimumWidth(), 600);
}

TEST_F(MainWindowTest, MenusFollowTheSelectionAndTheFilteringSwitch) {
  CNetSieveDlg& window = Window();
  EXPECT_TRUE(Enabled(1111));
  EXPECT_FALSE(Enabled(113));
  EXPECT_EQ(window.filteringButton().text(), QStringLiteral("フィルタリングを開始する"));
  EXPECT_TRUE(Enabled(1007));
  EXPECT_FALSE(Enabled(1033));

  window.action(1111)->trigger();
  EXPECT_TRUE(window.engine().filtering());
  EXPECT_FALSE(Enabled(1111));
  EXPECT_TRUE(Enabled(113));
  EXPECT_EQ(window.filteringButton().text(), QStringLiteral("フィルタリングを停止する"));
  EXPECT_EQ(Count(RequestCode::HlStartFiltering), 1U);

  PacketFilterSetting record;
  record.LowerAdapterName = "eth0";
  window.engine().NewFilter(record);
  window.filterPage().Redraw();
  window.filterPage().view()->selectRow(0);
  for (const int id : {1033, 1004, 1028, 1029, 1005, 1032}) {
    EXPECT_TRUE(Enabled(id)) << id;
  }
  window.filterPage().view()->clearSelection();
  EXPECT_FALSE(Enabled(1004));

  window.action(113)->trigger();
  EXPECT_FALSE(window.engine().filtering());
  EXPECT_EQ(Count(RequestCode::HlStopFiltering), 1U);
}

TEST_F(MainWindowTest, UnsavedChangesAreAskedAboutAndCancelKeepsRunning) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.AUTO_SAVE = 0; });
  window.engine().MarkChanged();

  dialogs_.answers = {QuestionAnswer::kCancel};
  window.action(57665)->trigger();
  EXPECT_FALSE(window.Finished());
  EXPECT_EQ(dialogs_.questions.back(), "設定は保存されていません。保存して終了しますか？");

  dialogs_.answers = {QuestionAnswer::kNo};
  window.action(57665)->trigger();
  EXPECT_TRUE(window.Finished());
  EXPECT_EQ(Count(RequestCode::HlReleaseAdapter), 1U);
}

TEST_F(MainWindowTest, TheCloseButtonHidesWhenSoConfigured) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.CLOSE_BUTTON_ACTION = 1; });
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.close();
  QTest::qWait(20);
  EXPECT_FALSE(window.Finished());
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.engine().windowHidden());

  window.ShowFromTray();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.engine().windowHidden());
}

TEST_F(MainWindowTest, ThePlacementIsRecordedUnlessTheTopLeavesTheScreen) {
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.move(40, 30);
  QTest::qWait(20);
  const WindowRectangle placed = window.engine().settings().general.WINDOW_SIZE;
  EXPECT_EQ(placed.left, window.frameGeometry().left());
  EXPECT_EQ(placed.top, window.frameGeometry().top());

  window.move(40, -50);
  QTest::qWait(20);
  ASSERT_LT(window.frameGeometry().top(), 0);
  EXPECT_EQ(window.engine().settings().general.WINDOW_SIZE, placed);
}

TEST_F(MainWindowTest, AMinimisedStartKeepsTheWindowHidden) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.STARTUP_MINIMIZE = 1; });
  window.show();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.engine().windowHidden());
}

TEST_F(MainWindowTest, TheStatisticsRedrawFillsTheRatePanes) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.VIEW_REFRESH_CYCLE = 100; });
  std::vector<std::uint8_t> totals(24, 0);
  totals[16] = 0x00;
  totals[17] = 0x28;  // 10240 bytes/s sent
  totals[0] = 0x00;
  totals[1] = 0x00;
  totals[2] = 0x10;  // 1 MiB sent
  services_.transport.replies[static_cast<std::uint32_t>(RequestCode::HlGetTotalStatistics)] = {
      0, totals};
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.engine().StatisticsTick();
  EXPECT_EQ(window.paneText(1), QStringLiteral(" Send速度    10.0 KB/s"));
  EXPECT_EQ(window.paneText(3), QStringLiteral(" Send転送量    1024.0 KB"));
}

// Without a notification area the window must stay where the window
// manager lists it; with one it hides into it.
TEST_F(MainWindowTest, WithoutATrayMinimisingKeepsTheWindowListed) {
  trayPresent_ = false;
  CNetSieveDlg& window = Window();
  EXPECT_EQ(window.trayIcon(), nullptr);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.showMinimized();
  QTest::qWait(20);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
  EXPECT_FALSE(window.Finished());
}

TEST_F(MainWindowTest, WithoutATrayTheCloseButtonMinimises) {
  trayPresent_ = false;
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.CLOSE_BUTTON_ACTION = 1; });
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.close();
  QTest::qWait(20);
  EXPECT_FALSE(window.Finished());
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
}

TEST_F(MainWindowTest, WithoutATrayAMinimisedStartIsMinimisedNotHidden) {
  trayPresent_ = false;
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.STARTUP_MINIMIZE = 1; });
  window.show();
  QTest::qWait(20);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
}

TEST_F(MainWindowTest, ATrayThatAppearsLaterMakesTheNextMinimiseHide) {
  trayPresent_ = false;
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  trayPresent_ = true;
  window.RecheckTray();
  ASSERT_NE(window.trayIcon(), nullptr);
  window.showMinimized();
  QTest::qWait(20);
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.engine().windowHidden());
}

TEST_F(MainWindowTest, ATrayThatGoesBringsAHiddenWindowBackMinimised) {
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.showMinimized();
  QTest::qWait(20);
  ASSERT_FALSE(window.isVisible());
  trayPresent_ = false;
  window.RecheckTray();
  EXPECT_EQ(window.trayIcon(), nullptr);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());
}

TEST_F(MainWindowTest, OneClickOnTheTrayIconRestoresAndAnotherMinimises) {
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.showMinimized();
  QTest::qWait(20);
  ASSERT_FALSE(window.isVisible());

  window.OnTrayActivated(QSystemTrayIcon::Context);
  EXPECT_FALSE(window.isVisible());
  window.OnTrayActivated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
  EXPECT_FALSE(window.engine().windowHidden());

  window.OnTrayActivated(QSystemTrayIcon::Trigger);
  QTest::qWait(20);
  EXPECT_FALSE(window.isVisible());
}

TEST_F(MainWindowTest, OneClickOnTheTrayIconEndsAMinimisedStart) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.STARTUP_MINIMIZE = 1; });
  window.show();
  ASSERT_FALSE(window.isVisible());
  window.OnTrayActivated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.engine().startHidden());
}

// The engine's note can say "shown" for a minimised window: the start
// timer records it visible. The click still has to bring it back.
TEST_F(MainWindowTest, OneClickRestoresAWindowMinimisedBeforeTheTrayCame) {
  trayPresent_ = false;
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.STARTUP_MINIMIZE = 1; });
  window.show();
  window.engine().StartHiddenTick(window.isVisible());
  ASSERT_TRUE(window.isMinimized());
  trayPresent_ = true;
  window.RecheckTray();
  ASSERT_NE(window.trayIcon(), nullptr);
  window.OnTrayActivated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
}

// The saved rectangle is the frame, title bar included, both ways.
TEST_F(MainWindowTest, TheSavedFrameIsTheFrameTheNextStartShows) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.WINDOW_SIZE = {30, 40, 930, 640}; });
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(20);
  EXPECT_EQ(window.frameGeometry(), QRect(30, 40, 900, 600));

  window.move(50, 60);
  QTest::qWait(20);
  const WindowRectangle saved = window.engine().settings().general.WINDOW_SIZE;
  EXPECT_EQ(saved, (WindowRectangle{50, 60, 950, 660}));
  window.engine().SaveAllSettings();
  window_.reset();

  CNetSieveDlg& again = Window();
  again.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
  QTest::qWait(20);
  EXPECT_EQ(again.frameGeometry(), QRect(50, 60, 900, 600));
}

TEST_F(MainWindowTest, TheFirstStartIsCentredOnTheScreen) {
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(20);
  // The tab strip can make the window wider than a small screen: then it
  // starts at the screen's left edge.
  const QRect available = window.screen()->availableGeometry();
  const QRect frame = window.frameGeometry();
  EXPECT_EQ(frame.top(), available.top() + (available.height() - frame.height()) / 2);
  EXPECT_EQ(frame.left(), available.left() + std::max(0, (available.width() - frame.width()) / 2));
}

TEST_F(MainWindowTest, ASavedFrameOffTheScreenComesBackOnIt) {
  CNetSieveDlg& window = Window([](IniFileObject& o) { o.WINDOW_SIZE = {5000, 20, 5400, 320}; });
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(20);
  const QRect available = window.screen()->availableGeometry();
  EXPECT_TRUE(available.contains(window.frameGeometry().topLeft()));
  EXPECT_GT(window.frameGeometry().intersected(available).width(), available.width() / 2);
  EXPECT_EQ(window.frameGeometry().height(), 300);
}

}  // namespace
}  // namespace harlune
