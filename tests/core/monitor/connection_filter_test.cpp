#include "core/monitor/connection_filter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

class ConnectionFilterTest : public ::testing::Test {
 protected:
  ConnectionFilterTest() {
    source_.SetAdapters({{7, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    adapters_.Refresh(
        source_, [](std::string_view) { return 0U; }, dialogs_);
    connection_.localAddr = IpAddress::FromIpv4(Ipv4(192, 168, 0, 2));
    connection_.localPort = htons(50000);
    connection_.remoteAddr = IpAddress::FromIpv4(Ipv4(198, 51, 100, 7));
    connection_.remotePort = htons(443);
  }

  FakeAdapterSource source_;
  RecordingUserDialogs dialogs_;
  AdapterTable adapters_;
  ConnectionInfo connection_;
};

TEST_F(ConnectionFilterTest, AddressFilterMatchesExactlyThisConnection) {
  const PacketFilterSetting record = FilterForConnectionAddresses(connection_, adapters_);
  EXPECT_EQ(record.LowerAdapterName, "eth0");
  EXPECT_EQ(record.AdapterIndex, 7);
  EXPECT_EQ(record.LocalIPAddr, connection_.localAddr.Ipv4Value());
  EXPECT_EQ(record.LocalIPAddrMask, 0U);
  ASSERT_EQ(record.LocalPortCount, 1U);
  EXPECT_EQ(record.LocalPorts[0], protocol::HostPortRange(50000, 50000));
  EXPECT_EQ(record.RemoteIPAddrMask, 0xFFFFFFFFU);
  ASSERT_EQ(record.RemotePortCount, 1U);
  EXPECT_EQ(record.RemotePorts[0], protocol::HostPortRange(443, 443));
  EXPECT_EQ(record.Protocol, 6);
}

TEST_F(ConnectionFilterTest, AListenerGivesEveryRemoteAddressAndPort) {
  connection_.remoteAddr = IpAddress();
  connection_.remotePort = 0;
  connection_.localAddr = IpAddress::FromIpv4(Ipv4(10, 9, 9, 9));  // on no adapter
  const PacketFilterSetting record = FilterForConnectionAddresses(connection_, adapters_);
  EXPECT_EQ(record.RemoteIPAddrMask, 0U);
  EXPECT_EQ(record.RemotePortCount, 0U);
  EXPECT_EQ(record.LowerAdapterName, "none");
}

TEST_F(ConnectionFilterTest, ProcessFilterIsRefusedForUnknownAndSystemProcesses) {
  EXPECT_EQ(FilterForConnectionProcess(connection_, "不明", adapters_).refusal,
            kUnknownProcessFilterMessage);
  EXPECT_EQ(FilterForConnectionProcess(connection_, "[System Process]", adapters_).refusal,
            kSystemProcessFilterMessage);

  const ProcessFilterResult result = FilterForConnectionProcess(connection_, "curl", adapters_);
  ASSERT_TRUE(result.record);
  EXPECT_EQ(result.record->AppName, "curl");
  EXPECT_EQ(result.record->HasApplication, 1U);
  EXPECT_EQ(result.record->LocalPortCount, 0U);
  EXPECT_EQ(result.record->RemoteIPAddr, 0U);
  EXPECT_EQ(result.record->LowerAdapterName, "eth0");
}

}  // namespace
}  // namespace harlune
