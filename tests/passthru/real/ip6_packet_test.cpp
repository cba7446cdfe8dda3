// Real IPv6 packets: the extension header chain, fragments, the wire length
// of offload packets, the keys that pair the two paths, and the capture
// record of a real frame.

#include "passthru/real/ip6_packet.h"

#include <vector>

#include <gtest/gtest.h>

#include "passthru/engine/capture_ring.h"
#include "protocol/byte_order.h"
#include "protocol/capture6_record.h"

namespace harlune {
namespace {

constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kEsp = 50;
constexpr std::uint8_t kAh = 51;
constexpr std::uint8_t kDestination = 60;

// An IPv6 packet 2001:2::1 -> 2001:2::2 built header by header; the payload
// length is set by Finish() from what was added, or given.
class Ipv6Builder {
 public:
  explicit Ipv6Builder(std::uint32_t flowLabel = 0) : bytes_(40, 0) {
    bytes_[0] = 0x60;
    bytes_[1] = static_cast<std::uint8_t>(flowLabel >> 16);
    bytes_[2] = static_cast<std::uint8_t>(flowLabel >> 8);
    bytes_[3] = static_cast<std::uint8_t>(flowLabel);
    bytes_[7] = 64;
    const IpAddress::Bytes16 source = ParseIpAddress("2001:2::1")->Ipv6Bytes();
    const IpAddress::Bytes16 destination = ParseIpAddress("2001:2::2")->Ipv6Bytes();
    std::copy(source.begin(), source.end(), bytes_.begin() + 8);
    std::copy(destination.begin(), destination.end(), bytes_.begin() + 24);
  }
  // An extension header of `kind` with its length field `lengthField`.
  Ipv6Builder& Extension(std::uint8_t kind, std::uint8_t lengthField = 0) {
    const std::size_t size = kind == kFragment ? 8
                             : kind == kAh     ? (std::size_t{lengthField} + 2) * 4
                                               : (std::size_t{lengthField} + 1) * 8;
    Chain(kind);
    std::vector<std::uint8_t> header(size, 0);
    header[1] = kind == kFragment ? 0 : lengthField;
    Append(header);
    return *this;
  }
  Ipv6Builder& Fragment(std::uint16_t offset, bool more, std::uint32_t id) {
    Chain(kFragment);
    const auto field = static_cast<std::uint16_t>(offset << 3 | (more ? 1 : 0));
    Append({0, 0, static_cast<std::uint8_t>(field >> 8), static_cast<std::uint8_t>(field),
            static_cast<std::uint8_t>(id >> 24), static_cast<std::uint8_t>(id >> 16),
            static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)});
    return *this;
  }
  // TCP 5201 -> 40000 with the sequence and acknowledgement numbers.
  Ipv6Builder& Tcp(std::uint32_t sequence = 1, std::uint32_t ack = 2) {
    Chain(kProtocolTcp);
    std::vector<std::uint8_t> tcp(20, 0);
    tcp[0] = 0x14, tcp[1] = 0x51, tcp[2] = 0x9C, tcp[3] = 0x40;
    protocol::StoreRaw(protocol::Bytes(tcp), 4, protocol::HostToNet32(sequence));
    protocol::StoreRaw(protocol::Bytes(tcp), 8, protocol::HostToNet32(ack));
    tcp[12] = 0x50;
    Append(tcp);
    return *this;
  }
  // UDP 5004 -> 6000, then `payload`.
  Ipv6Builder& Udp(std::vector<std::uint8_t> payload = {}) {
    Chain(kProtocolUdp);
    Append({0x13, 0x8C, 0x17, 0x70, 0, 0, 0, 0});
    Append(payload);
    return *this;
  }
  Ipv6Builder& Last(std::uint8_t kind) {
    Chain(kind);
    Append(std::vector<std::uint8_t>(8, 0xEE));
    return *this;
  }
  std::vector<std::uint8_t> Finish(std::optional<std::uint16_t> payload = std::nullopt) {
    const auto length = payload.value_or(static_cast<std::uint16_t>(bytes_.size() - 40));
    bytes_[4] = static_cast<std::uint8_t>(length >> 8);
    bytes_[5] = static_cast<std::uint8_t>(length);
    return bytes_;
  }

