#include "passthru/engine/adapter_state.h"

#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"

namespace harlune {
namespace {

using testing::AnyTcpSend;
using testing::TcpPacket;

class AdapterStateTest : public ::testing::Test {
 protected:
  ManualClock clock_;
  AdapterState adapter_{"eth0", clock_};
};

TEST_F(AdapterStateTest, ClassIdsAreNonZeroAndNeverReused) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 5; ++i) {
    const auto id = adapter_.AddClass(AnyTcpSend(1000));
    ASSERT_TRUE(id.has_value());
    EXPECT_NE(*id, 0u);
    EXPECT_TRUE(seen.insert(*id).second);
  }
  const std::uint32_t last = adapter_.ClassOrder().back();
  ASSERT_TRUE(adapter_.DeleteClass(last));
  const auto again = adapter_.AddClass(AnyTcpSend(1000));
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(seen.contains(*again));
  EXPECT_EQ(adapter_.ClassRecord(*again)->DriverClassId, *again);
}

TEST_F(AdapterStateTest, ClassesAreAppendedAndMovedBySwappingWithTheNeighbour) {
  const std::uint32_t a = *adapter_.AddClass(AnyTcpSend(1));
  const std::uint32_t b = *adapter_.AddClass(AnyTcpSend(2));
  const std::uint32_t c = *adapter_.AddClass(AnyTcpSend(3));
  EXPECT_EQ(adapter_.ClassOrder(), (std::vector{a, b, c}));
  EXPECT_TRUE(adapter_.MoveUp(c));
  EXPECT_EQ(adapter_.ClassOrder(), (std::vector{a, c, b}));
  EXPECT_TRUE(adapter_.MoveDown(a));
  EXPECT_EQ(adapter_.ClassOrder(), (std::vector{c, a, b}));
  // At either end a move leaves the order as it is and still succeeds.
  EXPECT_TRUE(adapter_.MoveUp(c));
  EXPECT_TRUE(adapter_.MoveDown(b));
  EXPECT_EQ(adapter_.ClassOrder(), (std::vector{c, a, b}));
}

TEST_F(AdapterStateTest, UnknownClassIdsFailEveryClassOperation) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(1));
  const std::uint32_t unknown = id + 100;
  _TBF_SETTING_DATA record = AnyTcpSend(5);
  record.DriverClassId = unknown;
  EXPECT_FALSE(adapter_.ModifyClass(record));
  EXPECT_FALSE(adapter_.DeleteClass(unknown));
  EXPECT_FALSE(adapter_.MoveUp(unknown));
  EXPECT_FALSE(adapter_.MoveDown(unknown));
  EXPECT_FALSE(adapter_.SetRate(unknown, 5));
  EXPECT_FALSE(adapter_.SetApplicationPorts(unknown, {}));
  EXPECT_FALSE(adapter_.ClassStatistics(unknown).has_value());
  EXPECT_EQ(adapter_.ClassOrder(), std::vector{id});
}

TEST_F(AdapterStateTest, TheClassListIsBounded) {
  for (std::size_t i = 0; i < kMaxClassesPerAdapter; ++i) {
    ASSERT_TRUE(adapter_.AddClass(AnyTcpSend(1)).has_value());
  }
  EXPECT_FALSE(adapter_.AddClass(AnyTcpSend(1)).has_value());
}

TEST_F(AdapterStateTest, ModifyReplacesTheRecordAndKeepsTheCounters) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(1'000'000));
  adapter_.StartFiltering();
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 1000)), Verdict::Pass);
  _TBF_SETTING_DATA record = AnyTcpSend(0);
  record.DriverClassId = id;
  ASSERT_TRUE(adapter_.ModifyClass(record));
  EXPECT_EQ(adapter_.ClassRecord(id)->TBFRate, 0u);
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 1000u);
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 1000)), Verdict::Drop);
}

TEST_F(AdapterStateTest, WhileFilteringIsStoppedClassesCountButEverythingPasses) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(0));
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 700)), Verdict::Pass);
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 700u);
  adapter_.StartFiltering();
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 700)), Verdict::Drop);
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 700u);
}

TEST_F(AdapterStateTest, StoppingFilteringLetsWaitingPacketsGo) {
  _TBF_SETTING_DATA slow = AnyTcpSend(100);
  slow.TBFMaxTokenSize = 1000;
  const std::uint32_t id = *adapter_.AddClass(slow);
  std::vector<Verdict> outcomes;
  adapter_.SetOutcomeHandler([&outcomes](const Packet&, Verdict v) { outcomes.push_back(v); });
  adapter_.StartFiltering();
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 1000)), Verdict::Pass);
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 1000)), Verdict::Queued);
  adapter_.StopFiltering();
  EXPECT_EQ(outcomes, std::vector{Verdict::Pass});
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 2000u);
}

TEST_F(AdapterStateTest, OnlyFilteringWithAClassThatCanHoldOrDropMayStopPackets) {
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send));
  _TBF_SETTING_DATA through = AnyTcpSend(0);
  through.TBFThrough = 1;
  _TBF_SETTING_DATA unavailable = AnyTcpSend(0);
  unavailable.Available = 0;
  adapter_.AddClass(through);
  adapter_.AddClass(unavailable);
  adapter_.StartFiltering();
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send));

  const std::uint32_t limited = *adapter_.AddClass(AnyTcpSend(1000));
  EXPECT_TRUE(adapter_.MayStopPackets(Direction::Send));
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Receive));
  adapter_.StopFiltering();
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send));
  adapter_.StartFiltering();
  ASSERT_TRUE(adapter_.DeleteClass(limited));
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send));
}

