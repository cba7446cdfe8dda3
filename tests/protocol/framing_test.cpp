#include "protocol/framing.h"

#include <gtest/gtest.h>

#include "protocol/request_codes.h"
#include "protocol/utf16.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;

TEST(Framing, RequestFrameIsHeaderThenInput) {
  const auto path = EncodeUtf16Le(u"\\DEVICE\\eth0");
  const auto frame = EncodeRequest(static_cast<std::uint32_t>(RequestCode::HlBindAdapter), path, 4);
  EXPECT_EQ(Hex(frame),
            "08 c8 12 00 18 00 00 00 04 00 00 00 "
            "5c 00 44 00 45 00 56 00 49 00 43 00 45 00 5c 00 65 00 74 00 68 00 30 00");
}

TEST(Framing, RequestHeaderRoundTrips) {
  const RequestHeader header{0x432360D4, 0, 6000};
  EXPECT_EQ(Hex(EncodeRequestHeader(header)), "d4 60 23 43 00 00 00 00 70 17 00 00");
  EXPECT_EQ(DecodeRequestHeader(EncodeRequestHeader(header)), header);
}

TEST(Framing, HeadersBeyondTheBufferLimitAreRefused) {
  EXPECT_TRUE((RequestHeader{1, kMaxFrameBuffer, kMaxFrameBuffer}.WithinLimits()));
  EXPECT_FALSE((RequestHeader{1, kMaxFrameBuffer + 1, 0}.WithinLimits()));
  EXPECT_FALSE((RequestHeader{1, 0, kMaxFrameBuffer + 1}.WithinLimits()));
}

TEST(Framing, SuccessfulReplyCarriesItsOutput) {
  const std::vector<std::uint8_t> version{0x26, 0x4e, 0, 0};
  EXPECT_EQ(Hex(EncodeReply(device_error::kSuccess, version)),
            "00 00 00 00 04 00 00 00 26 4e 00 00");
}

TEST(Framing, FailedReplyNeverCarriesOutput) {
  const std::vector<std::uint8_t> output{1, 2, 3};
  EXPECT_EQ(Hex(EncodeReply(device_error::kNotReady, output)), "15 00 00 00 00 00 00 00");
  EXPECT_EQ(DecodeReplyHeader(EncodeReplyHeader({87, 0})), (ReplyHeader{87, 0}));
}

}  // namespace
}  // namespace harlune::protocol
