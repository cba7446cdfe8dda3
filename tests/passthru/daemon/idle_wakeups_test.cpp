// harlune-passthru --simulate, started as a program on a private socket,
// sleeps while nothing needs it: no wakeup without a session, none while a
// session has no running flow, none after its last client left, and it
// still makes its flows' packets while a session can see them. Counted in
// context switches of all its threads, not timed.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "daemon/protocol_client.h"
#include "engine/engine_test_support.h"
#include "protocol/replies.h"
#include "thread_switches.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using protocol::RequestCode;

// A handful: the odd switch of the kernel's own doing, never a tick (a 5 ms
// tick makes a thousand in the same time).
constexpr std::uint64_t kMostSwitchesWhileIdle = 5;
constexpr auto kIdleSpan = 5s;

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class SimulatedDaemonIdleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One adapter with a flow of 100 KB/s, one with none.
    std::ofstream(folder_.path() / "flows")
        << "adapter hlidle0\nadapter hlidle1\n"
           "flow hlidle0 send tcp 198.18.0.2:50000 198.18.0.1:80 100K size=1000\n";
    daemon_.emplace(HARLUNE_PASSTHRU_BIN,
                    std::vector<std::string>{"--simulate", (folder_.path() / "flows").string(),
                                             "--socket", socket_.string()},
                    std::map<std::string, std::string>{}, folder_.path() / "daemon.out");
    ASSERT_TRUE(daemon_->Started());
    for (int i = 0; i < 500 && !Serves(); ++i) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(Serves()) << FileText(folder_.path() / "daemon.out");
  }

  void TearDown() override {
    if (daemon_ && daemon_->Started()) {
      daemon_->Signal(SIGTERM);
      EXPECT_EQ(daemon_->WaitForExit(1s), std::optional<int>(0));
      EXPECT_FALSE(std::filesystem::exists(socket_));
    }
  }

  bool Serves() {
    testing::Client client(socket_);
    return client.connected() && client.Bind(u"\\DEVICE\\hlidle0");
  }

  // The daemon's context switches over kIdleSpan, after a moment for the
  // last reply to leave.
  std::uint64_t SwitchesWhileLeftAlone() {
    std::this_thread::sleep_for(200ms);
    const std::optional<std::uint64_t> before = testing::ContextSwitchesOf(daemon_->Pid());
    std::this_thread::sleep_for(kIdleSpan);
    const std::optional<std::uint64_t> after = testing::ContextSwitchesOf(daemon_->Pid());
    EXPECT_TRUE(before && after) << "cannot read /proc of the daemon";
    return before && after ? *after - *before : 0;
  }

  testing::TempFolder folder_;
  std::filesystem::path socket_ = folder_.path() / "PassThru";
  std::optional<testing::Child> daemon_;
};

std::vector<std::uint8_t> LimitedClass(std::uint32_t rate) {
  const auto record = protocol::EncodeTbfSettingData(testing::AnyTcpSend(rate));
  return {record.begin(), record.end()};
}

std::uint64_t ClassBytes(testing::Client& client, std::uint32_t id) {
  const auto reply =
      client.Request(RequestCode::HlGetTBFClassStatistics, Bytes(protocol::EncodeU32(id)));
  if (!reply || reply->first != 0 || reply->second.size() != protocol::kClassStatisticsSize) {
    ADD_FAILURE() << "no statistics for class " << id;
    return 0;
  }
  const std::span<const std::uint8_t> output(reply->second);
  return protocol::DecodeClassStatistics(output.first<protocol::kClassStatisticsSize>())
      .transferredBytes;
}

TEST_F(SimulatedDaemonIdleTest, NoWakeupWithoutASessionNorAfterTheLastClientLeft) {
  EXPECT_LE(SwitchesWhileLeftAlone(), kMostSwitchesWhileIdle);
  {
    testing::Client client(socket_);
    ASSERT_TRUE(client.Bind(u"\\DEVICE\\hlidle0"));
    ASSERT_EQ(client.Request(RequestCode::HlInitialize)->first, 0u);
    // Half the flow's rate: packets wait in the class's bucket.
    const auto added = client.Request(RequestCode::HlAddTBFClass, LimitedClass(50'000));
    ASSERT_TRUE(added && added->first == 0 && added->second.size() == 4);
    const std::uint32_t id = protocol::LoadLe32(added->second, 0);
    ASSERT_EQ(client.Request(RequestCode::HlStartFiltering)->first, 0u);
    // In the session the flow runs and is shaped.
    const std::uint64_t early = ClassBytes(client, id);
    std::this_thread::sleep_for(1s);
    const std::uint64_t passed = ClassBytes(client, id) - early;
    EXPECT_GT(passed, 20'000u);
    EXPECT_LT(passed, 80'000u);
    ASSERT_EQ(client.Request(RequestCode::HlReleaseAdapter)->first, 0u);
    ASSERT_EQ(client.Request(RequestCode::HlUninitialize)->first, 0u);
  }
  EXPECT_LE(SwitchesWhileLeftAlone(), kMostSwitchesWhileIdle);
}

TEST_F(SimulatedDaemonIdleTest, ASessionWithoutARunningFlowWakesOnlyForRequests) {
  testing::Client client(socket_);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\hlidle1"));
  ASSERT_EQ(client.Request(RequestCode::HlInitialize)->first, 0u);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(client.Request(RequestCode::HlAddTBFClass, LimitedClass(1000))->first, 0u);
  }
  ASSERT_EQ(client.Request(RequestCode::HlStartFiltering)->first, 0u);
  EXPECT_LE(SwitchesWhileLeftAlone(), kMostSwitchesWhileIdle);
  // Requests do wake it, and the count sees it: about a switch each (fewer
  // when a request comes before the daemon went back to sleep).
  const std::optional<std::uint64_t> before = testing::ContextSwitchesOf(daemon_->Pid());
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(client.Request(RequestCode::HlGetTotalStatistics)->first, 0u);
  }
  std::this_thread::sleep_for(100ms);
  const std::optional<std::uint64_t> after = testing::ContextSwitchesOf(daemon_->Pid());
  ASSERT_TRUE(before && after);
  EXPECT_GE(*after - *before, 10u);
}

}  // namespace
}  // namespace harlune
