#include "protocol/class_family.h"

#include <vector>

#include <gtest/gtest.h>

#include "protocol/request_codes.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;

IpAddress::Bytes16 V6(const char* text) { return ParseIpAddress(text)->Ipv6Bytes(); }

// Class 7, IPv6 only, local 2001:2::/48, remote 2001:2:0:1::5/128.
const ClassFamily kFamily{
    7, AddressFamilies::kIpv6, {V6("2001:2::"), 48}, {V6("2001:2:0:1::5"), 128}};
constexpr const char* kGolden =
    "07 00 00 00 02 30 80 00 "
    "20 01 00 02 00 00 00 00 00 00 00 00 00 00 00 00 "
    "20 01 00 02 00 00 00 01 00 00 00 00 00 00 00 05";

TEST(ClassFamily, GoldenBytesRoundTrip) {
  EXPECT_EQ(Hex(EncodeClassFamily(kFamily)), kGolden);
  EXPECT_EQ(DecodeClassFamily(Unhex(kGolden)), kFamily);
}

TEST(ClassFamily, RequestIsAWriteCodeWithoutOutput) {
  EXPECT_EQ(static_cast<std::uint32_t>(RequestCode::HlSetTBFClassFamily), 0x4323A118U);
  const auto layout = FindRequestLayout(0x4323A118);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->name, "HlSetTBFClassFamily");
  const std::vector<std::uint8_t> input = Unhex(kGolden);
  EXPECT_TRUE(RequestSizesValid(*layout, input, 0));
  EXPECT_FALSE(RequestSizesValid(*layout, input, 4));
  EXPECT_FALSE(RequestSizesValid(*layout, std::span(input).first(39), 0));
  // Setting a value outright: a lost reply may be answered by sending it again.
  EXPECT_TRUE(RequestRepeatable(0x4323A118));
}

TEST(ClassFamily, OutOfRangeFieldsAreRefused) {
  const std::vector<std::uint8_t> good = Unhex(kGolden);
  const auto with = [&good](std::size_t offset, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = good;
    bytes[offset] = value;
    return DecodeClassFamily(bytes);
  };
  EXPECT_FALSE(with(4, 3));    // no such family
  EXPECT_FALSE(with(5, 129));  // prefix longer than an address
  EXPECT_FALSE(with(6, 200));
  EXPECT_FALSE(with(7, 1));  // reserved byte
  EXPECT_TRUE(with(5, 0));
  EXPECT_FALSE(DecodeClassFamily(std::span(good).first(0)));
}

TEST(ClassFamily, RecordAloneCoversBothFamiliesOnlyForAnyAddress) {
  _TBF_SETTING_DATA record;
  EXPECT_EQ(DefaultFamiliesOf(record), AddressFamilies::kBoth);
  record.RemoteIPAddrMask = 0xFFFFFFFF;
  EXPECT_EQ(DefaultFamiliesOf(record), AddressFamilies::kIpv4);
  record.RemoteIPAddrMask = 0;
  record.LocalIPAddrMask = 0x00FFFFFF;
  EXPECT_EQ(DefaultFamiliesOf(record), AddressFamilies::kIpv4);
}

TEST(ClassFamily, PrefixesMatchTheirLeadingBits) {
  const Ipv6Prefix net48{V6("2001:2::"), 48};
  EXPECT_TRUE(Ipv6PrefixMatches(net48, V6("2001:2::1")));
  EXPECT_TRUE(Ipv6PrefixMatches(net48, V6("2001:2:0:ffff::1")));
  EXPECT_FALSE(Ipv6PrefixMatches(net48, V6("2001:3::1")));
  // A length that is not a whole number of bytes: 2001:2::/31 holds 2001:3::.
  const Ipv6Prefix net31{V6("2001:2::"), 31};
  EXPECT_TRUE(Ipv6PrefixMatches(net31, V6("2001:3::1")));
  EXPECT_FALSE(Ipv6PrefixMatches(net31, V6("2001:4::1")));
  EXPECT_TRUE(Ipv6PrefixMatches({V6("2001:2::5"), 128}, V6("2001:2::5")));
  EXPECT_FALSE(Ipv6PrefixMatches({V6("2001:2::5"), 128}, V6("2001:2::4")));
  EXPECT_TRUE(Ipv6PrefixMatches({V6("2001:2::5"), 0}, V6("::1")));
}

}  // namespace
}  // namespace harlune::protocol
