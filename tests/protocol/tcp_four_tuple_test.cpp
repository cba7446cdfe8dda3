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
const TcpFourTuple kTuple{IpAddress::FromIpv4(HostToNet32(0xC0A8010A)), HostToNet16(50000),
                          IpAddress::FromIpv4(HostToNet32(0x5DB8D822)), HostToNet16(443)};
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

// [2001:2::10]:50000 -> [2001:2:0:1::7]:443.
const TcpFourTuple kTuple6{*ParseIpAddress("2001:2::10"), HostToNet16(50000),
                           *ParseIpAddress("2001:2:0:1::7"), HostToNet16(443)};
constexpr const char* kGolden6 =
    "20 01 00 02 00 00 00 00 00 00 00 00 00 00 00 10 c3 50 00 00 "
    "20 01 00 02 00 00 00 01 00 00 00 00 00 00 00 07 01 bb 00 00";

TEST(Tcp6FourTuple, GoldenBytesRoundTripUnderItsOwnCode) {
  EXPECT_EQ(Hex(EncodeTcp6FourTuple(kTuple6)), kGolden6);
  EXPECT_EQ(DecodeTcp6FourTuple(Unhex(kGolden6)), kTuple6);
  EXPECT_EQ(static_cast<std::uint32_t>(RequestCode::HlResetTcp6Connection), 0x4323A114U);
  const auto layout = FindRequestLayout(0x4323A114);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->name, "HlResetTcp6Connection");
  EXPECT_TRUE(RequestSizesValid(*layout, Unhex(kGolden6), 4));
  EXPECT_FALSE(RequestSizesValid(*layout, Unhex(kGolden), 4)) << "an IPv4 tuple";
  EXPECT_FALSE(RequestSizesValid(*FindRequestLayout(0x4323A110), Unhex(kGolden6), 4));
}

TEST(Tcp6FourTuple, AnythingButAnIpv6ConnectionsTupleIsRefused) {
  const std::vector<std::uint8_t> good = Unhex(kGolden6);
  EXPECT_FALSE(DecodeTcp6FourTuple(std::span(good).first(39)));
  const auto withBytes = [&good](std::size_t at, std::vector<std::uint8_t> values) {
    std::vector<std::uint8_t> bytes = good;
    std::copy(values.begin(), values.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return DecodeTcp6FourTuple(bytes);
  };
  EXPECT_FALSE(withBytes(18, {1}));                               // local port beyond 16 bits
  EXPECT_FALSE(withBytes(39, {1}));                               // remote port beyond 16 bits
  EXPECT_FALSE(withBytes(36, {0, 0}));                            // no remote port
  EXPECT_FALSE(withBytes(20, {0xff, 2}));                         // multicast peer
  EXPECT_FALSE(withBytes(0, std::vector<std::uint8_t>(16, 0)));   // an unbound [::]
  EXPECT_FALSE(withBytes(20, std::vector<std::uint8_t>(16, 0)));  // a listener's [::]
  // An IPv4-mapped tuple goes by the sixteen-byte request.
  EXPECT_FALSE(withBytes(0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 2}));
  EXPECT_TRUE(withBytes(0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}))
      << "::1 is a connection like any other";
  EXPECT_TRUE(withBytes(0, {0xfe, 0x80})) << "link-local";
}

TEST(TcpFourTuple, NamesOnlyConnectionsOfOneFamily) {
  TcpFourTuple mixed = kTuple;
  mixed.remoteAddr = kTuple6.remoteAddr;
  EXPECT_FALSE(NamesTcpConnection(mixed));
  TcpFourTuple widePort = kTuple;
  widePort.localPort = 0x10000;
  EXPECT_FALSE(NamesTcpConnection(widePort));
  EXPECT_TRUE(NamesTcpConnection(kTuple));
  EXPECT_TRUE(NamesTcpConnection(kTuple6));
}

}  // namespace
}  // namespace harlune::protocol
