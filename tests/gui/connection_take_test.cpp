// The connection tick off the user-interface thread, and the window's
// redraws only of pages in view: the take worker on its own, and the main
// window against the engine with in-memory services whose table read can
// be held until the test lets it go.

#include <QCoreApplication>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "gui/app/connection_take_worker.h"
#include "gui/app/main_window.h"
#include "gui/models/connection_model.h"
#include "gui/models/filter_list_model.h"
#include "gui/pages/connection_page.h"
#include "gui/pages/filter_page.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kWaitMs = 5000;

// A take that waits until the test lets it go.
class HeldTake {
 public:
  ConnectionTake operator()() {
    thread = std::this_thread::get_id();
    started = true;
    released.wait();
    finished = true;
    ConnectionTake take;
    take.sequence = 7;
    return take;
  }
  void Release() { release.set_value(); }

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> started = false;
  std::atomic<bool> finished = false;
  std::thread::id thread;
};

TEST(ConnectionTakeWorkerTest, TakesOffThisThreadOneAtATimeAndAppliesOnIt) {
  HeldTake held;
  int applied = 0;
  std::uint64_t appliedSequence = 0;
  std::thread::id applyThread;
  ConnectionTakeWorker worker([&held] { return held(); },
                              [&](ConnectionTake take) {
                                applyThread = std::this_thread::get_id();
                                appliedSequence = take.sequence;
                                ++applied;
                              });
  ASSERT_TRUE(worker.Start());
  EXPECT_FALSE(worker.Start()) << "never two takes at once";

  // The event loop goes on while the take waits.
  bool timerRan = false;
  QTimer::singleShot(0, [&timerRan] { timerRan = true; });
  EXPECT_TRUE(QTest::qWaitFor([&] { return timerRan && held.started; }, kWaitMs));
  EXPECT_TRUE(worker.Running());
  EXPECT_EQ(applied, 0);

  held.Release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return applied == 1; }, kWaitMs));
  EXPECT_NE(held.thread, std::this_thread::get_id());
  EXPECT_EQ(applyThread, std::this_thread::get_id());
  EXPECT_EQ(appliedSequence, 7u);
  EXPECT_FALSE(worker.Running());
  EXPECT_TRUE(worker.Start()) << "the next tick takes again";
  EXPECT_TRUE(QTest::qWaitFor([&] { return applied == 2; }, kWaitMs));
}

TEST(ConnectionTakeWorkerTest, StopWaitsForARunningTakeAndDropsItsResult) {
  HeldTake held;
  int applied = 0;
  ConnectionTakeWorker worker([&held] { return held(); },
                              [&applied](ConnectionTake) { ++applied; });
  ASSERT_TRUE(worker.Start());
  ASSERT_TRUE(QTest::qWaitFor([&] { return held.started.load(); }, kWaitMs));
  std::thread releaser([&held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    held.Release();
  });
  worker.Stop();
  EXPECT_TRUE(held.finished) << "Stop returned before the take ended";
  releaser.join();
  QCoreApplication::processEvents();
  QTest::qWait(20);
  EXPECT_EQ(applied, 0);
  EXPECT_FALSE(worker.Start()) << "no take after the stop";
}

TcpTableRow ConnectionFromPort(const testing::FakeEngineServices& services, std::uint16_t port) {
  TcpTableRow row = services.table->rows.front();
  row.localPort = protocol::HostToNet16(port);
  return row;
}

class WindowConnectionTest : public ::testing::Test {
 protected:
  WindowConnectionTest() { services_.ServeOneEstablishedConnection(); }

