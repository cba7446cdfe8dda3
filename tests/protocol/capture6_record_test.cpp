#include "protocol/capture6_record.h"

#include <vector>

#include <gtest/gtest.h>

#include "protocol/request_codes.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;

Capture6Record TcpRecord() {
  Capture6Record record;
  record.driverClassId = 3;
  record.destinationMac = {0x02, 0, 0, 0, 0, 0x02};
  record.sourceMac = {0x02, 0, 0, 0, 0, 0x01};
  record.trafficClass = 0xB8;
  record.flowLabel = 0xABCDE;
  record.payloadLength = 1240;
  record.nextHeader = 0;  // a hop-by-hop header first
  record.hopLimit = 64;
  record.source = ParseIpAddress("2001:2::1")->Ipv6Bytes();
  record.destination = ParseIpAddress("2001:2::2")->Ipv6Bytes();
  record.upperProtocol = 6;
  record.flags = kCapture6ExtensionHeaders;
  // Ports 50000 -> 443, sequence 1, acknowledgement 2, ACK|PSH, window 512.
  record.transportHeader = {0xC3, 0x50, 0x01, 0xBB, 0,    0,    0, 1, 0, 0,
                            0,    2,    0x50, 0x18, 0x02, 0x00, 0, 0, 0, 0};
  record.direction = 1;
  record.verdict = 2;
  return record;
}

constexpr const char* kGolden =
    "03 00 00 00 02 00 00 00 00 02 02 00 00 00 00 01 86 dd "
    "6b 8a bc de 04 d8 00 40 "
    "20 01 00 02 00 00 00 00 00 00 00 00 00 00 00 01 "
    "20 01 00 02 00 00 00 00 00 00 00 00 00 00 00 02 "
    "06 02 "
    "c3 50 01 bb 00 00 00 01 00 00 00 02 50 18 02 00 00 00 00 00 "
    "01 02 00 00";

TEST(Capture6Record, GoldenBytesRoundTrip) {
  EXPECT_EQ(Hex(EncodeCapture6Record(TcpRecord())), kGolden);
  EXPECT_EQ(DecodeCapture6Record(Unhex(kGolden)), TcpRecord());
}

TEST(Capture6Record, ReadRequestIsAReadCodeOfAHundredRecords) {
  EXPECT_EQ(static_cast<std::uint32_t>(RequestCode::HlReadPackets6), 0x4323611CU);
  const auto layout = FindRequestLayout(0x4323611C);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->name, "HlReadPackets6");
  EXPECT_EQ(layout->outputSize, 8400U);
  EXPECT_TRUE(RequestSizesValid(*layout, {}, 8400));
  EXPECT_FALSE(RequestSizesValid(*layout, {}, 6000));
  EXPECT_EQ(Capture6RecordCount(8400), 100U);
  EXPECT_EQ(Capture6RecordCount(83), 0U);
  EXPECT_EQ(Capture6RecordCount(169), 2U);
}

TEST(Capture6Record, OnlyWholeIpv6RecordsDecode) {
  const std::vector<std::uint8_t> good = Unhex(kGolden);
  EXPECT_FALSE(DecodeCapture6Record(std::span(good).first(83)));
  std::vector<std::uint8_t> ipv4Type = good;
  ipv4Type[17] = 0x00;  // 0x8600 is no IPv6 frame
  EXPECT_FALSE(DecodeCapture6Record(ipv4Type));
  std::vector<std::uint8_t> version4 = good;
  version4[18] = 0x4b;
  EXPECT_FALSE(DecodeCapture6Record(version4));
}

TEST(Capture6Record, BatchesSplitIntoRecordsOfTheirFamily) {
  const std::vector<std::uint8_t> bytes(2 * kCapture6RecordSize + 10, 0);
  const CaptureBatch ipv6{true, bytes};
  EXPECT_EQ(ipv6.RecordCount(), 2U);
  EXPECT_EQ(ipv6.Record(1).data(), bytes.data() + kCapture6RecordSize);
  const CaptureBatch ipv4{false, bytes};
  EXPECT_EQ(ipv4.RecordCount(), (2 * kCapture6RecordSize + 10) / kCaptureRecordSize);
}

}  // namespace
}  // namespace harlune::protocol
