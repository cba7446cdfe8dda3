// A captured packet read from either family's record.

#include "core/capture/packet_info.h"

#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "capture_records.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using test::MakeCapture6;
using test::MakeRecord;
using test::MakeRecord6;

PacketInfo Decode6(const test::Record6Bytes& record) {
  const std::optional<PacketInfo> packet = PacketInfo::FromRecord6(record, 77);
  EXPECT_TRUE(packet);
  return packet.value_or(PacketInfo{});
}

// What the row texts do not show; the rest is read through them.
TEST(PacketInfo, Ipv6RecordMakesUpNoIpv4Fields) {
  const PacketInfo packet = Decode6(MakeRecord6());
  ASSERT_TRUE(packet.IsIpv6());
  EXPECT_EQ(packet.CaptureTime, 77);
  EXPECT_EQ(packet.EtherType(), 0x86DD);
  EXPECT_EQ(packet.TrafficClass(), 0xB8);
  EXPECT_FALSE(packet.SourceAddress().IsIpv4());
  EXPECT_EQ(packet.TotalLength(), 0);
  EXPECT_EQ(packet.Identification(), 0);
  EXPECT_FALSE(packet.HasExtensionHeaders());
  EXPECT_FALSE(packet.IsLaterFragment());

  const PacketInfo ipv4 = PacketInfo::FromRecord(MakeRecord(), 5);
  EXPECT_FALSE(ipv4.IsIpv6());
  EXPECT_EQ(ipv4.FlowLabel(), 0u);
  EXPECT_EQ(ipv4.SourceAddress(), Ipv4Address(192, 168, 0, 2));
}

TEST(PacketInfo, FlagsTellExtensionHeadersAndLaterFragmentsWithoutPorts) {
  const PacketInfo extended = Decode6(MakeRecord6(17, protocol::kCapture6ExtensionHeaders));
  EXPECT_TRUE(extended.HasExtensionHeaders());
  EXPECT_FALSE(extended.IsLaterFragment());
  EXPECT_TRUE(extended.HasPorts());
  EXPECT_EQ(extended.ProtocolNumber(), 17);

  // Even with port bytes in the record, a later fragment has no ports.
  protocol::Capture6Record fragment = MakeCapture6(6, protocol::kCapture6LaterFragment);
  fragment.transportHeader[1] = 0x50;
  const PacketInfo later = Decode6(protocol::EncodeCapture6Record(fragment));
  EXPECT_TRUE(later.IsLaterFragment());
  EXPECT_FALSE(later.HasTransportHeader());
  EXPECT_FALSE(later.HasPorts());
  EXPECT_EQ(later.ProtocolNumber(), 6);

  EXPECT_FALSE(Decode6(MakeRecord6(58)).HasPorts());  // ICMPv6
  EXPECT_FALSE(Decode6(MakeRecord6(59)).HasPorts());  // no upper layer found
}

TEST(PacketInfo, BytesThatAreNoIpv6RecordGiveNoPacket) {
  test::Record6Bytes notIpv6 = MakeRecord6();
  notIpv6[18] = 0x45;  // version 4
  test::Record6Bytes notIpv6Frame = MakeRecord6();
  notIpv6Frame[17] = 0x00;  // Ethernet type 0x8600
  const test::Record6Bytes whole = MakeRecord6();
  const std::vector<std::uint8_t> shortRecord(whole.begin(), whole.end() - 1);
  const auto ipv4 = MakeRecord();
  EXPECT_FALSE(PacketInfo::FromRecord6(notIpv6, 0));
  EXPECT_FALSE(PacketInfo::FromRecord6(notIpv6Frame, 0));
  EXPECT_FALSE(PacketInfo::FromRecord6(shortRecord, 0));
  EXPECT_FALSE(PacketInfo::FromRecord6(ipv4, 0));
  EXPECT_FALSE(PacketInfo::FromRecord6({}, 0));
}

}  // namespace
}  // namespace harlune
