// Classes of both families: which IPv6 packets a class takes, what a class
// may stop, and what the IPv6 capture records say.

#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "passthru/engine/adapter_state.h"
#include "passthru/engine/classifier.h"
#include "protocol/capture6_record.h"

namespace harlune {
namespace {

using protocol::AddressFamilies;
using protocol::ClassFamily;
using testing::AnyTcpSend;
using testing::Ipv4;
using testing::Tcp6Packet;
using testing::TcpPacket;

const std::vector<std::uint16_t> kNoPorts;

ClassFamily Families(AddressFamilies families,
                     const char* local = "::", std::uint8_t localLength = 0,
                     const char* remote = "::", std::uint8_t remoteLength = 0) {
  return {0,
          families,
          {ParseIpAddress(local)->Ipv6Bytes(), localLength},
          {ParseIpAddress(remote)->Ipv6Bytes(), remoteLength}};
}

TEST(ClassMatches, AnAnyAddressClassOfBothFamiliesTakesIpv4AndIpv6Alike) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.RemotePortCount = 1;
  record.RemotePorts[0] = protocol::HostPortRange(443, 443);
  const ClassFamily both = Families(AddressFamilies::kBoth);
  EXPECT_TRUE(ClassMatches(record, both, kNoPorts, TcpPacket(Direction::Send, 1, 443)));
  EXPECT_TRUE(ClassMatches(record, both, kNoPorts, Tcp6Packet(Direction::Send, 1, 443)));
  // Ports, direction and protocol count for IPv6 as for IPv4.
  EXPECT_FALSE(ClassMatches(record, both, kNoPorts, Tcp6Packet(Direction::Send, 1, 80)));
  EXPECT_FALSE(ClassMatches(record, both, kNoPorts, Tcp6Packet(Direction::Receive, 1, 443)));
  Packet udp = Tcp6Packet(Direction::Send, 1, 443);
  udp.protocol = kProtocolUdp;
  EXPECT_FALSE(ClassMatches(record, both, kNoPorts, udp));
}

TEST(ClassMatches, EachFamilyChoiceLeavesTheOtherFamilyAlone) {
  const _TBF_SETTING_DATA record = AnyTcpSend(1000);
  const ClassFamily ipv4 = Families(AddressFamilies::kIpv4);
  const ClassFamily ipv6 = Families(AddressFamilies::kIpv6);
  EXPECT_TRUE(ClassMatches(record, ipv4, kNoPorts, TcpPacket(Direction::Send, 1, 2)));
  EXPECT_FALSE(ClassMatches(record, ipv4, kNoPorts, Tcp6Packet(Direction::Send, 1, 2)));
  EXPECT_FALSE(ClassMatches(record, ipv6, kNoPorts, TcpPacket(Direction::Send, 1, 2)));
  EXPECT_TRUE(ClassMatches(record, ipv6, kNoPorts, Tcp6Packet(Direction::Send, 1, 2)));
}

TEST(ClassMatches, IPv6PacketsIgnoreTheIpv4AddressesAndMeetThePrefixes) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  // What the file keeps of an IPv6-only filter: an IPv4 remote no packet has.
  record.RemoteIPAddrMask = 0xFFFFFFFFu;
  EXPECT_FALSE(RecordMatches(record, kNoPorts, TcpPacket(Direction::Send, 1, 2)));
  const Packet packet = Tcp6Packet(Direction::Send, 1, 2);  // 2001:db8:0:1::2 -> 2001:db8::10
  EXPECT_TRUE(ClassMatches(record, Families(AddressFamilies::kIpv6), kNoPorts, packet));
  EXPECT_TRUE(ClassMatches(record, Families(AddressFamilies::kIpv6, "::", 0, "2001:db8::", 32),
                           kNoPorts, packet));
  EXPECT_TRUE(ClassMatches(record, Families(AddressFamilies::kIpv6, "2001:db8:0:1::2", 128),
                           kNoPorts, packet));
  EXPECT_FALSE(ClassMatches(record, Families(AddressFamilies::kIpv6, "2001:db8:0:2::", 64),
                            kNoPorts, packet));
  // The remote prefix is matched against the remote address, not the local.
  EXPECT_FALSE(ClassMatches(record, Families(AddressFamilies::kIpv6, "::", 0, "2001:db8:0:1::", 64),
                            kNoPorts, packet));
  // A prefix ending inside a byte.
  EXPECT_TRUE(ClassMatches(record, Families(AddressFamilies::kIpv6, "::", 0, "2001:db8::1f", 124),
                           kNoPorts, packet));
  EXPECT_FALSE(ClassMatches(record, Families(AddressFamilies::kIpv6, "::", 0, "2001:db8::1f", 125),
                            kNoPorts, packet));
}

TEST(ClassMatches, ApplicationPortsAndUnknownFragmentsForIpv6) {
  _TBF_SETTING_DATA record = AnyTcpSend(1000);
  record.HasApplication = 1;
  const ClassFamily both = Families(AddressFamilies::kBoth);
  const std::vector<std::uint16_t> ports{50000};
  EXPECT_TRUE(ClassMatches(record, both, ports, Tcp6Packet(Direction::Send, 50000, 443)));
  EXPECT_FALSE(ClassMatches(record, both, ports, Tcp6Packet(Direction::Send, 50001, 443)));
  Packet unknown = Tcp6Packet(Direction::Send, 50000, 443);
  unknown.unclassified = true;
  EXPECT_FALSE(ClassMatches(AnyTcpSend(1000), both, kNoPorts, unknown));
}

class Ipv6AdapterTest : public ::testing::Test {
 protected:
  ManualClock clock_;
  AdapterState adapter_{"eth0", clock_};
};

