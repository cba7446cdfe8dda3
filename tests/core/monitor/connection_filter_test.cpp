#include "core/monitor/connection_filter.h"

#include <string_view>
#include <utility>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

IpAddress V6(std::string_view text) { return *ParseIpAddress(text); }

PacketFilterSetting MustMake(const ConnectionFilterResult& made) {
  EXPECT_TRUE(made.record) << made.refusal;
  EXPECT_EQ(made.refusal, "");
  return made.record.value_or(PacketFilterSetting{});
}

// The record's driver fields and what binds it to a process and an adapter.
bool SameRecord(const PacketFilterSetting& a, const PacketFilterSetting& b) {
  return static_cast<const _TBF_SETTING_DATA&>(a) == static_cast<const _TBF_SETTING_DATA&>(b) &&
         a.AppName == b.AppName && a.LowerAdapterName == b.LowerAdapterName &&
         a.AdapterIndex == b.AdapterIndex;
}

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
  const PacketFilterSetting record = MustMake(FilterForConnectionAddresses(connection_, adapters_));
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
  const PacketFilterSetting record = MustMake(FilterForConnectionAddresses(connection_, adapters_));
  EXPECT_EQ(record.RemoteIPAddrMask, 0U);
  EXPECT_EQ(record.RemotePortCount, 0U);
  EXPECT_EQ(record.LowerAdapterName, "none");
}

TEST_F(ConnectionFilterTest, ProcessFilterIsRefusedForUnknownAndSystemProcesses) {
  EXPECT_EQ(FilterForConnectionProcess(connection_, "不明", adapters_).refusal,
            kUnknownProcessFilterMessage);
  EXPECT_EQ(FilterForConnectionProcess(connection_, "[System Process]", adapters_).refusal,
            kSystemProcessFilterMessage);

  const ConnectionFilterResult result = FilterForConnectionProcess(connection_, "curl", adapters_);
  ASSERT_TRUE(result.record);
  EXPECT_EQ(result.record->AppName, "curl");
  EXPECT_EQ(result.record->HasApplication, 1U);
  EXPECT_EQ(result.record->LocalPortCount, 0U);
  EXPECT_EQ(result.record->RemoteIPAddr, 0U);
  EXPECT_EQ(result.record->LowerAdapterName, "eth0");
}

// A connection of an IPv6 socket with IPv4-mapped addresses is an IPv4
// connection: the same record as from an IPv4 socket, for both filters.
TEST_F(ConnectionFilterTest, MappedConnectionGivesTheRecordsOfItsIpv4Connection) {
  const PacketFilterSetting byAddresses =
      MustMake(FilterForConnectionAddresses(connection_, adapters_));
  const PacketFilterSetting byProcess =
      MustMake(FilterForConnectionProcess(connection_, "java", adapters_));
  ConnectionInfo mapped = connection_;
  mapped.localAddr = V6("::ffff:192.168.0.2");
  mapped.remoteAddr = V6("::ffff:198.51.100.7");
  EXPECT_TRUE(SameRecord(MustMake(FilterForConnectionAddresses(mapped, adapters_)), byAddresses));
  EXPECT_TRUE(
      SameRecord(MustMake(FilterForConnectionProcess(mapped, "java", adapters_)), byProcess));
  EXPECT_EQ(byAddresses.LowerAdapterName, "eth0");
  EXPECT_EQ(byAddresses.RemoteIPAddr, Ipv4(198, 51, 100, 7));

  // A mapped listener on ::ffff:0.0.0.0 is a 0.0.0.0 listener.
  mapped.localAddr = V6("::ffff:0.0.0.0");
  mapped.remoteAddr = V6("::ffff:0.0.0.0");
  mapped.remotePort = 0;
  const PacketFilterSetting listener = MustMake(FilterForConnectionAddresses(mapped, adapters_));
  EXPECT_EQ(listener.LocalIPAddr, 0U);
  EXPECT_EQ(listener.RemoteIPAddrMask, 0U);
  EXPECT_EQ(listener.LowerAdapterName, "none");
}

TEST_F(ConnectionFilterTest, AddressFilterIsRefusedWhenEitherAddressIsIpv6) {
  const auto refusal = [this](std::string_view local, std::string_view remote) {
    ConnectionInfo c = connection_;
    c.localAddr = V6(local);
    c.remoteAddr = V6(remote);
    return FilterForConnectionAddresses(c, adapters_);
  };
  for (const auto& [local, remote] :
       {std::pair{"2001:2::1", "2001:2::7"}, std::pair{"::1", "::1"},
        std::pair{"::", "::"},  // a listener on ::
        std::pair{"192.168.0.2", "2001:2::7"}, std::pair{"2001:2::1", "198.51.100.7"}}) {
    const ConnectionFilterResult made = refusal(local, remote);
    EXPECT_FALSE(made.record) << local << " " << remote;
    EXPECT_EQ(made.refusal, kIpv6ConnectionFilterMessage) << local << " " << remote;
  }
}

TEST_F(ConnectionFilterTest, ProcessFilterOfAnIpv6ConnectionNeedsAKnownAdapter) {
  // A socket bound to :: is on no adapter, as one bound to 0.0.0.0 is.
  connection_.localAddr = V6("::");
  connection_.remoteAddr = V6("::");
  connection_.remotePort = 0;
  const PacketFilterSetting record =
      MustMake(FilterForConnectionProcess(connection_, "sshd", adapters_));
  EXPECT_EQ(record.AppName, "sshd");
  EXPECT_EQ(record.HasApplication, 1U);
  EXPECT_EQ(record.LocalIPAddr, 0U);
  EXPECT_EQ(record.LowerAdapterName, "none");
  EXPECT_EQ(record.AdapterIndex, -1);

  // An IPv6 local address is on an adapter the table cannot name.
  for (const char* local : {"2001:2::1", "::1", "fe80::1"}) {
    connection_.localAddr = V6(local);
    const ConnectionFilterResult made = FilterForConnectionProcess(connection_, "sshd", adapters_);
    EXPECT_FALSE(made.record) << local;
    EXPECT_EQ(made.refusal, kIpv6ConnectionFilterMessage) << local;
  }
  // The process refusals come first, as for IPv4.
  EXPECT_EQ(FilterForConnectionProcess(connection_, "不明", adapters_).refusal,
            kUnknownProcessFilterMessage);
}

}  // namespace
}  // namespace harlune
