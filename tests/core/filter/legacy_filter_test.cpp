#include "core/filter/legacy_filter.h"

#include <cstdint>
#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using protocol::PortRange;

constexpr PortRange Range(std::uint16_t first, std::uint16_t last) {
  return protocol::HostPortRange(first, last);
}

// A TCP filter for local 192.168.0.2 port 80 and 1000-2000 to 10.0.0.0/8.
PacketFilter MakeWebFilter() {
  PacketFilter filter;
  filter.Protocol = 6;
  filter.Drop = true;
  filter.DropSynOnly = false;
  filter.DoBand = true;
  filter.Bandwidth = 50;
  filter.MinimumPacketSize = 200;
  filter.Direction = PacketFilter::kDirectionUp;
  filter.MyIp = Ipv4(192, 168, 0, 2);
  filter.MyIpMask = Ipv4(255, 255, 255, 255);
  filter.OtherIp = Ipv4(10, 0, 0, 1);
  filter.OtherIpMask = Ipv4(255, 0, 0, 0);
  filter.IsMyAllPort = false;
  filter.MyPorts = {Range(80, 80), Range(1000, 2000)};
  filter.IsOtherAllPort = false;
  filter.OtherPorts = {Range(53, 53)};
  return filter;
}

void Put(PlainFilterBytes& bytes, std::size_t offset, std::initializer_list<std::uint8_t> values) {
  for (const std::uint8_t value : values) {
    bytes.at(offset++) = value;
  }
}

TEST(PlainFilterTest, EncodesTheKnownFilterAtItsOffsets) {
  PlainFilterBytes expected{};
  Put(expected, 0, {0x06, 0x00});
  Put(expected, 4, {192, 168, 0, 2});
  Put(expected, 8, {10, 0, 0, 1});
  Put(expected, 12, {255, 255, 255, 255});
  Put(expected, 16, {255, 0, 0, 0});
  Put(expected, 20, {2, 0, 0, 0});
  Put(expected, 24, {1, 0, 0, 0});
  Put(expected, 28, {0x00, 0x50, 0x00, 0x50, 0x03, 0xE8, 0x07, 0xD0});
  Put(expected, 92, {0x00, 0x35, 0x00, 0x35});
  Put(expected, 156, {1, 0});
  Put(expected, 160, {50, 0, 0, 0});
  Put(expected, 164, {200, 0, 0, 0});
  EXPECT_EQ(EncodePlainFilter(MakeWebFilter().ToPlainFilter()), expected);
}

TEST(PlainFilterTest, EncodesEveryFieldLittleEndianAndPortsAtTheirSlot) {
  PlainFilter plain;
  plain.protocolNumber = 0x1234;
  plain.sourcePorts[15] = Range(0x0102, 0x0304);
  plain.destinationPorts[15] = Range(0x0506, 0x0708);
  plain.dropSynOnly = true;
  plain.bandwidth = -1;
  plain.minimumPacketSize = 0x01020304;
  const PlainFilterBytes bytes = EncodePlainFilter(plain);
  EXPECT_EQ(bytes[0], 0x34);
  EXPECT_EQ(bytes[1], 0x12);
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[88], bytes[89], bytes[90], bytes[91]}),
            (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[152], bytes[153], bytes[154], bytes[155]}),
            (std::array<std::uint8_t, 4>{5, 6, 7, 8}));
  EXPECT_EQ(bytes[156], 0);
  EXPECT_EQ(bytes[157], 1);
  EXPECT_EQ(bytes[158], 0);  // padding
  EXPECT_EQ(bytes[159], 0);
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[160], bytes[161], bytes[162], bytes[163]}),
            (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ((std::array<std::uint8_t, 4>{bytes[164], bytes[165], bytes[166], bytes[167]}),
            (std::array<std::uint8_t, 4>{4, 3, 2, 1}));
}

TEST(PacketFilterToPlainTest, DirectionDownMakesTheOtherSideTheSource) {
  PacketFilter filter = MakeWebFilter();
  filter.Direction = PacketFilter::kDirectionDown;
  const PlainFilter plain = filter.ToPlainFilter();
  EXPECT_EQ(plain.sourceAddress, Ipv4(10, 0, 0, 1));
  EXPECT_EQ(plain.sourceMask, Ipv4(255, 0, 0, 0));
  EXPECT_EQ(plain.sourcePortCount, 1u);
  EXPECT_EQ(plain.sourcePorts[0], Range(53, 53));
  EXPECT_EQ(plain.destinationAddress, Ipv4(192, 168, 0, 2));
  EXPECT_EQ(plain.destinationMask, Ipv4(255, 255, 255, 255));
  EXPECT_EQ(plain.destinationPortCount, 2u);
  EXPECT_EQ(plain.destinationPorts[1], Range(1000, 2000));
  EXPECT_TRUE(plain.drop);
  EXPECT_EQ(plain.bandwidth, 50);
}

