#include "protocol/request_codes.h"

#include <vector>

#include <gtest/gtest.h>

#include "protocol/replies.h"

namespace harlune::protocol {
namespace {

// Device type, function and access of a device-control code.
struct CodeFields {
  std::uint32_t deviceType, function, access;
};

CodeFields Fields(RequestCode code) {
  const auto value = static_cast<std::uint32_t>(code);
  return {value >> 16, (value >> 2) & 0xFFF, (value >> 14) & 3};
}

TEST(RequestCodes, CodesEncodeTheirDeviceFields) {
  // Buffered transfer (method 0) for every request.
  for (RequestCode code : {RequestCode::HlBindAdapter, RequestCode::HlReadPackets,
                           RequestCode::HlSetApplicationPorts, RequestCode::HlReleaseAdapter}) {
    EXPECT_EQ(static_cast<std::uint32_t>(code) & 3, 0U);
  }
  const auto bind = Fields(RequestCode::HlBindAdapter);
  EXPECT_EQ(bind.deviceType, 0x12U);
  EXPECT_EQ(bind.function, 0x202U);
  EXPECT_EQ(bind.access, 3U);  // read + write
  const auto read = Fields(RequestCode::HlReadPackets);
  EXPECT_EQ(read.deviceType, 0x4323U);
  EXPECT_EQ(read.function, 0x835U);
  EXPECT_EQ(read.access, 1U);                                   // read
  EXPECT_EQ(Fields(RequestCode::HlDeleteTBFClass).access, 2U);  // write
}

TEST(RequestCodes, UnknownCodesHaveNoLayout) {
  EXPECT_FALSE(FindRequestLayout(0));
  EXPECT_FALSE(FindRequestLayout(0x432320C5));
  ASSERT_TRUE(FindRequestLayout(0x001260EC));
  EXPECT_EQ(FindRequestLayout(0x001260EC)->name, "HlGetVersion");
  EXPECT_EQ(RequestName(RequestCode::HlAddTBFClass), "HlAddTBFClass");
}

TEST(RequestCodes, OnlyRequestsThatChangeNothingTwiceMayBeRepeated) {
  for (const RequestCode code :
       {RequestCode::HlGetVersion, RequestCode::HlGetTBFClassStatistics,
        RequestCode::HlGetTotalStatistics, RequestCode::HlReadPackets,
        RequestCode::HlSetTBFClassRate, RequestCode::HlSetApplicationPorts}) {
    EXPECT_TRUE(RequestRepeatable(static_cast<std::uint32_t>(code))) << RequestName(code);
  }
  for (const RequestCode code :
       {RequestCode::HlInitialize, RequestCode::HlUninitialize, RequestCode::HlReleaseAdapter,
        RequestCode::HlAddTBFClass, RequestCode::HlModifyTBFClass, RequestCode::HlDeleteTBFClass,
        RequestCode::HlUpTBFClass, RequestCode::HlDownTBFClass, RequestCode::HlResetTraffic}) {
    EXPECT_FALSE(RequestRepeatable(static_cast<std::uint32_t>(code))) << RequestName(code);
  }
  EXPECT_FALSE(RequestRepeatable(0x432320C5));  // unknown: never assumed harmless
}

TEST(RequestCodes, FixedRequestsNeedTheirExactSizes) {
  const auto& add = LayoutOf(RequestCode::HlAddTBFClass);
  const std::vector<std::uint8_t> record(200);
  EXPECT_TRUE(RequestSizesValid(add, record, 4));
  EXPECT_FALSE(RequestSizesValid(add, std::span(record).first(199), 4));
  EXPECT_FALSE(RequestSizesValid(add, record, 5));
  EXPECT_FALSE(RequestSizesValid(add, record, 0));

  const auto& rate = LayoutOf(RequestCode::HlSetTBFClassRate);
  const std::vector<std::uint8_t> eight(8);
  EXPECT_TRUE(RequestSizesValid(rate, eight, 0));
  EXPECT_FALSE(RequestSizesValid(rate, std::span(eight).first(4), 0));

  EXPECT_TRUE(RequestSizesValid(LayoutOf(RequestCode::HlReadPackets), {}, 6000));
  EXPECT_TRUE(RequestSizesValid(LayoutOf(RequestCode::HlGetTotalStatistics), {}, 24));
  EXPECT_TRUE(RequestSizesValid(LayoutOf(RequestCode::HlGetTBFClassStatistics),
                                std::span(eight).first(4), 12));
}

TEST(RequestCodes, BindPathMustBeWholeUtf16WithinTheLimit) {
  const auto& bind = LayoutOf(RequestCode::HlBindAdapter);
  EXPECT_TRUE(RequestSizesValid(bind, std::vector<std::uint8_t>(2), 4));
  EXPECT_TRUE(RequestSizesValid(bind, std::vector<std::uint8_t>(2 * kMaxDevicePathUnits), 4));
  EXPECT_FALSE(RequestSizesValid(bind, std::vector<std::uint8_t>(2 * kMaxDevicePathUnits + 2), 4));
  EXPECT_FALSE(RequestSizesValid(bind, std::vector<std::uint8_t>(3), 4));
  EXPECT_FALSE(RequestSizesValid(bind, {}, 4));
}

TEST(RequestCodes, ApplicationPortsLengthFollowsItsCount) {
  const auto& ports = LayoutOf(RequestCode::HlSetApplicationPorts);
  const auto two = EncodeApplicationPorts({1, {80, 81}});
  EXPECT_TRUE(RequestSizesValid(ports, *two, 0));
  EXPECT_FALSE(RequestSizesValid(ports, std::span(*two).first(10), 0));
}

}  // namespace
}  // namespace harlune::protocol
