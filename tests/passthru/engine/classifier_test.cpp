#include "passthru/engine/classifier.h"

#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"

namespace harlune {
namespace {

using testing::AnyTcpSend;
using testing::Ipv4;
using testing::TcpPacket;

const std::vector<std::uint16_t> kNoPorts;

TEST(RecordMatches, AnEmptyTcpSendRecordMatchesEveryTcpSendPacket) {
  EXPECT_TRUE(RecordMatches(AnyTcpSend(1000), kNoPorts, TcpPacket(Direction::Send, 1, 2)));
}

TEST(RecordMatches, AvailableDirectionAndProtocolMustAgree) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.Available = 0;
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 1, 2)));
  record.Available = 2;  // only 1 means available
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 1, 2)));

  record = AnyTcpSend(1000);
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Receive, 1, 2)));
  record.TBFMode = 1;
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Receive, 1, 2)));

  record = AnyTcpSend(1000);
  Packet udp = TcpPacket(Direction::Send, 1, 2);
  udp.protocol = kProtocolUdp;
  EXPECT_FALSE(RecordMatches(record, kNoPorts, udp));
  record.Protocol = 17;
  EXPECT_TRUE(RecordMatches(record, kNoPorts, udp));
}

TEST(RecordMatches, AddressesAreComparedUnderTheirMasks) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemoteIPAddr = Ipv4(192, 0, 2, 0);
  record.RemoteIPAddrMask = Ipv4(255, 255, 255, 0);
  Packet packet = TcpPacket(Direction::Send, 1, 2);
  packet.remoteAddress = Ipv4Address(192, 0, 2, 77);
  EXPECT_TRUE(RecordMatches(record, kNoPorts, packet));
  packet.remoteAddress = Ipv4Address(192, 0, 3, 77);
  EXPECT_FALSE(RecordMatches(record, kNoPorts, packet));

  record = AnyTcpSend(1000);
  record.LocalIPAddr = Ipv4(10, 0, 0, 9);  // ignored: mask 0 means any
  EXPECT_TRUE(RecordMatches(record, kNoPorts, packet));
  record.LocalIPAddrMask = Ipv4(255, 255, 255, 255);
  EXPECT_FALSE(RecordMatches(record, kNoPorts, packet));
  packet.localAddress = Ipv4Address(10, 0, 0, 9);
  EXPECT_TRUE(RecordMatches(record, kNoPorts, packet));
}

TEST(RecordMatches, PortsLieInAnyOfTheRangesComparedInHostOrder) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemotePortCount = 2;
  record.RemotePorts[0] = protocol::HostPortRange(80, 80);
  record.RemotePorts[1] = protocol::HostPortRange(255, 300);
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 80)));
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 256)));
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 300)));
  // 0x0100 and 0x0001 swap under a byte-order mistake.
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 1)));
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 81)));

  record.LocalPortCount = 1;
  record.LocalPorts[0] = protocol::HostPortRange(1000, 2000);
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 999, 80)));
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 2000, 80)));
}

TEST(RecordMatches, AnOversizedPortCountReadsOnlySixteenRanges) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemotePortCount = 0xFFFFFFFF;
  record.RemotePorts.fill(protocol::HostPortRange(443, 443));
  EXPECT_TRUE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 443)));
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5, 0)));
}

TEST(RecordMatches, PortsDoNotApplyToProtocolsWithoutPorts) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.Protocol = 1;
  record.RemotePortCount = 1;
  record.RemotePorts[0] = protocol::HostPortRange(80, 80);
  Packet icmp = TcpPacket(Direction::Send, 0, 0);
  icmp.protocol = kProtocolIcmp;
  EXPECT_TRUE(RecordMatches(record, kNoPorts, icmp));
}