TEST_F(Ipv6AdapterTest, AddAndModifyGiveTheRecordsFamiliesAndClearThePrefixes) {
  _TBF_SETTING_DATA withAddress = AnyTcpSend(1000);
  withAddress.RemoteIPAddr = Ipv4(192, 0, 2, 0);
  withAddress.RemoteIPAddrMask = Ipv4(255, 255, 255, 0);
  const std::uint32_t ipv4 = *adapter_.AddClass(withAddress);
  const std::uint32_t any = *adapter_.AddClass(AnyTcpSend(1000));
  EXPECT_EQ(adapter_.ClassFamilyOf(ipv4)->families, AddressFamilies::kIpv4);
  EXPECT_EQ(adapter_.ClassFamilyOf(any)->families, AddressFamilies::kBoth);

  ClassFamily family = Families(AddressFamilies::kIpv6, "::", 0, "2001:db8::", 32);
  family.driverClassId = any;
  ASSERT_TRUE(adapter_.SetClassFamily(family));
  EXPECT_EQ(adapter_.ClassFamilyOf(any), family);
  family.driverClassId = 999;
  EXPECT_FALSE(adapter_.SetClassFamily(family));

  _TBF_SETTING_DATA modified = AnyTcpSend(500);
  modified.DriverClassId = any;
  ASSERT_TRUE(adapter_.ModifyClass(modified));
  EXPECT_EQ(adapter_.ClassFamilyOf(any), (ClassFamily{any, AddressFamilies::kBoth, {}, {}}));
}

TEST_F(Ipv6AdapterTest, WhatMayBeStoppedIsAskedPerDirectionAndFamily) {
  adapter_.StartFiltering();
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(1000));
  EXPECT_TRUE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv4));
  EXPECT_TRUE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv6));
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Receive, IpFamily::Ipv6));

  ASSERT_TRUE(adapter_.SetClassFamily({id, AddressFamilies::kIpv4, {}, {}}));
  EXPECT_TRUE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv4));
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv6));
  ASSERT_TRUE(adapter_.SetClassFamily({id, AddressFamilies::kIpv6, {}, {}}));
  EXPECT_FALSE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv4));
  EXPECT_TRUE(adapter_.MayStopPackets(Direction::Send, IpFamily::Ipv6));
}

TEST_F(Ipv6AdapterTest, OneClassLimitsBothFamiliesTogetherAndTheTotalsCountBoth) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(0));  // drops what it takes
  adapter_.StartFiltering();
  EXPECT_EQ(adapter_.Offer(Tcp6Packet(Direction::Send, 1, 2, 1000)), Verdict::Drop);
  EXPECT_EQ(adapter_.Offer(TcpPacket(Direction::Send, 1, 2, 1000)), Verdict::Drop);
  ASSERT_TRUE(adapter_.SetClassFamily({id, AddressFamilies::kIpv4, {}, {}}));
  EXPECT_EQ(adapter_.Offer(Tcp6Packet(Direction::Send, 1, 2, 700)), Verdict::Pass);
  EXPECT_EQ(adapter_.ClassStatistics(id)->transferredBytes, 0u);  // passed by no class
  adapter_.CountCrossed(Tcp6Packet(Direction::Receive, 1, 2, 300));
  EXPECT_EQ(adapter_.TotalStatistics().sentBytes, 700u);
  EXPECT_EQ(adapter_.TotalStatistics().receivedBytes, 300u);
}

TEST_F(Ipv6AdapterTest, OfferedIpv6PacketsGoToTheirOwnRingWithTheirFields) {
  const std::uint32_t id = *adapter_.AddClass(AnyTcpSend(1'000'000));
  adapter_.Offer(Tcp6Packet(Direction::Send, 50000, 443, 1240));
  Packet udp = Tcp6Packet(Direction::Receive, 40000, 5004, 540);
  udp.protocol = kProtocolUdp;
  adapter_.Offer(udp);
  EXPECT_TRUE(adapter_.ReadPackets().empty());
  const std::vector<std::uint8_t> bytes = adapter_.ReadPackets6();
  ASSERT_EQ(bytes.size(), 2 * protocol::kCapture6RecordSize);
  const protocol::CaptureBatch batch{true, bytes};

  const auto tcp = protocol::DecodeCapture6Record(batch.Record(0));
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->driverClassId, id);
  EXPECT_EQ(tcp->payloadLength, 1200);
  EXPECT_EQ(tcp->upperProtocol, kProtocolTcp);
  EXPECT_EQ(tcp->nextHeader, kProtocolTcp);
  EXPECT_EQ(tcp->flags, 0);
  EXPECT_EQ(IpAddress::FromIpv6(tcp->source).ToText(), "2001:db8:0:1::2");  // sent: local first
  EXPECT_EQ(IpAddress::FromIpv6(tcp->destination).ToText(), "2001:db8::10");
  EXPECT_EQ(tcp->transportHeader[0] << 8 | tcp->transportHeader[1], 50000);
  EXPECT_EQ(tcp->transportHeader[2] << 8 | tcp->transportHeader[3], 443);
  EXPECT_EQ(tcp->direction, 0);

  const auto received = protocol::DecodeCapture6Record(batch.Record(1));
  ASSERT_TRUE(received);
  EXPECT_EQ(received->driverClassId, 0u);  // a UDP packet: the TCP class is not its
  EXPECT_EQ(IpAddress::FromIpv6(received->source).ToText(), "2001:db8::10");
  EXPECT_EQ(received->transportHeader[0] << 8 | received->transportHeader[1], 5004);
  EXPECT_EQ(received->transportHeader[4] << 8 | received->transportHeader[5], 500);  // UDP length
  EXPECT_EQ(received->direction, 1);
}

}  // namespace
}  // namespace harlune
