// The engine's side of real mode: records of captured frames, and the
// session events that a real interface follows.

#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "passthru/engine/adapter_state.h"
#include "passthru/engine/capture_ring.h"

namespace harlune {
namespace {

using testing::AnyTcpSend;
using testing::TcpPacket;

// Ethernet header, then an IPv4 header of `words` words, then 20 bytes 0xAB.
std::vector<std::uint8_t> Frame(std::uint8_t words) {
  std::vector<std::uint8_t> frame = {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 0x08, 0x00};
  std::vector<std::uint8_t> ip(std::size_t{4} * words, 0x11);
  ip[0] = static_cast<std::uint8_t>(0x40 | words);
  frame.insert(frame.end(), ip.begin(), ip.end());
  frame.insert(frame.end(), 20, 0xAB);
  return frame;
}

TEST(FrameRecordTest, KeepsTheRealHeadersAndCutsOptions) {
  const auto plain = EncodeFrameRecord(Frame(5), 9, Direction::Receive, Verdict::Queued);
  EXPECT_EQ(plain[0], 9);
  EXPECT_EQ(plain[4], 2);  // destination MAC
  EXPECT_EQ(plain[15], 1);
  EXPECT_EQ(plain[18], 0x45);
  EXPECT_EQ(plain[28], 0x11);  // the header's own checksum bytes, kept
  EXPECT_EQ(plain[38], 0xAB);
  EXPECT_EQ(plain[58], 1);
  EXPECT_EQ(plain[59], 1);

  const auto withOptions = EncodeFrameRecord(Frame(8), 0, Direction::Send, Verdict::Pass);
  EXPECT_EQ(withOptions[18], 0x45);
  EXPECT_EQ(withOptions[38], 0xAB);  // the transport header after the options
  std::uint32_t sum = 0;
  for (std::size_t i = 18; i < 38; i += 2) {
    sum += static_cast<std::uint32_t>((withOptions[i] << 8) | withOptions[i + 1]);
  }
  while (sum >> 16 != 0) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  EXPECT_EQ(sum, 0xFFFFu);  // the checksum fits the 20 bytes kept
}

TEST(FrameRecordTest, AShortFrameLeavesZeros) {
  auto frame = Frame(5);
  frame.resize(40);
  const auto record = EncodeFrameRecord(frame, 0, Direction::Send, Verdict::Pass);
  EXPECT_EQ(record[38], 0xAB);
  EXPECT_EQ(record[43], 0xAB);
  EXPECT_EQ(record[44], 0);
}

TEST(FrameRecordTest, CapturedFramesCarryTheMatchingClassAndOfferedPacketsNoRecord) {
  ManualClock clock;
  AdapterState adapter("veth0", clock);
  adapter.SetCaptureOffered(false);
  const auto id = adapter.AddClass(AnyTcpSend(1000));
  adapter.Offer(TcpPacket(Direction::Send, 5000, 80));
  EXPECT_TRUE(adapter.ReadPackets().empty());
  EXPECT_EQ(adapter.TotalStatistics().sentBytes, 1000u);  // still counted

  adapter.CaptureFrame(TcpPacket(Direction::Send, 5000, 80), Frame(5), Verdict::Drop);
  adapter.CaptureFrame(TcpPacket(Direction::Receive, 5000, 80), Frame(5), Verdict::Pass);
  const auto records = adapter.ReadPackets();
  ASSERT_EQ(records.size(), 120u);
  EXPECT_EQ(records[0], *id);
  EXPECT_EQ(records[59], 2);
  EXPECT_EQ(records[60], 0);  // a received packet does not match a send class
  EXPECT_EQ(adapter.TotalStatistics().receivedBytes, 0u);  // capture counts nothing
}

}  // namespace
}  // namespace harlune
