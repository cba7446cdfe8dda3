#include "core/filter/filter_family.h"

#include <gtest/gtest.h>

#include "protocol/ip_address.h"

namespace harlune {
namespace {

using protocol::AddressFamilies;
using protocol::Ipv6Prefix;

Ipv6Prefix Prefix(std::string_view text, std::uint8_t length) {
  return {ParseIpAddress(text).value().Ipv6Bytes(), length};
}

PacketFilterSetting WithRemoteIpv4() {
  PacketFilterSetting filter;
  filter.RemoteIPAddr = Ipv4(198, 18, 0, 0);
  filter.RemoteIPAddrMask = Ipv4(255, 254, 0, 0);
  filter.DriverClassId = 12;
  return filter;
}

TEST(FilterFamilyTest, PlainFiltersNeedNoRequestAndGoAsStored) {
  for (const PacketFilterSetting& filter : {PacketFilterSetting{}, WithRemoteIpv4()}) {
    EXPECT_FALSE(NeedsFamilyRequest(filter));
    EXPECT_EQ(DriverRecordOf(filter), static_cast<const _TBF_SETTING_DATA&>(filter));
  }
}

TEST(FilterFamilyTest, Ipv6OnlyFilterMatchesNoIpv4PacketOnTheWire) {
  PacketFilterSetting byAddress = WithRemoteIpv4();
  byAddress.RemoteIpv6 = Prefix("2001:db8::", 32);
  PacketFilterSetting byChoice;
  byChoice.AddressFamily = AddressFamilies::kIpv6;
  for (const PacketFilterSetting& filter : {byAddress, byChoice}) {
    const _TBF_SETTING_DATA wire = DriverRecordOf(filter);
    EXPECT_EQ(wire.RemoteIPAddr, 0u);
    EXPECT_EQ(wire.RemoteIPAddrMask, 0xFFFFFFFFu);
    EXPECT_EQ(protocol::DefaultFamiliesOf(wire), AddressFamilies::kIpv4);
    EXPECT_TRUE(NeedsFamilyRequest(filter));
    // Everything else goes as stored, and the stored record is untouched.
    _TBF_SETTING_DATA expected = filter;
    expected.RemoteIPAddr = wire.RemoteIPAddr;
    expected.RemoteIPAddrMask = wire.RemoteIPAddrMask;
    EXPECT_EQ(wire, expected);
  }
  EXPECT_EQ(byAddress.RemoteIPAddr, Ipv4(198, 18, 0, 0));
}

TEST(FilterFamilyTest, ChoicesTheRecordCannotSayNeedTheRequest) {
  PacketFilterSetting ipv4Only;
  ipv4Only.AddressFamily = AddressFamilies::kIpv4;  // any address, but IPv4 alone
  EXPECT_TRUE(NeedsFamilyRequest(ipv4Only));
  EXPECT_EQ(DriverRecordOf(ipv4Only), static_cast<const _TBF_SETTING_DATA&>(ipv4Only));

  PacketFilterSetting both = WithRemoteIpv4();
  both.AddressFamily = AddressFamilies::kBoth;
  both.LocalIpv6 = Prefix("2001:db8:1::", 48);
  EXPECT_TRUE(NeedsFamilyRequest(both));
  EXPECT_EQ(DriverRecordOf(both).RemoteIPAddrMask, Ipv4(255, 254, 0, 0));
  EXPECT_EQ(ClassFamilyOf(both),
            (protocol::ClassFamily{12, AddressFamilies::kBoth, both.LocalIpv6, Ipv6Prefix{}}));
}

}  // namespace
}  // namespace harlune
