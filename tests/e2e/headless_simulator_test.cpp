// harlune-headless driving the simulated driver end to end: a fresh
// settings folder with one rate-limited filter and an HTB leaf for it, a
// simulated flow far above both, and the rate the driver lets through.

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "core/app/settings_store.h"
#include "core/driver/driver_link.h"
#include "core/monitor/adapter_table.h"
#include "e2e_support.h"
#include "platform/linux/ifaddrs_adapter_source.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using testing::kFilterRate;
using testing::kLeafAssured;
using testing::kLeafCeil;

class HeadlessSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto found = testing::FirstInterface();
    if (!found) {
      GTEST_SKIP() << "this machine has no network interface with an IPv4 address besides "
                      "loopback, which the simulated driver needs to stand in for";
    }
    interface_ = *found;
    std::filesystem::create_directories(runtime_.path() / "run");
    std::filesystem::permissions(runtime_.path() / "run", std::filesystem::perms::owner_all);
    socket_ = runtime_.path() / "run" / "harlune" / "PassThru";
    driver_ = std::make_unique<DriverLink>(transport_, std::vector<std::string>{socket_.string()});
  }

  std::uint64_t SentBytes() {
    protocol::TotalStatistics totals;
    if (!driver_->HlGetTotalStatistics(interface_.name, totals)) {
      return 0;
    }
    return totals.sentBytes;
  }

  std::map<std::string, std::string> Environment() const {
    return {{"XDG_RUNTIME_DIR", (runtime_.path() / "run").string()}};
  }

  testing::Interface interface_;
  testing::TempDir runtime_;
  testing::TempDir settings_;
  std::filesystem::path socket_;
  UnixSocketTransport transport_;
  std::unique_ptr<DriverLink> driver_;
};

TEST_F(HeadlessSimulatorTest, RunsTheFlowAtTheHtbRateAndLeavesACleanDriver) {
  ASSERT_TRUE(testing::WriteSettings(settings_.path(), interface_));
  const std::filesystem::path flows = runtime_.path() / "flows.txt";
  testing::WriteFlows(flows, interface_);

  testing::Child daemon(HARLUNE_PASSTHRU_BIN, {"--simulate", flows.string()}, Environment(),
                        runtime_.path() / "daemon.out");
  ASSERT_TRUE(testing::WaitFor([&] { return std::filesystem::exists(socket_); }, 5s));

  testing::Child headless(HARLUNE_HEADLESS_BIN, {settings_.path().string()}, Environment(),
                          runtime_.path() / "headless.out");
  // Let the HTB bring the class from the filter's own rate to the leaf's.
  std::this_thread::sleep_for(3s);
  // Meanwhile a second start on the same settings folder is refused.
  testing::Child second(HARLUNE_HEADLESS_BIN, {settings_.path().string()}, Environment(),
                        runtime_.path() / "second.out");
  EXPECT_EQ(second.WaitForExit(5s), std::optional<int>(1));
  EXPECT_NE(testing::ReadFileText(runtime_.path() / "second.out").find("already running"),
            std::string::npos);
  std::this_thread::sleep_for(3s);
  const std::uint64_t before = SentBytes();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(4s);
  const std::uint64_t after = SentBytes();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double rate = static_cast<double>(after - before) / seconds;
  EXPECT_NEAR(rate, kLeafCeil, kLeafCeil * 0.15)
      << testing::ReadFileText(runtime_.path() / "headless.out");

  ASSERT_TRUE(headless.Signal(SIGTERM));
  EXPECT_EQ(headless.WaitForExit(10s), std::optional<int>(0))
      << testing::ReadFileText(runtime_.path() / "headless.out");

  // The settings read back as they were written, without complaint.
  RecordingUserDialogs dialogs;
  Settings reread(settings_.path(), dialogs);
  AdapterTable adapters;
  SettingsStore store(settings_.path(), reread, adapters, dialogs);
  store.LoadAllSettings();
  EXPECT_TRUE(dialogs.messages.empty());
  ASSERT_EQ(reread.filters.Size(), 1U);
  EXPECT_EQ(reread.filters.At(0).TBFRate, kFilterRate);
  EXPECT_EQ(reread.htb.LeavesOfFilter(reread.filters.At(0).ID).size(), 1U);
  EXPECT_EQ(reread.htb.LeavesOfFilter(reread.filters.At(0).ID).front()->AssuredRate, kLeafAssured);

  // The driver holds no class any more: the first ids it handed out are gone.
  for (std::uint32_t id = 1; id <= 4; ++id) {
    protocol::ClassStatistics statistics;
    EXPECT_FALSE(driver_->HlGetTBFClassStatistics(interface_.name, id, statistics)) << id;
  }
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitForExit(5s), std::optional<int>(0));
}

}  // namespace
}  // namespace harlune
