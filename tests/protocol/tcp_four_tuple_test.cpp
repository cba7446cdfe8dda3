#include "protocol/tcp_four_tuple.h"

#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/request_codes.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;

// 192.168.1.10:50000 -> 93.184.216.34:443, every field in network order.
const TcpFourTuple kTuple{HostToNet32(0xC0A8010A), HostToNet16(50000), HostToNet32(0x5DB8D822),
                          HostToNet16(443)};
constexpr const char* kGolden = "c0 a8 01 0a c3 50 00 00 5d b8 d8 22 01 bb 00 00";

TEST(TcpFourTuple, GoldenBytesRoundTrip) {
  EXPECT_EQ(Hex(EncodeTcpFourTuple(kTuple)), kGolden);
  EXPECT_EQ(DecodeTcpFourTuple(Unhex(kGolden)), kTuple);
}

TEST(TcpFourTuple, RequestIsAWriteCodeWithAFourByteStatus) {
  EXPECT_EQ(static_cast<std::uint32_t>(RequestCode::HlResetTcpConnection), 0x4323A110U);
  const auto layout = FindRequestLayout(0x4323A110);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->name, "HlResetTcpConnection");
  const std::vector<std::uint8_t> input = Unhex(kGolden);
  EXPECT_TRUE(RequestSizesValid(*layout, input, 4));
  EXPECT_FALSE(RequestSizesValid(*layout, input, 0));
  EXPECT_FALSE(RequestSizesValid(*layout, input, 8));
}

TEST(TcpFourTuple, AnythingButAConnectionsTupleIsRefused) {
  const std::vector<std::uint8_t> good = Unhex(kGolden);
  EXPECT_FALSE(DecodeTcpFourTuple(std::span(good).first(15)));
  std::vector<std::uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_FALSE(DecodeTcpFourTuple(longer));
  EXPECT_FALSE(DecodeTcpFourTuple({}));

  const auto withByte = [&good](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = good;
    bytes[at] = value;
    return DecodeTcpFourTuple(bytes);
  };
  EXPECT_FALSE(withByte(6, 1));   // local port beyond 16 bits
  EXPECT_FALSE(withByte(15, 1));  // remote port beyond 16 bits
  // A listening socket's tuple, and wildcard, multicast or broadcast ends.
  EXPECT_FALSE(DecodeTcpFourTuple(Unhex("c0 a8 01 0a c3 50 00 00 00 00 00 00 00 00 00 00")));
  EXPECT_FALSE(DecodeTcpFourTuple(Unhex("c0 a8 01 0a 00 00 00 00 5d b8 d8 22 01 bb 00 00")));
  EXPECT_FALSE(withByte(0, 0));    // 0.168.1.10
  EXPECT_FALSE(withByte(8, 224));  // 224.184.216.34
  EXPECT_FALSE(withByte(8, 239));  // 239.184.216.34
  EXPECT_TRUE(withByte(8, 240));   // beyond multicast
  EXPECT_TRUE(withByte(0, 127));   // loopback is a connection like any other
  EXPECT_FALSE(DecodeTcpFourTuple(Unhex("c0 a8 01 0a c3 50 00 00 ff ff ff ff 01 bb 00 00")));
}

}  // namespace
}  // namespace harlune::protocol
