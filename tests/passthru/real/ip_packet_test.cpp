#include "passthru/real/ip_packet.h"

#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

// 198.18.0.1:5201 -> 198.18.0.2:40000, TCP, total length 1500, id 0x1234.
std::vector<std::uint8_t> TcpHeaders(std::uint8_t words = 5) {
  const std::size_t headerSize = std::size_t{4} * words;
  std::vector<std::uint8_t> ip(headerSize + 4, 0);
  ip[0] = static_cast<std::uint8_t>(0x40 | words);
  ip[2] = 0x05, ip[3] = 0xDC, ip[4] = 0x12, ip[5] = 0x34, ip[9] = 6;
  const std::uint8_t addresses[] = {198, 18, 0, 1, 198, 18, 0, 2};
  std::copy(std::begin(addresses), std::end(addresses), ip.begin() + 12);
  const std::uint8_t ports[] = {0x14, 0x51, 0x9C, 0x40};
  std::copy(std::begin(ports), std::end(ports), ip.begin() + static_cast<long>(headerSize));
  return ip;
}

TEST(IpPacketTest, ReadsAddressesPortsAndLengthFromTheAdaptersSide) {
  const auto sent = ParseIpv4Packet(TcpHeaders(), Direction::Send);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->length, 1500u);
  EXPECT_EQ(sent->protocol, kProtocolTcp);
  EXPECT_EQ(protocol::NetToHost32(sent->localAddress.Ipv4Value()), 0xC6120001u);
  EXPECT_EQ(protocol::NetToHost16(sent->localPort), 5201);
  EXPECT_EQ(protocol::NetToHost16(sent->remotePort), 40000);

  const auto received = ParseIpv4Packet(TcpHeaders(), Direction::Receive);
  ASSERT_TRUE(received);
  EXPECT_EQ(protocol::NetToHost32(received->localAddress.Ipv4Value()), 0xC6120002u);
  EXPECT_EQ(protocol::NetToHost16(received->localPort), 40000);
}

TEST(IpPacketTest, FindsThePortsAfterOptions) {
  const auto packet = ParseIpv4Packet(TcpHeaders(7), Direction::Send);
  ASSERT_TRUE(packet);
  EXPECT_EQ(protocol::NetToHost16(packet->localPort), 5201);
}

TEST(IpPacketTest, LeavesPortsZeroWhereThereAreNone) {
  auto fragment = TcpHeaders();
  fragment[7] = 0x10;  // a later fragment: its first bytes are data
  EXPECT_EQ(ParseIpv4Packet(fragment, Direction::Send)->localPort, 0);

  auto icmp = TcpHeaders();
  icmp[9] = kProtocolIcmp;
  EXPECT_EQ(ParseIpv4Packet(icmp, Direction::Send)->remotePort, 0);

  auto cut = TcpHeaders();
  cut.resize(22);  // the copy ends inside the ports
  EXPECT_EQ(ParseIpv4Packet(cut, Direction::Send)->localPort, 0);
}

TEST(IpPacketTest, RefusesWhatIsNotAWholeIpv4Header) {
  auto ipv6 = TcpHeaders();
  ipv6[0] = 0x65;
  EXPECT_FALSE(ParseIpv4Packet(ipv6, Direction::Send));
  auto shortWords = TcpHeaders();
  shortWords[0] = 0x44;
  EXPECT_FALSE(ParseIpv4Packet(shortWords, Direction::Send));
  EXPECT_FALSE(ParseIpv4Packet(std::vector<std::uint8_t>(19, 0x45), Direction::Send));
  EXPECT_FALSE(KeyOfIpv4Packet(std::vector<std::uint8_t>(19, 0x45), Direction::Send));
}

TEST(IpPacketTest, KeysTellDirectionAndIdentificationApart) {
  const auto key = KeyOfIpv4Packet(TcpHeaders(), Direction::Send);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->identification, 0x1234);
  EXPECT_NE(*key, *KeyOfIpv4Packet(TcpHeaders(), Direction::Receive));
  auto other = TcpHeaders();
  other[5] = 0x35;
  EXPECT_NE(*key, *KeyOfIpv4Packet(other, Direction::Send));
}

TEST(IpPacketTest, OffloadPacketsCountAsThePacketsTheyBecomeOnTheWire) {
  // IPv4 20 bytes and TCP 32 bytes (with timestamps) repeat in each segment.
  auto tcp = TcpHeaders();
  tcp.resize(40);
  tcp[32] = 0x80;
  EXPECT_EQ(WireLength(tcp, 1500, 1500), 1500u);
  EXPECT_EQ(WireLength(tcp, 52 + 1448 * 45, 1500), 45u * 1500);
  EXPECT_EQ(WireLength(tcp, 52 + 1448 * 2 + 100, 1500), 1500u * 2 + 152);

  // Other protocols become fragments, which repeat only the IPv4 header
  // and carry a multiple of 8 bytes.
  auto udp = tcp;
  udp[9] = kProtocolUdp;
  EXPECT_EQ(WireLength(udp, 65000, 1500), 65000u + 43 * 20);
  EXPECT_EQ(WireLength(udp, 3000, 1006), 3000u + 3 * 20);  // 984 bytes a fragment

  // Without the whole header, or with an MTU below it, nothing is guessed.
  EXPECT_EQ(WireLength(std::vector<std::uint8_t>(10, 0x45), 9000, 1500), 9000u);
  EXPECT_EQ(WireLength(tcp, 9000, 40), 9000u);
}

}  // namespace
}  // namespace harlune
