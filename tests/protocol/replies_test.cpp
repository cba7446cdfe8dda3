#include "protocol/replies.h"

#include <gtest/gtest.h>

#include "protocol/request_codes.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;

TEST(Replies, ClassStatisticsAreLowWordFirst) {
  const ClassStatistics stats{0x0102030405060708, 0x0A0B0C0D};
  const auto bytes = EncodeClassStatistics(stats);
  EXPECT_EQ(Hex(bytes), "08 07 06 05 04 03 02 01 0d 0c 0b 0a");
  EXPECT_EQ(DecodeClassStatistics(bytes), stats);
}

TEST(Replies, TotalStatisticsLayout) {
  const TotalStatistics stats{0x100000001, 2, 3, 4};
  const auto bytes = EncodeTotalStatistics(stats);
  EXPECT_EQ(Hex(bytes), "01 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 04 00 00 00");
  EXPECT_EQ(DecodeTotalStatistics(bytes), stats);
}

TEST(Replies, VersionCountsOnlyWithExactlyFourBytes) {
  const auto reply = Unhex("26 4e 00 00");
  EXPECT_EQ(DecodeVersion(reply), kDriverVersion);
  EXPECT_EQ(DecodeVersion(std::span(reply).first(2)), 0U);
  EXPECT_EQ(DecodeVersion({}), 0U);
  const auto longer = Unhex("26 4e 00 00 00");
  EXPECT_EQ(DecodeVersion(longer), 0U);
}

TEST(Replies, ApplicationPortsAreCountedHostOrderPorts) {
  const ApplicationPorts request{7, {80, 443}};
  const auto bytes = EncodeApplicationPorts(request);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Hex(*bytes), "07 00 00 00 02 00 00 00 50 00 bb 01");
  EXPECT_EQ(DecodeApplicationPorts(*bytes), request);
}

TEST(Replies, NoApplicationPortsIsEightBytes) {
  const auto bytes = EncodeApplicationPorts({3, {}});
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 8U);
}

TEST(Replies, ApplicationPortsLimits) {
  ApplicationPorts full{1, std::vector<std::uint16_t>(kMaxApplicationPorts, 8080)};
  ASSERT_TRUE(EncodeApplicationPorts(full));
  EXPECT_EQ(EncodeApplicationPorts(full)->size(), 8 + 2 * kMaxApplicationPorts);
  full.ports.push_back(1);
  EXPECT_FALSE(EncodeApplicationPorts(full));
}

TEST(Replies, ApplicationPortsDecoderRefusesInconsistentLengths) {
  EXPECT_FALSE(DecodeApplicationPorts(Unhex("07 00 00 00")));                    // short header
  EXPECT_FALSE(DecodeApplicationPorts(Unhex("07 00 00 00 02 00 00 00 50 00")));  // one port missing
  EXPECT_FALSE(DecodeApplicationPorts(Unhex("07 00 00 00 00 00 00 00 50 00")));  // extra bytes
  EXPECT_FALSE(DecodeApplicationPorts(Unhex("07 00 00 00 01 08 00 00 50 00")));  // count 2049
  EXPECT_FALSE(DecodeApplicationPorts(Unhex("07 00 00 00 ff ff ff ff")));        // huge count
}

TEST(Replies, PacketReadsCountOnlyWholeRecords) {
  EXPECT_EQ(CaptureRecordCount(0), 0U);
  EXPECT_EQ(CaptureRecordCount(119), 1U);
  EXPECT_EQ(CaptureRecordCount(120), 2U);
  EXPECT_EQ(CaptureRecordCount(kReadPacketsBufferSize), 100U);
}

}  // namespace
}  // namespace harlune::protocol