TEST(RecordMatches, AnApplicationClassNeedsTheLocalPortInItsList) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.HasApplication = 1;
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 5000, 80)));
  const std::vector<std::uint16_t> ports{4000, 5000};
  EXPECT_TRUE(RecordMatches(record, ports, TcpPacket(Direction::Send, 5000, 80)));
  EXPECT_FALSE(RecordMatches(record, ports, TcpPacket(Direction::Send, 80, 5000)));

  record.Protocol = 1;
  Packet icmp = TcpPacket(Direction::Send, 5000, 0);
  icmp.protocol = kProtocolIcmp;
  EXPECT_FALSE(RecordMatches(record, ports, icmp));
}

// The daemon lets a flow leave the verdict queue when CouldMatchFlow says
// no: a wrong "no" would let a limited flow pass unlimited.
TEST(CouldMatchFlow, AWholeTcpOrUdpPacketSpeaksForItsFlowExactlyAsTheClassMatches) {
  const protocol::ClassFamily both;
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemotePortCount = 1;
  record.RemotePorts[0] = protocol::HostPortRange(80, 80);
  EXPECT_TRUE(CouldMatchFlow(record, both, kNoPorts, TcpPacket(Direction::Send, 5000, 80), false));
  EXPECT_FALSE(CouldMatchFlow(record, both, kNoPorts, TcpPacket(Direction::Send, 5000, 81), false));
  EXPECT_FALSE(
      CouldMatchFlow(record, both, kNoPorts, TcpPacket(Direction::Receive, 5000, 80), false));
  Packet udp = TcpPacket(Direction::Send, 5000, 80);
  udp.protocol = kProtocolUdp;
  EXPECT_FALSE(CouldMatchFlow(record, both, kNoPorts, udp, false));
  record.Available = 0;
  EXPECT_FALSE(CouldMatchFlow(record, both, kNoPorts, TcpPacket(Direction::Send, 5000, 80), false));
}

TEST(CouldMatchFlow, FragmentsOtherProtocolsAndUnclassifiedPacketsAlwaysCould) {
  const protocol::ClassFamily both;
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemotePortCount = 1;
  record.RemotePorts[0] = protocol::HostPortRange(80, 80);
  const Packet other = TcpPacket(Direction::Send, 5000, 81);
  EXPECT_TRUE(CouldMatchFlow(record, both, kNoPorts, other, true));
  Packet unclassified = other;
  unclassified.unclassified = true;
  EXPECT_TRUE(CouldMatchFlow(record, both, kNoPorts, unclassified, false));
  Packet icmp = other;
  icmp.protocol = kProtocolIcmp;
  EXPECT_TRUE(CouldMatchFlow(record, both, kNoPorts, icmp, false));
  EXPECT_FALSE(SpeaksForItsFlow(icmp, false));
  EXPECT_TRUE(SpeaksForItsFlow(other, false));
}

TEST(CouldMatchFlow, ApplicationPortsAndFamiliesDecideAsTheyStandNow) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.HasApplication = 1;
  const protocol::ClassFamily both;
  const std::vector<std::uint16_t> ports{5000};
  EXPECT_TRUE(CouldMatchFlow(record, both, ports, TcpPacket(Direction::Send, 5000, 80), false));
  EXPECT_FALSE(CouldMatchFlow(record, both, ports, TcpPacket(Direction::Send, 5001, 80), false));
  EXPECT_FALSE(CouldMatchFlow(record, both, kNoPorts, TcpPacket(Direction::Send, 5000, 80), false));

  record.HasApplication = 0;
  protocol::ClassFamily ipv4Only;
  ipv4Only.families = protocol::AddressFamilies::kIpv4;
  EXPECT_FALSE(CouldMatchFlow(record, ipv4Only, kNoPorts,
                              testing::Tcp6Packet(Direction::Send, 1, 2), false));
  EXPECT_TRUE(
      CouldMatchFlow(record, both, kNoPorts, testing::Tcp6Packet(Direction::Send, 1, 2), false));
}

}  // namespace
}  // namespace harlune