TEST(PacketFilterToPlainTest, DirectionOtherLeavesAddressesAndPortsZero) {
  for (const std::int32_t direction : {PacketFilter::kDirectionOther, 3, -1}) {
    PacketFilter filter = MakeWebFilter();
    filter.Direction = direction;
    PlainFilter expected;
    expected.protocolNumber = 6;
    expected.drop = true;
    expected.dropSynOnly = false;
    expected.bandwidth = 50;
    expected.minimumPacketSize = 200;
    EXPECT_EQ(filter.ToPlainFilter(), expected) << "direction " << direction;
  }
}

TEST(PacketFilterToPlainTest, AllPortsFlagsGiveCountZeroWhateverTheLists) {
  PacketFilter filter = MakeWebFilter();
  filter.IsMyAllPort = true;
  filter.IsOtherAllPort = true;
  const PlainFilter plain = filter.ToPlainFilter();
  EXPECT_EQ(plain.sourcePortCount, 0u);
  EXPECT_EQ(plain.destinationPortCount, 0u);
  EXPECT_EQ(plain.sourcePorts, protocol::PortRanges{});
  EXPECT_EQ(plain.destinationPorts, protocol::PortRanges{});
}

TEST(PacketFilterToPlainTest, MoreThanSixteenRangesAreCutToSixteen) {
  PacketFilter filter = MakeWebFilter();
  filter.MyPorts.clear();
  for (std::uint16_t port = 1; port <= 20; ++port) {
    filter.MyPorts.push_back(Range(port, port));
  }
  const PlainFilter plain = filter.ToPlainFilter();
  EXPECT_EQ(plain.sourcePortCount, 16u);
  EXPECT_EQ(plain.sourcePorts.front(), Range(1, 1));
  EXPECT_EQ(plain.sourcePorts.back(), Range(16, 16));
}

TEST(PacketFilterToPlainTest, BandwidthOnlyWhenLimitingAndDefaultsCarryOver) {
  PacketFilter filter;
  const PlainFilter plain = filter.ToPlainFilter();
  EXPECT_EQ(plain.bandwidth, 0);  // Bandwidth is 30 but DoBand is off
  EXPECT_EQ(plain.protocolNumber, 6);
  EXPECT_FALSE(plain.drop);
  EXPECT_TRUE(plain.dropSynOnly);
  EXPECT_EQ(plain.minimumPacketSize, 100);
  EXPECT_EQ(plain.sourceMask, 0xFFFFFFFFu);
  EXPECT_EQ(plain.destinationMask, 0u);
  EXPECT_EQ(plain.sourcePortCount, 0u);
}

TEST(PacketFilterDescriptionTest, DocumentedExample) {
  PacketFilter filter;
  filter.MyIp = Ipv4(192, 168, 0, 2);
  filter.IsMyAllPort = false;
  filter.MyPorts = {Range(80, 80)};
  EXPECT_EQ(filter.DescriptionText(), "<TCP 192.168.0.2:80 → 全てのIP:全てのポート>");
}

TEST(PacketFilterDescriptionTest, ProtocolNames) {
  PacketFilter filter;
  const std::string rest = " 0.0.0.0:全てのポート → 全てのIP:全てのポート>";
  EXPECT_EQ(filter.DescriptionText(), "<TCP" + rest);
  filter.Protocol = 1;
  EXPECT_EQ(filter.DescriptionText(), "<ICMP" + rest);
  filter.Protocol = 17;
  EXPECT_EQ(filter.DescriptionText(), "<UDP" + rest);
  filter.Protocol = 47;
  EXPECT_EQ(filter.DescriptionText(), "<その他" + rest);
  filter.Protocol = 0;
  EXPECT_EQ(filter.DescriptionText(), "<その他" + rest);
}

TEST(PacketFilterDescriptionTest, LocalPortsWithAndWithoutProcess) {
  PacketFilter filter;
  filter.MyIpMask = 0;
  filter.AppName = "app.exe";
  EXPECT_EQ(filter.DescriptionText(), "<TCP 全てのIP:app.exe → 全てのIP:全てのポート>");
  filter.IsMyAllPort = false;
  filter.MyPorts = {Range(80, 80), Range(1000, 2000)};
  EXPECT_EQ(filter.DescriptionText(),
            "<TCP 全てのIP:80,1000-2000かつapp.exe → 全てのIP:全てのポート>");
  filter.AppName.clear();
  filter.MyPorts.clear();
  EXPECT_EQ(filter.DescriptionText(), "<TCP 全てのIP: → 全てのIP:全てのポート>");
}

TEST(PacketFilterDescriptionTest, RemoteSideAndArrowByDirection) {
  PacketFilter filter = MakeWebFilter();
  EXPECT_EQ(filter.DescriptionText(), "<TCP 192.168.0.2:80,1000-2000 → 10.0.0.1:53>");
  filter.Direction = PacketFilter::kDirectionDown;
  EXPECT_EQ(filter.DescriptionText(), "<TCP 192.168.0.2:80,1000-2000 ← 10.0.0.1:53>");
  filter.Direction = PacketFilter::kDirectionOther;
  filter.IsOtherAllPort = true;
  EXPECT_EQ(filter.DescriptionText(), "<TCP 192.168.0.2:80,1000-2000 ← 10.0.0.1:全てのポート>");
}

