// Shaping results of simulated flows through the engine, on a manual clock.

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/simulated_traffic.h"

namespace harlune {
namespace {

using testing::AnyTcpSend;
using testing::Ipv4;

constexpr std::uint32_t kKiB = 1024;
constexpr std::uint32_t kMiB = 1024 * 1024;

Flow UploadFlow(std::uint32_t rate, std::uint16_t remotePort = 80) {
  Flow flow;
  flow.adapter = "eth0";
  flow.direction = Direction::Send;
  flow.protocol = kProtocolTcp;
  flow.localAddress = Ipv4Address(10, 0, 0, 2);
  flow.remoteAddress = Ipv4Address(198, 51, 100, 7);
  flow.localPort = 50000;
  flow.remotePort = remotePort;
  flow.rate = rate;
  flow.packetSize = 1000;
  return flow;
}

class ShapingTest : public ::testing::Test {
 protected:
  ShapingTest() : adapter_(engine_.AddAdapter("eth0")) { adapter_.StartFiltering(); }

  void Run(SimulatedTraffic& traffic, std::uint64_t milliseconds) {
    for (std::uint64_t i = 0; i < milliseconds; ++i) {
      clock_.AdvanceMilliseconds(1);
      traffic.Poll(clock_.NowNanoseconds(),
                   [this](std::string_view name, const Packet& p) { engine_.Offer(name, p); });
      engine_.Tick();
    }
  }

  std::uint64_t Passed(std::uint32_t id) { return adapter_.ClassStatistics(id)->transferredBytes; }
  std::uint32_t Rate(std::uint32_t id) { return adapter_.ClassStatistics(id)->rate; }

  ManualClock clock_;
  PacketEngine engine_{clock_};
  AdapterState& adapter_;
};

TEST_F(ShapingTest, ALimitedClassPassesItsRateOverTenSeconds) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(100 * kKiB));
  SimulatedTraffic traffic({UploadFlow(kMiB)}, clock_.NowNanoseconds());
  Run(traffic, 10'000);
  EXPECT_NEAR(static_cast<double>(Passed(id)) / 10.0, 100 * kKiB, 0.02 * 100 * kKiB);
  EXPECT_NEAR(Rate(id), 100 * kKiB, 0.02 * 100 * kKiB);
  EXPECT_NEAR(adapter_.TotalStatistics().sendRate, 100 * kKiB, 0.02 * 100 * kKiB);
}

TEST_F(ShapingTest, AThroughClassPassesTheFullOfferedRate) {
  _TBF_SETTING_DATA record = AnyTcpSend(100 * kKiB);
  record.TBFThrough = 1;
  const std::uint32_t id = *adapter_.AddClass(record);
  SimulatedTraffic traffic({UploadFlow(kMiB)}, clock_.NowNanoseconds());
  Run(traffic, 10'000);
  EXPECT_NEAR(static_cast<double>(Passed(id)) / 10.0, kMiB, 0.02 * kMiB);
  EXPECT_NEAR(Rate(id), kMiB, 0.02 * kMiB);
}

TEST_F(ShapingTest, RateZeroPassesNothing) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(0));
  SimulatedTraffic traffic({UploadFlow(kMiB)}, clock_.NowNanoseconds());
  Run(traffic, 2'000);
  EXPECT_EQ(Passed(id), 0u);
  EXPECT_EQ(Rate(id), 0u);
  EXPECT_EQ(adapter_.TotalStatistics().sentBytes, 0u);
}

TEST_F(ShapingTest, ANewRateShowsWithinOneSecond) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(100 * kKiB));
  SimulatedTraffic traffic({UploadFlow(kMiB)}, clock_.NowNanoseconds());
  Run(traffic, 3'000);
  ASSERT_TRUE(adapter_.SetRate(id, 300 * kKiB));
  Run(traffic, 1'000);
  EXPECT_NEAR(Rate(id), 300 * kKiB, 0.02 * 300 * kKiB);
  ASSERT_TRUE(adapter_.SetRate(id, 50 * kKiB));
  Run(traffic, 1'000);
  EXPECT_NEAR(Rate(id), 50 * kKiB, 0.05 * 50 * kKiB);
}

TEST_F(ShapingTest, TheFirstMatchingClassCountsAFlowAndMovesChangeIt) {
  _TBF_SETTING_DATA web = AnyTcpSend(kMiB);
  web.RemotePortCount = 1;
  web.RemotePorts[0] = protocol::HostPortRange(80, 80);
  const std::uint32_t any = *adapter_.AddClass(AnyTcpSend(kMiB));
  const std::uint32_t webId = *adapter_.AddClass(web);
  SimulatedTraffic traffic({UploadFlow(100 * kKiB)}, clock_.NowNanoseconds());

  Run(traffic, 1'000);
  EXPECT_GT(Passed(any), 0u);
  EXPECT_EQ(Passed(webId), 0u);

  ASSERT_TRUE(adapter_.MoveUp(webId));
  const std::uint64_t anyBefore = Passed(any);
  Run(traffic, 1'000);
  EXPECT_EQ(Passed(any), anyBefore);
  EXPECT_GT(Passed(webId), 0u);

  ASSERT_TRUE(adapter_.MoveDown(webId));
  const std::uint64_t webBefore = Passed(webId);
  Run(traffic, 1'000);
  EXPECT_EQ(Passed(webId), webBefore);
  EXPECT_GT(Passed(any), anyBefore);
}

TEST_F(ShapingTest, AnApplicationClassLimitsOnlyThePortsItWasGiven) {
  _TBF_SETTING_DATA record = AnyTcpSend(50 * kKiB);
  record.HasApplication = 1;
  const std::uint32_t id = *adapter_.AddClass(record);
  Flow flow = UploadFlow(100 * kKiB);
  flow.processPorts = {50001, 50002};
  SimulatedTraffic traffic({flow}, clock_.NowNanoseconds());
  Run(traffic, 1'000);
  EXPECT_EQ(Passed(id), 0u);
  EXPECT_NEAR(adapter_.TotalStatistics().sendRate, 100 * kKiB, 0.02 * 100 * kKiB);

  ASSERT_TRUE(adapter_.SetApplicationPorts(id, {50001, 50002}));
  Run(traffic, 3'000);
  EXPECT_NEAR(Rate(id), 50 * kKiB, 0.05 * 50 * kKiB);
}

TEST_F(ShapingTest, PacketsOfAnUnservedAdapterPass) {
  Flow flow = UploadFlow(kMiB);
  flow.adapter = "wlan9";
  SimulatedTraffic traffic({flow}, clock_.NowNanoseconds());
  std::vector<Verdict> verdicts;
  traffic.Poll(
      clock_.NowNanoseconds() + 10 * kNanosecondsPerMillisecond,
      [&](std::string_view name, const Packet& p) { verdicts.push_back(engine_.Offer(name, p)); });
  EXPECT_FALSE(verdicts.empty());
  for (const Verdict v : verdicts) {
    EXPECT_EQ(v, Verdict::Pass);
  }
}

}  // namespace
}  // namespace harlune
