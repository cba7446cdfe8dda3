#include "passthru/engine/capture_ring.h"

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"

namespace harlune {
namespace {

using testing::Ipv4;
using testing::TcpPacket;

std::uint16_t Be16(const CaptureRecord& r, std::size_t offset) {
  return static_cast<std::uint16_t>((r[offset] << 8) | r[offset + 1]);
}

TEST(CaptureRecord, SendPacketFieldsLieWhereTheMonitorReadsThem) {
  Packet packet = TcpPacket(Direction::Send, 49152, 443, 1500);
  packet.localMac = {2, 0, 0, 0, 0, 1};
  packet.remoteMac = {2, 0, 0, 0, 0, 2};
  const CaptureRecord r = EncodeCaptureRecord(packet, 7, Verdict::Queued, 0x1234);

  EXPECT_EQ(protocol::LoadLe32(r, 0), 7u);
  EXPECT_EQ(r[9], 2);   // destination MAC = remote when sending
  EXPECT_EQ(r[15], 1);  // source MAC = local
  EXPECT_EQ(Be16(r, 16), 0x0800);
  EXPECT_EQ(r[18], 0x45);
  EXPECT_EQ(Be16(r, 20), 1500);
  EXPECT_EQ(Be16(r, 22), 0x1234);
  EXPECT_EQ(r[27], 6);
  EXPECT_EQ(protocol::LoadRaw<std::uint32_t>(r, 30), Ipv4(10, 0, 0, 2));
  EXPECT_EQ(protocol::LoadRaw<std::uint32_t>(r, 34), Ipv4(192, 0, 2, 10));
  EXPECT_EQ(Be16(r, 38), 49152);
  EXPECT_EQ(Be16(r, 40), 443);
  EXPECT_EQ(r[51], 0x10);
  EXPECT_EQ(r[58], 0);
  EXPECT_EQ(r[59], 1);

  // The IPv4 header's checksum verifies: the sum of its words is 0xFFFF.
  std::uint32_t sum = 0;
  for (std::size_t i = 18; i < 38; i += 2) {
    sum += Be16(r, i);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  EXPECT_EQ(sum, 0xFFFFu);
}

TEST(CaptureRecord, ReceivedPacketsSwapSourceAndDestination) {
  const CaptureRecord r =
      EncodeCaptureRecord(TcpPacket(Direction::Receive, 8080, 5555), 0, Verdict::Pass, 1);
  EXPECT_EQ(protocol::LoadRaw<std::uint32_t>(r, 30), Ipv4(192, 0, 2, 10));
  EXPECT_EQ(protocol::LoadRaw<std::uint32_t>(r, 34), Ipv4(10, 0, 0, 2));
  EXPECT_EQ(Be16(r, 38), 5555);
  EXPECT_EQ(Be16(r, 40), 8080);
  EXPECT_EQ(r[58], 1);
}

TEST(CaptureRecord, OtherProtocolsLeaveTheTransportBytesEmpty) {
  Packet icmp = TcpPacket(Direction::Send, 1, 2, 84);
  icmp.protocol = kProtocolIcmp;
  const CaptureRecord r = EncodeCaptureRecord(icmp, 0, Verdict::Drop, 1);
  for (std::size_t i = 38; i < 58; ++i) {
    EXPECT_EQ(r[i], 0) << i;
  }
  EXPECT_EQ(r[59], 2);
}

CaptureRecord Numbered(std::uint32_t n) {
  CaptureRecord r{};
  protocol::StoreLe32(r, 0, n);
  return r;
}

TEST(CaptureRing, ReadsOldestFirstAtMostAHundredAtATime) {
  CaptureRing ring;
  for (std::uint32_t n = 0; n < 150; ++n) {
    ring.Push(Numbered(n));
  }
  const auto first = ring.Take();
  ASSERT_EQ(first.size(), 100 * protocol::kCaptureRecordSize);
  EXPECT_EQ(protocol::LoadLe32(first, 0), 0u);
  EXPECT_EQ(protocol::LoadLe32(first, 99 * protocol::kCaptureRecordSize), 99u);
  const auto second = ring.Take();
  ASSERT_EQ(second.size(), 50 * protocol::kCaptureRecordSize);
  EXPECT_EQ(protocol::LoadLe32(second, 0), 100u);
  EXPECT_TRUE(ring.Take().empty());
}

TEST(CaptureRing, AFullRingDropsTheOldest) {
  CaptureRing ring(3);
  for (std::uint32_t n = 1; n <= 5; ++n) {
    ring.Push(Numbered(n));
  }
  const auto bytes = ring.Take();
  ASSERT_EQ(bytes.size(), 3 * protocol::kCaptureRecordSize);
  EXPECT_EQ(protocol::LoadLe32(bytes, 0), 3u);
  EXPECT_EQ(protocol::LoadLe32(bytes, 2 * protocol::kCaptureRecordSize), 5u);
}

}  // namespace
}  // namespace harlune
