// The headless program against a driver on a socket that turns out to be
// another driver version while it runs: it ends with the message and exit
// status 1, as it does when it meets that driver at start-up.

#include "headless/headless_app.h"

#include <chrono>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/driver/filtering_session.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/ip_address.h"
#include "support/class_list_driver.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

class HeadlessAppTest : public ::testing::Test {
 protected:
  HeadlessAppTest() {
    services_.socketTransport = &transport_;
    services_.deviceNames = {SocketPath()};
    driver_ = std::make_unique<testing::ClassListDriver>(SocketPath());
  }

  std::string SocketPath() const { return (socketDir_.path() / "PassThru").string(); }

  // Runs the program until it ends; `meanwhile` runs on another thread once
  // the driver session has started.
  int Run(const std::function<void()>& meanwhile) {
    std::thread other([&] {
      while (!driver_->InSession("eth0")) {
        std::this_thread::sleep_for(10ms);
      }
      meanwhile();
    });
    HeadlessOptions options;
    options.settingsFolder = settingsDir_.path();
    options.statusInterval = 0ms;
    const int status = RunHeadless(options, services_, dialogs_);
    other.join();
    return status;
  }

  static SystemAdapter Eth(std::int32_t index) {
    return {index,
            "card",
            "eth" + std::to_string(index - 2),
            {Ipv4(192, 168, static_cast<std::uint8_t>(index - 2), 2)}};
  }

  testing::TempDir socketDir_;
  testing::TempDir settingsDir_;
  UnixSocketTransport transport_;
  testing::FakeEngineServices services_;
  std::unique_ptr<testing::ClassListDriver> driver_;
  RecordingUserDialogs dialogs_;
};

TEST_F(HeadlessAppTest, AnotherDriverFoundWhileRunningEndsWithStatusOne) {
  services_.adapters.SetAdapters({Eth(2)});
  const int status = Run([this] {
    // The driver is replaced by another version, as an upgrade would.
    driver_.reset();
    driver_ = std::make_unique<testing::ClassListDriver>(SocketPath());
    driver_->SetVersion(20005);
  });
  EXPECT_EQ(status, 1);
  EXPECT_THAT(dialogs_.messages, ::testing::ElementsAre(WrongDriverMessage()));
}

TEST_F(HeadlessAppTest, AnotherDriverMetByTheAdapterWatchEndsWithStatusOne) {
  // A new adapter after the start makes the 5 s adapter watch start the
  // session anew.
  services_.adapters.Queue(FakeAdapterSource::Listing({Eth(2)}));
  services_.adapters.SetAdapters({Eth(2), Eth(3)});
  const int status = Run([this] { driver_->SetVersion(20005); });
  EXPECT_EQ(status, 1);
  EXPECT_THAT(dialogs_.messages, ::testing::ElementsAre(WrongDriverMessage()));
  EXPECT_FALSE(driver_->InSession("eth0"));  // the close's driver steps ran
}

}  // namespace
}  // namespace harlune