TEST_F(AdapterStateTest, AFlowCouldMatchWhenAnyClassOfItsDirectionMatchesIt) {
  _TBF_SETTING_DATA web = AnyTcpSend(1000);
  web.RemotePortCount = 1;
  web.RemotePorts[0] = protocol::HostPortRange(443, 443);
  const Packet other = TcpPacket(Direction::Send, 5000, 80);
  EXPECT_FALSE(adapter_.CouldMatchFlow(other, false));
  EXPECT_TRUE(adapter_.CouldMatchFlow(other, true));  // a fragment: in doubt
  adapter_.AddClass(web);
  EXPECT_FALSE(adapter_.CouldMatchFlow(other, false));
  EXPECT_TRUE(adapter_.CouldMatchFlow(TcpPacket(Direction::Send, 5000, 443), false));
  _TBF_SETTING_DATA process = AnyTcpSend(1000);
  process.HasApplication = 1;
  const std::uint32_t bound = *adapter_.AddClass(process);
  EXPECT_FALSE(adapter_.CouldMatchFlow(other, false));
  ASSERT_TRUE(adapter_.SetApplicationPorts(bound, {5000}));
  EXPECT_TRUE(adapter_.CouldMatchFlow(other, false));
}

TEST_F(AdapterStateTest, EveryChangeThatCouldMatchDifferentlyIsCounted) {
  std::uint64_t last = adapter_.MatchChanges();
  const auto changed = [&] {
    const bool grew = adapter_.MatchChanges() > last;
    last = adapter_.MatchChanges();
    return grew;
  };
  const std::uint32_t first = *adapter_.AddClass(AnyTcpSend(1000));
  EXPECT_TRUE(changed());
  const std::uint32_t second = *adapter_.AddClass(AnyTcpSend(1000));
  EXPECT_TRUE(changed());
  _TBF_SETTING_DATA record = *adapter_.ClassRecord(first);
  ASSERT_TRUE(adapter_.ModifyClass(record));
  EXPECT_TRUE(changed());
  protocol::ClassFamily family;
  family.driverClassId = first;
  ASSERT_TRUE(adapter_.SetClassFamily(family));
  EXPECT_TRUE(changed());
  ASSERT_TRUE(adapter_.MoveDown(first));
  EXPECT_TRUE(changed());
  ASSERT_TRUE(adapter_.MoveDown(first));  // already last: nothing moves
  EXPECT_FALSE(changed());
  ASSERT_TRUE(adapter_.SetApplicationPorts(second, {80}));
  EXPECT_TRUE(changed());
  ASSERT_TRUE(adapter_.SetApplicationPorts(second, {80}));  // the same list again
  EXPECT_FALSE(changed());
  ASSERT_TRUE(adapter_.SetRate(second, 5));  // a rate matches nothing differently
  EXPECT_FALSE(changed());
  adapter_.StartFiltering();
  EXPECT_TRUE(changed());
  adapter_.StopFiltering();
  EXPECT_TRUE(changed());
  ASSERT_TRUE(adapter_.DeleteClass(second));
  EXPECT_TRUE(changed());
  adapter_.StartSession();
  EXPECT_TRUE(changed());
}

TEST_F(AdapterStateTest, APacketThatCrossedUnaskedIsCountedByItsClassAndTheTotals) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(0));  // would drop if asked
  adapter_.StartFiltering();
  adapter_.CountCrossed(TcpPacket(Direction::Send, 1, 2, 900));
  adapter_.CountCrossed(TcpPacket(Direction::Receive, 1, 2, 400));
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 900u);
  EXPECT_EQ(adapter_.TotalStatistics().sentBytes, 900u);
  EXPECT_EQ(adapter_.TotalStatistics().receivedBytes, 400u);
}

TEST_F(AdapterStateTest, TotalsCountEachDirectionAndResetTrafficZeroesThem) {
  adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 300));
  adapter_.Offer(TcpPacket(Direction::Receive, 1, 2, 500));
  adapter_.Offer(TcpPacket(Direction::Receive, 1, 2, 500));
  clock_.AdvanceMilliseconds(500);
  protocol::TotalStatistics totals = adapter_.TotalStatistics();
  EXPECT_EQ(totals.sentBytes, 300u);
  EXPECT_EQ(totals.receivedBytes, 1000u);
  EXPECT_EQ(totals.sendRate, 600u);
  EXPECT_EQ(totals.receiveRate, 2000u);
  adapter_.ResetTraffic();
  EXPECT_EQ(adapter_.TotalStatistics(), protocol::TotalStatistics{});
}

TEST_F(AdapterStateTest, ResetSessionRemovesEveryClassAndStopsFiltering) {
  adapter_.AddClass(AnyTcpSend(0));
  adapter_.StartFiltering();
  adapter_.ResetSession();
  EXPECT_TRUE(adapter_.ClassOrder().empty());
  EXPECT_FALSE(adapter_.Filtering());
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2)), Verdict::Pass);
}

TEST_F(AdapterStateTest, EveryPacketSeenIsCapturedWithItsClassAndVerdict) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(0));
  adapter_.StartFiltering();
  adapter_.Offer(TcpPacket(Direction::Send, 1, 2));
  adapter_.Offer(TcpPacket(Direction::Receive, 1, 2));
  const auto bytes = adapter_.ReadPackets();
  ASSERT_EQ(bytes.size(), 2 * protocol::kCaptureRecordSize);
  EXPECT_EQ(protocol::LoadLe32(bytes, 0), id);
  EXPECT_EQ(bytes[59], static_cast<std::uint8_t>(Verdict::Drop));
  EXPECT_EQ(protocol::LoadLe32(bytes, 60), 0u);
  EXPECT_EQ(bytes[119], static_cast<std::uint8_t>(Verdict::Pass));
  EXPECT_TRUE(adapter_.ReadPackets().empty());
}

}  // namespace
}  // namespace harlune
