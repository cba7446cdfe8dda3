// The desktop window ended by a signal as a logout ends it: the close
// procedure runs without waiting for an answer, the driver session ends on
// every adapter and the general settings reach the disk.

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QTimer>
#include <csignal>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gui/app/main_window.h"
#include "gui/app/session_end.h"
#include "gui/app/shutdown_signals.h"
#include "gui/app/unattended_dialogs.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/class_list_driver.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

std::vector<std::uint32_t> EndingCodes(const testing::ClassListDriver& driver,
                                       const std::string& adapter) {
  std::vector<std::uint32_t> codes;
  for (const auto& logged : driver.Log()) {
    const bool ending = logged.code == static_cast<std::uint32_t>(RequestCode::HlReleaseAdapter) ||
                        logged.code == static_cast<std::uint32_t>(RequestCode::HlUninitialize);
    if (ending && logged.adapter == adapter) {
      codes.push_back(logged.code);
    }
  }
  return codes;
}

TEST(ShutdownSignal, EachEndingSignalRunsTheCloseProcedureWithoutAsking) {
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    testing::TempDir socketDir;
    testing::TempDir folder;
    const std::string socketPath = (socketDir.path() / "PassThru").string();
    testing::ClassListDriver driver(socketPath);
    UnixSocketTransport transport;
    testing::FakeEngineServices services;
    services.adapters.SetAdapters(
        {{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}, {3, "wifi", "wlan0", {Ipv4(10, 0, 0, 2)}}});
    services.socketTransport = &transport;
    services.deviceNames = {socketPath};
    RecordingUserDialogs user;
    // A user would cancel; the signal must not wait for one.
    user.answers = {QuestionAnswer::kCancel, QuestionAnswer::kNo};
    UnattendedDialogs dialogs(user, stdout);
    ShutdownSignals shutdownSignals;
    ASSERT_TRUE(shutdownSignals.Installed());
    CNetSieveDlg window(folder.path(), services, dialogs);
    SessionEnd ending(window, dialogs);
    QObject::connect(&shutdownSignals, &ShutdownSignals::received, &ending,
                     [&] { ending.Request(); });
    ASSERT_TRUE(window.Initialise());
    window.show();
    window.engine().settings().general.AUTO_SAVE = 0;
    window.engine().settings().general.CONFIRM_CLOSE = 1;
    window.engine().MarkChanged();
    std::filesystem::remove(folder.path() / "GeneralSetting.ini");

    QEventLoop loop;
    QObject::connect(&window, &CNetSieveDlg::finished, &loop, [&] { loop.exit(0); });
    QTimer::singleShot(0, [signalNumber] { std::raise(signalNumber); });
    QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
    EXPECT_EQ(loop.exec(), 0);

    EXPECT_TRUE(window.Finished());
    EXPECT_TRUE(user.questions.empty());
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "GeneralSetting.ini"));
    const std::vector<std::uint32_t> expected = {
        static_cast<std::uint32_t>(RequestCode::HlReleaseAdapter),
        static_cast<std::uint32_t>(RequestCode::HlUninitialize)};
    for (const std::string adapter : {"eth0", "wlan0"}) {
      EXPECT_EQ(EndingCodes(driver, adapter), expected) << adapter;
    }
  }
}

TEST(ShutdownSignal, ASignalWhileABoxIsOpenAnswersItAndThenCloses) {
  testing::TempDir folder;
  testing::FakeEngineServices services;
  services.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  RecordingUserDialogs user;
  UnattendedDialogs dialogs(user, stdout);
  ShutdownSignals shutdownSignals;
  CNetSieveDlg window(folder.path(), services, dialogs);
  SessionEnd ending(window, dialogs);
  QObject::connect(&shutdownSignals, &ShutdownSignals::received, &ending,
                   [&] { ending.Request(); });
  ASSERT_TRUE(window.Initialise());
  window.show();

  QEventLoop loop;
  QObject::connect(&window, &CNetSieveDlg::finished, &loop, [&] { loop.exit(0); });
  bool boxReturned = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(50, [] { std::raise(SIGTERM); });
    QDialog box(&window);
    box.exec();  // the nested loop a modal dialog runs
    boxReturned = true;
    EXPECT_FALSE(window.Finished());  // not closed under the dialog's feet
  });
  QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
  EXPECT_EQ(loop.exec(), 0);
  EXPECT_TRUE(boxReturned);
  EXPECT_TRUE(window.Finished());
}

}  // namespace
}  // namespace harlune