  CNetSieveDlg& Window() {
    if (!window_) {
      window_ = std::make_unique<CNetSieveDlg>(folder_.path(), services_, dialogs_);
      window_->SetTrayAvailability([] { return false; });
      EXPECT_TRUE(window_->Initialise());
      IniFileObject& settings = window_->engine().settings().general;
      settings.VIEW_REFRESH_CYCLE = 100;  // a redraw at every statistics tick
      settings.LOG_CONNECTION_STATS = 0;
      window_->engine().ApplyGeneralSettings();
    }
    return *window_;
  }
  int ShownConnections() { return Window().connectionPage().rows().rowCount(); }
  int ShownFilters() { return Window().filterPage().model()->rowCount(); }
  void AddFilter() {
    PacketFilterSetting record;
    record.Name = "one";
    record.LowerAdapterName = "eth0";
    ASSERT_TRUE(Window().engine().NewFilter(record).changed);
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  std::unique_ptr<CNetSieveDlg> window_;
};

TEST_F(WindowConnectionTest, TheEventLoopRunsWhileTheTableIsReadAndTheApplyComesOnItsThread) {
  CNetSieveDlg& window = Window();
  window.tabs().setCurrentIndex(kConnectionPageIndex);
  ASSERT_EQ(ShownConnections(), 1);
  HeldTake gate;
  std::atomic<bool> held = false;
  std::atomic<bool> readOnThisThread = false;
  const std::thread::id uiThread = std::this_thread::get_id();
  services_.table->beforeRead = [&] {
    readOnThisThread = readOnThisThread || std::this_thread::get_id() == uiThread;
    if (!held.exchange(true)) {
      gate.released.wait();
    }
  };
  // The window's own 1 s connection timer starts the take.
  ASSERT_TRUE(QTest::qWaitFor([&] { return held.load(); }, kWaitMs));
  EXPECT_FALSE(readOnThisThread) << "the table was read on the window's thread";
  bool timerRan = false;
  QTimer::singleShot(0, [&timerRan] { timerRan = true; });
  EXPECT_TRUE(QTest::qWaitFor([&] { return timerRan; }, kWaitMs));
  EXPECT_EQ(ShownConnections(), 1);

  // The worker waits before it reads the rows, so they can change now.
  services_.table->rows.push_back(ConnectionFromPort(services_, 50001));
  gate.Release();
  EXPECT_TRUE(QTest::qWaitFor([&] { return ShownConnections() == 2; }, kWaitMs));
  EXPECT_EQ(window.engine().connections().Connections().size(), 2u);
  EXPECT_FALSE(readOnThisThread);
  // The window and its worker go before what the read waits on.
  window_.reset();
  services_.table->beforeRead = nullptr;
}

TEST_F(WindowConnectionTest, APageOutOfViewIsNotRedrawnUntilItComesIntoView) {
  CNetSieveDlg& window = Window();
  window.tabs().setCurrentIndex(kFilterPageIndex);
  const int before = ShownConnections();
  services_.table->rows.push_back(ConnectionFromPort(services_, 50001));
  window.engine().ConnectionTick();
  window.engine().ConnectionTick();
  EXPECT_EQ(ShownConnections(), before) << "the connection page was rebuilt out of view";

  window.tabs().setCurrentIndex(kConnectionPageIndex);
  EXPECT_EQ(ShownConnections(), 2) << "the page came into view with old rows";

  AddFilter();
  window.engine().StatisticsTick();
  window.engine().StatisticsTick();
  EXPECT_EQ(ShownFilters(), 0) << "the filter page was redrawn out of view";
  window.tabs().setCurrentIndex(kFilterPageIndex);
  EXPECT_EQ(ShownFilters(), 1);
}

TEST_F(WindowConnectionTest, AHiddenWindowDrawsNothingAndCatchesUpWhenShown) {
  CNetSieveDlg& window = Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  window.tabs().setCurrentIndex(kConnectionPageIndex);
  window.tabs().setCurrentIndex(kFilterPageIndex);
  window.hide();
  ASSERT_TRUE(window.engine().windowHidden());
  ASSERT_EQ(ShownConnections(), 1);

  AddFilter();
  services_.table->rows.push_back(ConnectionFromPort(services_, 50001));
  for (int tick = 0; tick < 5; ++tick) {
    window.engine().StatisticsTick();
    window.engine().ConnectionTick();
  }
  EXPECT_EQ(ShownFilters(), 0) << "a hidden window redrew the filter page";
  EXPECT_EQ(ShownConnections(), 1) << "a hidden window rebuilt the connection page";

  window.ShowFromTray();
  EXPECT_EQ(ShownFilters(), 1) << "the page in view was stale once shown";
  window.tabs().setCurrentIndex(kConnectionPageIndex);
  EXPECT_EQ(ShownConnections(), 2);
}

}  // namespace
}  // namespace harlune
