// Shaping results of simulated flows through the engine, on a manual clock.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
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

// The daemon sleeps until the engine's next deadline and ticks then.
// Stepping a clock from deadline to deadline must release every held packet
// at its own bucket's time, across adapters, and leave no deadline behind.
TEST(EngineDeadlineTest, SteppingFromDeadlineToDeadlineReleasesEveryHeldPacketOnTime) {
  ManualClock clock;
  PacketEngine engine(clock);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> released;  // tag, time
  for (const auto& [name, rate] : {std::pair{"eth0", 1000u}, std::pair{"eth1", 4000u}}) {
    AdapterState& adapter = engine.AddAdapter(name);
    adapter.SetOutcomeHandler([&](const Packet& packet, Verdict verdict) {
      EXPECT_EQ(verdict, Verdict::Pass);
      released.emplace_back(packet.sourceTag, clock.NowNanoseconds());
    });
    adapter.AddClass(AnyTcpSend(rate));  // a bucket of 1500 bytes
    adapter.StartFiltering();
  }
  EXPECT_EQ(engine.NextDeadline(), std::nullopt);
  const auto offer = [&engine](const char* name, std::uint64_t tag, std::uint32_t length) {
    Packet packet = testing::TcpPacket(Direction::Send, 50000, 80, length);
    packet.sourceTag = tag;
    return engine.Offer(name, packet);
  };
  EXPECT_EQ(offer("eth0", 1, 1000), Verdict::Pass);    // 500 tokens left
  EXPECT_EQ(offer("eth0", 2, 1000), Verdict::Queued);  // 500 more: 500 ms
  EXPECT_EQ(offer("eth0", 3, 1000), Verdict::Queued);  // then 1000 more: 1500 ms
  EXPECT_EQ(offer("eth1", 4, 1500), Verdict::Pass);    // empty
  EXPECT_EQ(offer("eth1", 5, 1000), Verdict::Queued);  // 1000 at 4000/s: 250 ms
  released.clear();

  constexpr std::uint64_t kMs = kNanosecondsPerMillisecond;
  EXPECT_EQ(engine.NextDeadline(), std::optional<std::uint64_t>(250 * kMs));
  for (int turn = 0; turn < 10; ++turn) {
    const std::optional<std::uint64_t> due = engine.NextDeadline();
    if (!due) {
      break;
    }
    ASSERT_GT(*due, clock.NowNanoseconds());
    clock.Advance(*due - clock.NowNanoseconds());
    engine.Tick();
  }
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected{
      {5, 250 * kMs}, {2, 500 * kMs}, {3, 1500 * kMs}};
  EXPECT_EQ(released, expected);
  EXPECT_EQ(engine.NextDeadline(), std::nullopt);
}

TEST(EngineDeadlineTest, PacketsLetGoOtherwiseLeaveNoDeadline) {
  ManualClock clock;
  PacketEngine engine(clock);
  AdapterState& adapter = engine.AddAdapter("eth0");
  const std::uint32_t first = *adapter.AddClass(AnyTcpSend(1000));
  const std::uint32_t second = *adapter.AddClass(AnyTcpSend(1000));
  adapter.StartFiltering();
  const Packet big = testing::TcpPacket(Direction::Send, 50000, 80, 1500);
  // Only the first class matches; its queue makes the deadline.
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Pass);
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Queued);
  EXPECT_TRUE(engine.NextDeadline().has_value());
  EXPECT_TRUE(adapter.DeleteClass(first));
  EXPECT_EQ(engine.NextDeadline(), std::nullopt);
  // The second class now matches; stopping the filter lets its packet go.
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Pass);
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Queued);
  EXPECT_TRUE(engine.NextDeadline().has_value());
  adapter.StopFiltering();
  EXPECT_EQ(engine.NextDeadline(), std::nullopt);
  // Rate 0 drops what waits.
  adapter.StartFiltering();
  clock.AdvanceMilliseconds(10'000);
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Pass);
  EXPECT_EQ(engine.Offer("eth0", big), Verdict::Queued);
  EXPECT_TRUE(adapter.SetRate(second, 0));
  EXPECT_EQ(engine.NextDeadline(), std::nullopt);
}

