// The conntrack mark of flows that leave the verdict queue, and the table
// the capture path judges their frames by.

#include <gtest/gtest.h>

#include "passthru/real/bypass_flows.h"
#include "passthru/real/bypass_mark.h"
#include "passthru/real/conntrack_marks.h"
#include "protocol/byte_order.h"

namespace harlune {
namespace {

Packet Flow(Direction direction, std::uint16_t localPort) {
  Packet packet;
  packet.direction = direction;
  packet.localAddress = Ipv4Address(198, 18, 0, 1);
  packet.remoteAddress = Ipv4Address(198, 18, 0, 2);
  packet.localPort = protocol::HostToNet16(localPort);
  packet.remotePort = protocol::HostToNet16(5201);
  return packet;
}

TEST(BypassMarkTest, TheMarkStaysInTheTopByteAndEachDirectionHasItsBit) {
  for (std::uint32_t generation = 0; generation <= 70; ++generation) {
    EXPECT_EQ(BypassMark(generation, true, true) & ~kBypassMarkMask, 0u);
  }
  EXPECT_EQ(BypassMark(1, true, false), 0x05000000u);
  EXPECT_EQ(BypassMark(1, false, true), 0x06000000u);
  EXPECT_EQ(BypassMark(63, true, true), 0xFF000000u);
  // The rule of a direction ignores the other direction's bit.
  const std::uint32_t both = BypassMark(7, true, true);
  for (const Direction direction : {Direction::Send, Direction::Receive}) {
    EXPECT_EQ(both & BypassRuleMask(direction), BypassRuleValue(7, direction));
    EXPECT_NE(BypassMark(7, false, false) & BypassRuleMask(direction),
              BypassRuleValue(7, direction));
    EXPECT_NE(BypassMark(8, true, true) & BypassRuleMask(direction), BypassRuleValue(7, direction));
  }
  // Whatever another program keeps in the other bits does not matter.
  EXPECT_EQ((both | 0x00FFFFFFu) & BypassRuleMask(Direction::Send),
            BypassRuleValue(7, Direction::Send));
  EXPECT_EQ(HexMark(0x0A000000u), "0x0a000000");
}

TEST(BypassMarkTest, GenerationsSkipZeroAndWrapAroundToOne) {
  EXPECT_EQ(NextBypassGeneration(0), 1u);
  EXPECT_EQ(NextBypassGeneration(1), 2u);
  EXPECT_EQ(NextBypassGeneration(kMaxBypassGeneration), 1u);
  EXPECT_EQ(kMaxBypassGeneration, 63u);
  EXPECT_TRUE(WrapsAround(63, 1));
  EXPECT_FALSE(WrapsAround(0, 1));
  EXPECT_FALSE(WrapsAround(5, 6));
  std::uint32_t generation = 0;
  for (int i = 0; i < 200; ++i) {
    generation = NextBypassGeneration(generation);
    ASSERT_NE(BypassRuleValue(generation, Direction::Send) & kBypassGenerationMask, 0u);
  }
}

TEST(ConntrackTupleTest, TheHeaderTupleIsTheWireOrderOfEitherDirection) {
  const FlowTuple sent = HeaderTupleOf(Flow(Direction::Send, 40000));
  EXPECT_EQ(sent.source, Ipv4Address(198, 18, 0, 1));
  EXPECT_EQ(sent.sourcePort, protocol::HostToNet16(40000));
  EXPECT_EQ(sent.destinationPort, protocol::HostToNet16(5201));
  const FlowTuple received = HeaderTupleOf(Flow(Direction::Receive, 40000));
  EXPECT_EQ(received.source, Ipv4Address(198, 18, 0, 2));
  EXPECT_EQ(received.destination, Ipv4Address(198, 18, 0, 1));
  EXPECT_EQ(received.sourcePort, protocol::HostToNet16(5201));
  EXPECT_EQ(FlowKeyOf(Flow(Direction::Send, 1)), FlowKeyOf(Flow(Direction::Receive, 1)));
}

TEST(BypassedFlowsTest, AFrameIsJudgedByTheMarkItsPacketCarriedAtItsTime) {
  BypassedFlows flows;
  const FlowKey flow = FlowKeyOf(Flow(Direction::Send, 40000));
  EXPECT_FALSE(flows.GenerationAt(flow, Direction::Send, 100));
  flows.Marked(flow, Direction::Send, 3, 100);
  EXPECT_FALSE(flows.GenerationAt(flow, Direction::Send, 99));  // queued before the mark
  EXPECT_EQ(flows.GenerationAt(flow, Direction::Send, 100), 3u);
  EXPECT_FALSE(flows.GenerationAt(flow, Direction::Receive, 100));
  EXPECT_TRUE(flows.MarkedIn(flow, Direction::Send, 3));
  EXPECT_FALSE(flows.MarkedIn(flow, Direction::Send, 4));
  flows.Marked(flow, Direction::Send, 4, 200);
  // A frame judged late still finds the mark before.
  EXPECT_EQ(flows.GenerationAt(flow, Direction::Send, 150), 3u);
  EXPECT_EQ(flows.GenerationAt(flow, Direction::Send, 250), 4u);
  flows.KeepOnly(4);
  EXPECT_FALSE(flows.GenerationAt(flow, Direction::Send, 150));
  EXPECT_EQ(flows.GenerationAt(flow, Direction::Send, 250), 4u);
}

TEST(BypassedFlowsTest, AFlowConntrackRefusesIsTriedAFewTimesPerGeneration) {
  BypassedFlows flows;
  const FlowKey flow = FlowKeyOf(Flow(Direction::Send, 40000));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(flows.WorthTrying(flow, Direction::Send, 1));
    flows.Failed(flow, Direction::Send, 1);
  }
  EXPECT_FALSE(flows.WorthTrying(flow, Direction::Send, 1));
  EXPECT_TRUE(flows.WorthTrying(flow, Direction::Receive, 1));
  EXPECT_TRUE(flows.WorthTrying(flow, Direction::Send, 2));
  EXPECT_FALSE(flows.GenerationAt(flow, Direction::Send, 200));
}

TEST(BypassedFlowsTest, AFullTableDropsTheFlowJudgedLongestAgo) {
  BypassedFlows flows(4);
  const FlowKey running = FlowKeyOf(Flow(Direction::Send, 1));
  flows.Marked(running, Direction::Send, 1, 0);
  for (std::uint16_t port = 2; port <= 40; ++port) {
    // The running flow's frames keep coming.
    ASSERT_TRUE(flows.GenerationAt(running, Direction::Send, port)) << port;
    flows.Marked(FlowKeyOf(Flow(Direction::Send, port)), Direction::Send, 1, port);
    ASSERT_LE(flows.Size(), 4u);
  }
  EXPECT_FALSE(flows.GenerationAt(FlowKeyOf(Flow(Direction::Send, 30)), Direction::Send, 50));
  EXPECT_TRUE(flows.GenerationAt(FlowKeyOf(Flow(Direction::Send, 40)), Direction::Send, 50));
  // Its frames stop: it goes with the next new flows.
  for (std::uint16_t port = 100; port < 104; ++port) {
    flows.Marked(FlowKeyOf(Flow(Direction::Send, port)), Direction::Send, 1, 100);
  }
  EXPECT_FALSE(flows.GenerationAt(running, Direction::Send, 100));
}

}  // namespace
}  // namespace harlune
