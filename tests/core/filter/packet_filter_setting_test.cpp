#include "core/filter/packet_filter_setting.h"

#include <cstdint>

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

TEST(PacketFilterSettingTest, NewFilterHasTheDocumentedDefaults) {
  const PacketFilterSetting filter;
  EXPECT_EQ(filter.ID, -1);
  EXPECT_EQ(filter.AdapterIndex, -1);
  EXPECT_EQ(filter.Protocol, 6);
  EXPECT_EQ(filter.TBFRate, 102400u);
  EXPECT_EQ(filter.TBFMPU, 100u);
  EXPECT_EQ(filter.Available, 1u);
  EXPECT_EQ(filter.LocalPortCount, 0u);
  EXPECT_EQ(filter.RemotePortCount, 0u);
  EXPECT_EQ(filter.AppPortCount, 0);
  EXPECT_EQ(filter.Name, "NewFilter");
  EXPECT_EQ(filter.ApplicationPortText(), "None");
}

PacketFilterSetting MakeFilledFilter() {
  PacketFilterSetting filter;
  filter.TBFRate = 5000;
  filter.DriverClassId = 0xDEADBEEF;
  filter.LocalIPAddr = Ipv4(192, 168, 0, 2);
  filter.LocalPortCount = 1;
  filter.LocalPorts[0] = Range(1000, 2000);
  filter.Name = "web";
  filter.Comment = "コメント";
  filter.AppName = "app.exe";
  filter.LowerAdapterName = "eth0";
  filter.ID = 7;
  filter.AppPortCount = 2;
  filter.AppPorts[0] = 80;
  filter.AppPorts[1] = 1500;
  filter.TransferredBytes = 1ull << 40;
  filter.RateHistory = {1, 2, 3};
  filter.AdapterIndex = 3;
  return filter;
}

void ExpectSameFilter(const PacketFilterSetting& copy, const PacketFilterSetting& original) {
  EXPECT_EQ(static_cast<const _TBF_SETTING_DATA&>(copy),
            static_cast<const _TBF_SETTING_DATA&>(original));
  EXPECT_EQ(copy.Name, original.Name);
  EXPECT_EQ(copy.Comment, original.Comment);
  EXPECT_EQ(copy.AppName, original.AppName);
  EXPECT_EQ(copy.LowerAdapterName, original.LowerAdapterName);
  EXPECT_EQ(copy.ID, original.ID);
  EXPECT_EQ(copy.AppPortCount, original.AppPortCount);
  EXPECT_EQ(copy.AppPorts, original.AppPorts);
  EXPECT_EQ(copy.TransferredBytes, original.TransferredBytes);
  EXPECT_EQ(copy.RateHistory, original.RateHistory);
  EXPECT_EQ(copy.AdapterIndex, original.AdapterIndex);
}

TEST(PacketFilterSettingTest, CopyTakesRunTimeStateToo) {
  const PacketFilterSetting original = MakeFilledFilter();
  const PacketFilterSetting constructed(original);
  ExpectSameFilter(constructed, original);
  EXPECT_EQ(constructed.DriverClassId, 0xDEADBEEFu);

  PacketFilterSetting assigned;
  assigned = original;
  ExpectSameFilter(assigned, original);
  EXPECT_EQ(assigned.ApplicationPortText(), "1500");
}

TEST(PacketFilterSettingTest, HasApplicationFollowsTheProcessName) {
  PacketFilterSetting filter;
  EXPECT_EQ(filter.DerivedHasApplication(), 0u);
  filter.AppName = "app.exe";
  EXPECT_EQ(filter.DerivedHasApplication(), 1u);
  filter.HasApplication = 0;  // a stale stored flag does not matter
  EXPECT_EQ(filter.DerivedHasApplication(), 1u);
}

TEST(PacketFilterSettingApplicationPortsTest, KeepsOnlyPortsInTheLocalRanges) {
  PacketFilterSetting filter;
  filter.LocalPortCount = 1;
  filter.LocalPorts[0] = Range(1000, 2000);
  filter.AppPortCount = 2;
  filter.AppPorts[0] = 80;
  filter.AppPorts[1] = 1500;
  EXPECT_EQ(filter.ApplicationPortText(), "1500");

  filter.LocalPortCount = 0;  // every local port
  EXPECT_EQ(filter.ApplicationPortText(), "80,1500");
}

TEST(PacketFilterSettingApplicationPortsTest, IgnoresEntriesBeyondTheCounts) {
  PacketFilterSetting filter;
  filter.AppPorts[0] = 80;  // present but not counted
  EXPECT_EQ(filter.ApplicationPortText(), "None");

  filter.AppPortCount = 1;
  filter.LocalPortCount = 1;
  filter.LocalPorts[0] = Range(1, 2);
  filter.LocalPorts[1] = Range(80, 80);  // not counted
  EXPECT_EQ(filter.ApplicationPortText(), "None");
}

TEST(PacketFilterSettingApplicationPortsTest, OutOfRangeCountsAreClamped) {
  PacketFilterSetting filter;
  filter.AppPorts.fill(7);
  filter.AppPortCount = -5;
  EXPECT_TRUE(filter.UsedAppPorts().empty());
  filter.AppPortCount = 100000;
  EXPECT_EQ(filter.UsedAppPorts().size(), PacketFilterSetting::kMaxAppPorts);
  filter.LocalPortCount = 1000;
  filter.RemotePortCount = 17;
  EXPECT_EQ(filter.UsedLocalPorts().size(), protocol::kMaxPortRanges);
  EXPECT_EQ(filter.UsedRemotePorts().size(), protocol::kMaxPortRanges);
  // 16 zero ranges keep no port 7.
  EXPECT_EQ(filter.ApplicationPortText(), "None");
}

}  // namespace
}  // namespace harlune