// Outside sessions the daemon stops polling the flows; skipping that time
// must not make it up later in a burst.
TEST(SimulatedTrafficTest, SkippedTimeMakesNoPackets) {
  SimulatedTraffic traffic({UploadFlow(100'000)}, 0);  // 100 packets a second
  std::size_t offered = 0;
  const auto count = [&offered](std::string_view, const Packet&) { ++offered; };
  traffic.Poll(500 * kNanosecondsPerMillisecond, count);
  EXPECT_EQ(offered, 50u);
  traffic.Skip(60 * kNanosecondsPerSecond);
  offered = 0;
  traffic.Poll(60 * kNanosecondsPerSecond + 100 * kNanosecondsPerMillisecond, count);
  EXPECT_EQ(offered, 10u);
  // Skipping backwards changes nothing.
  traffic.Skip(kNanosecondsPerSecond);
  offered = 0;
  traffic.Poll(60 * kNanosecondsPerSecond + 200 * kNanosecondsPerMillisecond, count);
  EXPECT_EQ(offered, 10u);
}

// The daemon wakes for the next packet a session could see instead of
// ticking: at that time Poll makes it, not a nanosecond earlier.
TEST(SimulatedTrafficTest, TheNextPacketIsDueWhenItsFlowHasEarnedIt) {
  const auto flows = [] {
    Flow fast = UploadFlow(100'000);  // a 1000-byte packet every 10 ms
    fast.adapter = "eth1";
    return std::vector<Flow>{UploadFlow(1000), fast, UploadFlow(0, 81)};
  };
  SimulatedTraffic traffic(flows(), 0);
  const auto onEth0 = [](const Flow& flow) { return flow.adapter == "eth0"; };
  EXPECT_EQ(traffic.NextPacketNanoseconds([](const Flow&) { return true; }),
            std::optional<std::uint64_t>(10 * kNanosecondsPerMillisecond));
  EXPECT_EQ(traffic.NextPacketNanoseconds(onEth0),
            std::optional<std::uint64_t>(kNanosecondsPerSecond));
  EXPECT_EQ(traffic.NextPacketNanoseconds([](const Flow&) { return false; }), std::nullopt);

  std::size_t onEth0Offered = 0;
  const auto count = [&onEth0Offered](std::string_view name, const Packet&) {
    onEth0Offered += name == "eth0" ? 1 : 0;
  };
  SimulatedTraffic early(flows(), 0);
  early.Poll(kNanosecondsPerSecond - 1, count);
  EXPECT_EQ(onEth0Offered, 0u);
  traffic.Poll(kNanosecondsPerSecond, count);
  EXPECT_EQ(onEth0Offered, 1u);
  EXPECT_EQ(traffic.NextPacketNanoseconds(onEth0),
            std::optional<std::uint64_t>(2 * kNanosecondsPerSecond));
}

// Poll makes up no gap of more than a second, so a flow slower than a
// packet a second must be polled every second to earn its packets.
TEST(SimulatedTrafficTest, AFlowSlowerThanTheCatchUpStillMakesItsPacketsOnTime) {
  SimulatedTraffic traffic({UploadFlow(10)}, 0);  // one packet every 100 s
  std::vector<std::uint64_t> times;
  std::uint64_t now = 0;
  for (int turn = 0; turn < 1000 && now < 250 * kNanosecondsPerSecond; ++turn) {
    now = *traffic.NextPacketNanoseconds([](const Flow&) { return true; });
    traffic.Poll(now, [&](std::string_view, const Packet&) { times.push_back(now); });
  }
  const std::vector<std::uint64_t> expected{100 * kNanosecondsPerSecond,
                                            200 * kNanosecondsPerSecond};
  EXPECT_EQ(times, expected);
}

}  // namespace
}  // namespace harlune