 private:
  void Chain(std::uint8_t kind) {
    bytes_[nextAt_] = kind;
    nextAt_ = bytes_.size();
  }
  void Append(const std::vector<std::uint8_t>& part) {
    bytes_.insert(bytes_.end(), part.begin(), part.end());
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t nextAt_ = 6;
};

std::vector<std::uint8_t> Cut(std::vector<std::uint8_t> bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

TEST(Ipv6ChainTest, FollowsEveryExtensionHeaderKindToTheTransport) {
  const auto plain = WalkIpv6Chain(Ipv6Builder().Tcp().Finish());
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->upperProtocol, kProtocolTcp);
  EXPECT_EQ(plain->transportOffset, 40u);
  EXPECT_FALSE(plain->extensionHeaders);

  const auto packet = Ipv6Builder()
                          .Extension(kHopByHop)
                          .Extension(kRouting, 2)
                          .Extension(kDestination)
                          .Extension(135)
                          .Extension(139, 1)
                          .Extension(140)
                          .Extension(kAh, 4)
                          .Udp()
                          .Finish();
  const auto chain = WalkIpv6Chain(packet);
  ASSERT_TRUE(chain);
  EXPECT_EQ(chain->upperProtocol, kProtocolUdp);
  // 8 + 24 + 8 + 8 + 16 + 8, then AH (4 + 2) * 4 = 24.
  EXPECT_EQ(chain->transportOffset, 40u + 72 + 24);
  EXPECT_TRUE(chain->extensionHeaders);
  EXPECT_EQ(chain->unfragmentableBytes, 96u);
}

TEST(Ipv6ChainTest, EspAndNoNextHeaderEndTheChainWithoutATransport) {
  const auto esp = WalkIpv6Chain(Ipv6Builder().Extension(kHopByHop).Last(kEsp).Finish());
  ASSERT_TRUE(esp);
  EXPECT_EQ(esp->upperProtocol, kEsp);
  EXPECT_EQ(esp->transportOffset, 0u);
  const auto none = WalkIpv6Chain(Ipv6Builder().Last(kIpv6NoNextHeader).Finish());
  ASSERT_TRUE(none);
  EXPECT_EQ(none->upperProtocol, kIpv6NoNextHeader);
  EXPECT_EQ(none->transportOffset, 0u);
}

TEST(Ipv6ChainTest, TruncatedOrEndlessChainsEndWithoutAnUpperLayer) {
  const auto whole = Ipv6Builder().Extension(kRouting, 2).Tcp().Finish();
  EXPECT_FALSE(WalkIpv6Chain(Cut(whole, 39)));
  for (const std::size_t size : {40u, 45u, 48u, 63u}) {
    const auto chain = WalkIpv6Chain(Cut(whole, size));
    ASSERT_TRUE(chain) << size;
    EXPECT_EQ(chain->upperProtocol, kIpv6NoNextHeader) << size;
    EXPECT_EQ(chain->transportOffset, 0u) << size;
  }
  // The routing header ends at 64: the TCP header may be cut, its start is known.
  EXPECT_EQ(WalkIpv6Chain(Cut(whole, 64))->upperProtocol, kProtocolTcp);
  EXPECT_EQ(ParseIpv6Packet(Cut(whole, 64), Direction::Send)->packet.localPort, 0);

  Ipv6Builder endless;
  for (int i = 0; i <= kMaxIpv6ExtensionHeaders; ++i) {
    endless.Extension(kDestination);
  }
  EXPECT_EQ(WalkIpv6Chain(endless.Tcp().Finish())->upperProtocol, kIpv6NoNextHeader);
  // Version 4 is not IPv6.
  auto four = Ipv6Builder().Tcp().Finish();
  four[0] = 0x45;
  EXPECT_FALSE(WalkIpv6Chain(four));
}

TEST(Ipv6PacketTest, ReadsAddressesPortsAndLengthFromTheAdaptersSide) {
  const auto packet = Ipv6Builder().Extension(kHopByHop).Tcp().Finish(1400);
  const auto sent = ParseIpv6Packet(packet, Direction::Send);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->packet.family, IpFamily::Ipv6);
  EXPECT_EQ(sent->packet.length, 1440u);
  EXPECT_EQ(sent->packet.protocol, kProtocolTcp);
  EXPECT_EQ(sent->packet.localAddress.ToText(), "2001:2::1");
  EXPECT_EQ(protocol::NetToHost16(sent->packet.localPort), 5201);
  EXPECT_EQ(protocol::NetToHost16(sent->packet.remotePort), 40000);
  const auto received = ParseIpv6Packet(packet, Direction::Receive);
  EXPECT_EQ(received->packet.localAddress.ToText(), "2001:2::2");
  EXPECT_EQ(protocol::NetToHost16(received->packet.localPort), 40000);
}

TEST(Ipv6PacketTest, LaterFragmentsTakeThePortsOfTheirFirst) {
  FragmentPorts fragments;
  const auto first = Ipv6Builder().Fragment(0, true, 77).Udp().Finish();
  const auto later = Ipv6Builder().Fragment(185, false, 77).Udp().Finish();
  const auto stranger = Ipv6Builder().Fragment(185, false, 78).Udp().Finish();

  const auto unknownYet = ParseIpPacket(later, Direction::Send, fragments, 0);
  ASSERT_TRUE(unknownYet);
  EXPECT_TRUE(unknownYet->unclassified);

  const auto head = ParseIpPacket(first, Direction::Send, fragments, 1);
  ASSERT_TRUE(head);
  EXPECT_FALSE(head->unclassified);
  EXPECT_EQ(protocol::NetToHost16(head->localPort), 5004);
  const auto tail = ParseIpPacket(later, Direction::Send, fragments, 2);
  EXPECT_FALSE(tail->unclassified);
  EXPECT_EQ(tail->protocol, kProtocolUdp);
  EXPECT_EQ(protocol::NetToHost16(tail->localPort), 5004);
  EXPECT_EQ(protocol::NetToHost16(tail->remotePort), 6000);
  EXPECT_TRUE(ParseIpPacket(stranger, Direction::Send, fragments, 3)->unclassified);
  // Remembered for a short while only.
  EXPECT_TRUE(ParseIpPacket(later, Direction::Send, fragments, kFragmentMemoryNanoseconds + 2)
                  ->unclassified);
  // IPv4 packets pass through as before.
  const auto ipv4 =
      ParseIpPacket(std::vector<std::uint8_t>(20, 0x45), Direction::Send, fragments, 0);
  ASSERT_TRUE(ipv4);
  EXPECT_EQ(ipv4->family, IpFamily::Ipv4);
}

// A fragment does not speak for its flow: the daemon never lets a flow
// leave the verdict queue on one.
TEST(IpFragmentTest, FirstAndLaterFragmentsOfEitherFamilyAreFragments) {
  EXPECT_FALSE(IsIpFragment(Ipv6Builder().Tcp().Finish()));
  EXPECT_TRUE(IsIpFragment(Ipv6Builder().Fragment(0, true, 1).Udp().Finish()));
  EXPECT_TRUE(IsIpFragment(Ipv6Builder().Fragment(185, false, 1).Udp().Finish()));
  EXPECT_TRUE(IsIpFragment(Cut(Ipv6Builder().Tcp().Finish(), 30)));  // not even a header

  std::vector<std::uint8_t> ipv4(28, 0);
  ipv4[0] = 0x45;
  ipv4[9] = kProtocolUdp;
  EXPECT_FALSE(IsIpFragment(ipv4));
  ipv4[6] = 0x40;  // don't fragment
  EXPECT_FALSE(IsIpFragment(ipv4));
  ipv4[6] = 0x20;  // more fragments: the first
  EXPECT_TRUE(IsIpFragment(ipv4));
  ipv4[6] = 0x00;
  ipv4[7] = 0xB9;  // an offset: a later one
  EXPECT_TRUE(IsIpFragment(ipv4));
}

TEST(FragmentPortsTest, KeepsABoundedNumberOfPacketsDroppingTheOldest) {
  FragmentPorts fragments(2);
  const IpAddress a = *ParseIpAddress("2001:2::1");
  const IpAddress b = *ParseIpAddress("2001:2::2");
  const FragmentedPorts ports{kProtocolUdp, 1, 2};
  fragments.Remember(a, b, 1, ports, 0);
  fragments.Remember(a, b, 2, ports, 0);
  fragments.Remember(a, b, 3, ports, 0);
  EXPECT_EQ(fragments.Size(), 2u);
  EXPECT_FALSE(fragments.Find(a, b, 1, 0));
  EXPECT_EQ(fragments.Find(a, b, 3, 0), ports);
  EXPECT_FALSE(fragments.Find(b, a, 3, 0));  // the direction counts
}

TEST(Ipv6WireLengthTest, OffloadTcpBecomesSegmentsRepeatingEveryHeader) {
  const auto tcp = Ipv6Builder().Tcp().Finish(60000);  // 60040 bytes
  // 1500 - 40 - 20 = 1440 bytes a segment; 60000 - 20 = 59980 -> 42 segments.
  EXPECT_EQ(Ipv6WireLength(tcp, 60040, 1500), 59980u + 42 * 60);
  EXPECT_EQ(WireLength(tcp, 60040, 1500), 59980u + 42 * 60);  // by the version nibble
  const auto withOptions = Ipv6Builder().Extension(kDestination).Tcp().Finish(60008);
  // 1500 - 68 = 1432 carried a segment; 59980 / 1432 -> 42 segments.
  EXPECT_EQ(Ipv6WireLength(withOptions, 60048, 1500), 59980u + 42 * 68);
  EXPECT_EQ(Ipv6WireLength(tcp, 1500, 1500), 1500u);
}

TEST(Ipv6WireLengthTest, OtherProtocolsBecomeFragmentsOfEightByteMultiples) {
  const auto udp = Ipv6Builder().Udp().Finish(3000);  // 3040 bytes
  // Each fragment: 40 + 8 fragment header + 1448 bytes (1452 rounded down).
  EXPECT_EQ(Ipv6WireLength(udp, 3040, 1500), 3000u + 3 * 48);
  const auto hop = Ipv6Builder().Extension(kHopByHop).Udp().Finish(3008);
  // The hop-by-hop header is repeated too: 56 bytes before 1440 carried.
  EXPECT_EQ(Ipv6WireLength(hop, 3048, 1500), 3000u + 3 * 56);
  // Already a fragment, a header cut short, or an MTU too small: as it is.
  const auto fragment = Ipv6Builder().Fragment(0, true, 1).Udp().Finish(3008);
  EXPECT_EQ(Ipv6WireLength(fragment, 3048, 1500), 3048u);
  EXPECT_EQ(Ipv6WireLength(Cut(udp, 30), 3040, 1500), 3040u);
  EXPECT_EQ(Ipv6WireLength(udp, 3040, 40), 3040u);
}

TEST(Ipv6KeyTest, ConsecutivePacketsOfAFlowHaveDifferentKeys) {
  const auto a = KeyOfIpv6Packet(Ipv6Builder().Tcp(1000, 5).Finish(), Direction::Send);
  const auto b = KeyOfIpv6Packet(Ipv6Builder().Tcp(2440, 5).Finish(), Direction::Send);
  const auto ack = KeyOfIpv6Packet(Ipv6Builder().Tcp(2440, 6).Finish(), Direction::Send);
  ASSERT_TRUE(a && b && ack);
  EXPECT_NE(*a, *b);
  EXPECT_NE(*b, *ack);  // pure acknowledgements differ by what they acknowledge
  EXPECT_EQ(*a, *KeyOfIpv6Packet(Ipv6Builder().Tcp(1000, 5).Finish(), Direction::Send));
  EXPECT_NE(*a, *KeyOfIpv6Packet(Ipv6Builder().Tcp(1000, 5).Finish(), Direction::Receive));

  const auto u1 = KeyOfIpv6Packet(Ipv6Builder().Udp({1, 2, 3}).Finish(), Direction::Send);
  const auto u2 = KeyOfIpv6Packet(Ipv6Builder().Udp({1, 2, 4}).Finish(), Direction::Send);
  const auto u3 = KeyOfIpv6Packet(Ipv6Builder(9).Udp({1, 2, 3}).Finish(), Direction::Send);
  EXPECT_NE(*u1, *u2);
  EXPECT_NE(*u1, *u3);  // the flow label counts
  // The capture keeps fewer bytes than the queue: the key reads the same.
  const auto longPacket = Ipv6Builder().Udp(std::vector<std::uint8_t>(200, 7)).Finish();
  EXPECT_EQ(KeyOfIpPacket(longPacket, Direction::Send),
            KeyOfIpPacket(Cut(longPacket, 114), Direction::Send));
  // IPv4 keys still come from the IPv4 header.
  std::vector<std::uint8_t> ipv4(20, 0);
  ipv4[0] = 0x45;
  ipv4[5] = 9;
  EXPECT_EQ(KeyOfIpPacket(ipv4, Direction::Send)->identification, 9u);
}

TEST(Ipv6FrameRecordTest, KeepsTheFixedHeaderTheUpperLayerAndTheFlags) {
  std::vector<std::uint8_t> frame = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x86, 0xDD};
  const auto ip = Ipv6Builder(0xABCDE).Extension(kHopByHop).Tcp(0x01020304, 0).Finish(1000);
  frame.insert(frame.end(), ip.begin(), ip.end());
  const auto record = protocol::DecodeCapture6Record(
      EncodeFrame6Record(frame, 5, Direction::Receive, Verdict::Queued));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->driverClassId, 5u);
  EXPECT_EQ(record->destinationMac[5], 2);
  EXPECT_EQ(record->sourceMac[5], 1);
  EXPECT_EQ(record->flowLabel, 0xABCDEu);
  EXPECT_EQ(record->payloadLength, 1000);
  EXPECT_EQ(record->nextHeader, kHopByHop);
  EXPECT_EQ(record->hopLimit, 64);
  EXPECT_EQ(IpAddress::FromIpv6(record->source).ToText(), "2001:2::1");
  EXPECT_EQ(record->upperProtocol, kProtocolTcp);
  EXPECT_EQ(record->flags, protocol::kCapture6ExtensionHeaders);
  EXPECT_EQ(record->transportHeader[1], 0x51);
  EXPECT_EQ(record->transportHeader[7], 0x04);  // the sequence number's last byte
  EXPECT_EQ(record->direction, 1);
  EXPECT_EQ(record->verdict, 1);

  std::vector<std::uint8_t> later = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x86, 0xDD};
  const auto fragment = Ipv6Builder().Fragment(100, false, 3).Udp().Finish();
  later.insert(later.end(), fragment.begin(), fragment.end());
  const auto tail =
      protocol::DecodeCapture6Record(EncodeFrame6Record(later, 0, Direction::Send, Verdict::Pass));
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->flags, protocol::kCapture6LaterFragment | protocol::kCapture6ExtensionHeaders);
  EXPECT_EQ(tail->upperProtocol, kProtocolUdp);
  EXPECT_EQ(tail->transportHeader, (std::array<std::uint8_t, 20>{}));  // no header to copy
  // A frame cut inside the fixed header still makes a record, mostly zero.
  const auto shortRecord = EncodeFrame6Record(Cut(later, 30), 0, Direction::Send, Verdict::Pass);
  EXPECT_EQ(shortRecord.size(), protocol::kCapture6RecordSize);
  EXPECT_EQ(shortRecord[16], 0x86);
}

}  // namespace
}  // namespace harlune