TEST(PacketFilterCloneTest, CopiesEveryMemberIntoAnIndependentObject) {
  PacketFilter original = MakeWebFilter();
  original.SetComment("note");
  original.FilterName = "web";
  original.FilterId = 9;
  original.AppName = "app.exe";
  original.AdapterIndex = 2;
  original.AdapterName = "eth0";
  original.AppPortCount = 1;
  original.AppPorts[2047] = 4242;
  original.RateHistory = {10, 20};
  const Filter& base = original;

  const std::unique_ptr<Filter> clone = base.Clone();
  auto* copy = dynamic_cast<PacketFilter*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->ToPlainFilter(), original.ToPlainFilter());
  EXPECT_EQ(copy->DescriptionText(), original.DescriptionText());
  EXPECT_EQ(copy->Comment(), "note");
  EXPECT_EQ(copy->FilterName, "web");
  EXPECT_EQ(copy->FilterId, 9);
  EXPECT_EQ(copy->AdapterIndex, 2);
  EXPECT_EQ(copy->AdapterName, "eth0");
  EXPECT_EQ(copy->AppPortCount, 1);
  EXPECT_EQ(copy->AppPorts[2047], 4242);
  EXPECT_EQ(copy->RateHistory, original.RateHistory);

  copy->MyPorts.clear();
  copy->RateHistory.push_back(30);
  EXPECT_EQ(original.MyPorts.size(), 2u);
  EXPECT_EQ(original.RateHistory.size(), 2u);
}

TEST(DynamicFilterTest, RefusesThePlainFormAndHasNoDescription) {
  DynamicFilter dynamic;
  const Filter& filter = dynamic;
  try {
    (void)filter.ToPlainFilter();
    FAIL() << "a dynamic filter has no plain form";
  } catch (const FilterConversionError& error) {
    EXPECT_STREQ(error.what(), "このフィルタはNetSieveへ変換できません。");
  }
  EXPECT_EQ(filter.DescriptionText(), "");
}

TEST(DynamicFilterTest, CloneKeepsTheClassAndCommonMembers) {
  DynamicFilter original;
  original.FilterId = 5;
  original.Drop = true;
  original.Bandwidth = 64;
  original.SetComment("dyn");
  original.RateHistory = {7};
  const std::unique_ptr<Filter> clone = static_cast<const Filter&>(original).Clone();
  const auto* copy = dynamic_cast<const DynamicFilter*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->FilterId, 5);
  EXPECT_TRUE(copy->Drop);
  EXPECT_EQ(copy->Bandwidth, 64);
  EXPECT_EQ(copy->Comment(), "dyn");
  EXPECT_EQ(copy->RateHistory, original.RateHistory);
  EXPECT_THROW((void)copy->ToPlainFilter(), FilterConversionError);
}

TEST(CommonFilterCommentTest, KeepsAtMost127BytesWithoutSplittingCharacters) {
  PacketFilter filter;
  const std::string a127(127, 'a');
  filter.SetComment(a127);
  EXPECT_EQ(filter.Comment(), a127);
  filter.SetComment(a127 + "b");
  EXPECT_EQ(filter.Comment(), a127);

  // The limit counts the bytes the file holds: two per kana in CP932.
  std::string kana;
  for (int i = 0; i < 63; ++i) {
    kana += "あ";  // 126 bytes in CP932, 189 in UTF-8
  }
  filter.SetComment("a" + kana);  // exactly 127 bytes
  EXPECT_EQ(filter.Comment(), "a" + kana);
  filter.SetComment("aa" + kana);  // the last character would end at byte 128
  EXPECT_EQ(filter.Comment(), "aa" + kana.substr(0, kana.size() - 3));
  filter.SetComment(kana + "あ");
  EXPECT_EQ(filter.Comment(), kana);

  // Text CP932 cannot hold is cut between UTF-8 characters instead.
  filter.SetComment(std::string(124, 'a') + "😀");  // a 4-byte character at 124..127
  EXPECT_EQ(filter.Comment(), std::string(124, 'a'));
}

TEST(CommonFilterCommentTest, CutsAtNulAndHandlesTextThatIsNotUtf8) {
  PacketFilter filter;
  using namespace std::string_literals;
  filter.SetComment("ab\0cd"s);
  EXPECT_EQ(filter.Comment(), "ab");
  filter.SetComment(std::string(200, '\x80'));
  EXPECT_EQ(filter.Comment(), std::string(127, '\x80'));
  filter.SetComment("");
  EXPECT_EQ(filter.Comment(), "");
}

}  // namespace
}  // namespace harlune
