// The headless program against a driver on a socket that is replaced by
// another driver version while it runs: it ends with the message and exit
// status 1, as it does when it meets that driver at start-up.

#include "headless/headless_app.h"

#include <chrono>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base/ipv4.h"
#include "core/driver/filtering_session.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/request_codes.h"
#include "support/class_list_driver.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessApp, AnotherDriverFoundWhileRunningEndsWithStatusOne) {
  testing::TempDir socketDir;
  testing::TempDir settingsDir;
  const std::string socketPath = (socketDir.path() / "PassThru").string();
  UnixSocketTransport transport;
  testing::FakeEngineServices services;
  services.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  services.socketTransport = &transport;
  services.deviceNames = {socketPath};
  auto driver = std::make_unique<testing::ClassListDriver>(socketPath);
  RecordingUserDialogs dialogs;

  std::thread upgrade([&] {
    // Once the session runs, the driver is replaced by another version.
    while (!driver->InSession("eth0")) {
      std::this_thread::sleep_for(10ms);
    }
    driver.reset();
    driver = std::make_unique<testing::ClassListDriver>(socketPath);
    driver->SetVersion(20005);
  });
  HeadlessOptions options;
  options.settingsFolder = settingsDir.path();
  options.statusInterval = 0ms;
  const int status = RunHeadless(options, services, dialogs);
  upgrade.join();

  EXPECT_EQ(status, 1);
  EXPECT_THAT(dialogs.messages, ::testing::ElementsAre(WrongDriverMessage()));
}

TEST(HeadlessApp, AnotherDriverMetByTheAdapterWatchEndsWithStatusOne) {
  testing::TempDir socketDir;
  testing::TempDir settingsDir;
  const std::string socketPath = (socketDir.path() / "PassThru").string();
  UnixSocketTransport transport;
  testing::FakeEngineServices services;
  // A new adapter after the start makes the 5 s adapter watch start the
  // session anew.
  services.adapters.Queue(
      FakeAdapterSource::Listing({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}}));
  services.adapters.SetAdapters(
      {{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}, {3, "card", "eth1", {Ipv4(192, 168, 1, 2)}}});
  services.socketTransport = &transport;
  services.deviceNames = {socketPath};
  testing::ClassListDriver driver(socketPath);
  RecordingUserDialogs dialogs;

  std::thread change([&] {
    while (!driver.InSession("eth0")) {
      std::this_thread::sleep_for(10ms);
    }
    driver.SetVersion(20005);  // the same daemon now answers another version
  });
  HeadlessOptions options;
  options.settingsFolder = settingsDir.path();
  options.statusInterval = 0ms;
  const int status = RunHeadless(options, services, dialogs);
  change.join();

  EXPECT_EQ(status, 1);
  EXPECT_THAT(dialogs.messages, ::testing::ElementsAre(WrongDriverMessage()));
  EXPECT_FALSE(driver.InSession("eth0"));  // the close's driver steps ran
}

}  // namespace
}  // namespace harlune
