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

// The IPv6 tests' machine: eth0 (IPv4 only) and wlan0 with a global and a
// link-local IPv6 address.
class ConnectionFilterIpv6Test : public ConnectionFilterTest {
 protected:
  ConnectionFilterIpv6Test() {
    source_.SetAdapters({{7, "card", "eth0", {Ipv4(192, 168, 0, 2)}},
                         {9, "radio", "wlan0", {0}, {V6("2001:2::1"), V6("fe80::1")}}});
    adapters_.Refresh(
        source_, [](std::string_view) { return 0U; }, dialogs_);
    connection_.localAddr = V6("2001:2::1");
    connection_.remoteAddr = V6("2001:2::7");
  }

  ConnectionFilterResult ByAddresses(std::string_view local, std::string_view remote) {
    ConnectionInfo c = connection_;
    c.localAddr = V6(local);
    c.remoteAddr = V6(remote);
    return FilterForConnectionAddresses(c, adapters_);
  }
};

protocol::Ipv6Prefix Host(std::string_view text) { return {V6(text).Ipv6Bytes(), 128}; }

TEST_F(ConnectionFilterIpv6Test, AddressFilterMatchesTheConnectionsHostsAsIpv6Prefixes) {
  const PacketFilterSetting record = MustMake(ByAddresses("2001:2::1", "2001:2::7"));
  EXPECT_EQ(record.LocalIpv6, Host("2001:2::1"));
  EXPECT_EQ(record.RemoteIpv6, Host("2001:2::7"));
  EXPECT_FALSE(record.AddressFamily);
  EXPECT_EQ(record.EffectiveFamilies(), protocol::AddressFamilies::kIpv6);
  // The IPv4 fields stay at any address, the ports are the connection's.
  EXPECT_EQ(record.LocalIPAddr, 0U);
  EXPECT_EQ(record.LocalIPAddrMask, 0U);
  EXPECT_EQ(record.RemoteIPAddr, 0U);
  EXPECT_EQ(record.RemoteIPAddrMask, 0U);
  ASSERT_EQ(record.LocalPortCount, 1U);
  EXPECT_EQ(record.LocalPorts[0], protocol::HostPortRange(50000, 50000));
  ASSERT_EQ(record.RemotePortCount, 1U);
  EXPECT_EQ(record.RemotePorts[0], protocol::HostPortRange(443, 443));
  EXPECT_EQ(record.Protocol, 6);
  EXPECT_EQ(record.LowerAdapterName, "wlan0");
  EXPECT_EQ(record.AdapterIndex, 9);

  // A link-local address finds its adapter too; loopback and an address
  // of no adapter give "none", as an IPv4 address of no adapter does.
  EXPECT_EQ(MustMake(ByAddresses("fe80::1", "fe80::2")).LowerAdapterName, "wlan0");
  for (const char* local : {"::1", "2001:2::99"}) {
    const PacketFilterSetting elsewhere = MustMake(ByAddresses(local, "2001:2::7"));
    EXPECT_EQ(elsewhere.LowerAdapterName, "none") << local;
    EXPECT_EQ(elsewhere.AdapterIndex, -1) << local;
    EXPECT_EQ(elsewhere.LocalIpv6, Host(local)) << local;
  }
}

TEST_F(ConnectionFilterIpv6Test, UnspecifiedAddressesMatchAnyAddress) {
  connection_.remotePort = 0;
  // A listener bound to one IPv6 address: IPv6 only, every peer.
  PacketFilterSetting listener = MustMake(ByAddresses("2001:2::1", "::"));
  EXPECT_EQ(listener.LocalIpv6, Host("2001:2::1"));
  EXPECT_EQ(listener.RemoteIpv6.length, 0);
  EXPECT_EQ(listener.RemotePortCount, 0U);
  EXPECT_EQ(listener.EffectiveFamilies(), protocol::AddressFamilies::kIpv6);

  // A listener on "::" may take IPv4 peers as well: any address of either
  // family on its port, on no adapter, as a 0.0.0.0 listener is.
  listener = MustMake(ByAddresses("::", "::"));
  EXPECT_EQ(listener.LocalIpv6.length, 0);
  EXPECT_EQ(listener.RemoteIpv6.length, 0);
  EXPECT_FALSE(listener.HasIpv6Settings());
  EXPECT_EQ(listener.EffectiveFamilies(), protocol::AddressFamilies::kBoth);
  ASSERT_EQ(listener.LocalPortCount, 1U);
  EXPECT_EQ(listener.LocalPorts[0], protocol::HostPortRange(50000, 50000));
  EXPECT_EQ(listener.LowerAdapterName, "none");
  EXPECT_EQ(listener.AdapterIndex, -1);
}

TEST_F(ConnectionFilterIpv6Test, ConnectionsOfMixedFamiliesAreRefused) {
  for (const auto& [local, remote] :
       {std::pair{"192.168.0.2", "2001:2::7"}, std::pair{"2001:2::1", "198.51.100.7"},
        std::pair{"::", "198.51.100.7"}, std::pair{"::ffff:192.168.0.2", "2001:2::7"}}) {
    ConnectionInfo c = connection_;
    c.localAddr = V6(local);
    c.remoteAddr = V6(remote);
    for (const ConnectionFilterResult& made : {FilterForConnectionAddresses(c, adapters_),
                                               FilterForConnectionProcess(c, "sshd", adapters_)}) {
      EXPECT_FALSE(made.record) << local << " " << remote;
      EXPECT_EQ(made.refusal, kMixedFamilyConnectionFilterMessage) << local << " " << remote;
    }
  }
  // An IPv6 address beside a default (0.0.0.0) one is an IPv6 connection.
  ConnectionInfo halfSet = connection_;
  halfSet.remoteAddr = IpAddress();
  EXPECT_TRUE(FilterForConnectionAddresses(halfSet, adapters_).record);
}

TEST_F(ConnectionFilterIpv6Test, ProcessFilterOfAnIpv6ConnectionAppliesToIpv6Alone) {
  PacketFilterSetting record = MustMake(FilterForConnectionProcess(connection_, "sshd", adapters_));
  EXPECT_EQ(record.AppName, "sshd");
  EXPECT_EQ(record.HasApplication, 1U);
  EXPECT_EQ(record.AddressFamily, protocol::AddressFamilies::kIpv6);
  EXPECT_EQ(record.LocalIpv6.length, 0);
  EXPECT_EQ(record.RemoteIpv6.length, 0);
  EXPECT_EQ(record.LocalIPAddr, 0U);
  EXPECT_EQ(record.LowerAdapterName, "wlan0");
  EXPECT_EQ(record.AdapterIndex, 9);

  // A socket bound to :: is on no adapter, as one bound to 0.0.0.0 is.
  connection_.localAddr = V6("::");
  connection_.remoteAddr = V6("::");
  connection_.remotePort = 0;
  record = MustMake(FilterForConnectionProcess(connection_, "sshd", adapters_));
  EXPECT_EQ(record.AddressFamily, protocol::AddressFamilies::kIpv6);
  EXPECT_EQ(record.LowerAdapterName, "none");
  EXPECT_EQ(record.AdapterIndex, -1);

  // The process refusals come first, as for IPv4.
  EXPECT_EQ(FilterForConnectionProcess(connection_, "不明", adapters_).refusal,
            kUnknownProcessFilterMessage);

  // From an IPv4 connection, mapped or not, the family stays the record's.
  connection_.localAddr = V6("::ffff:192.168.0.2");
  connection_.remoteAddr = V6("::ffff:198.51.100.7");
  record = MustMake(FilterForConnectionProcess(connection_, "sshd", adapters_));
  EXPECT_FALSE(record.HasIpv6Settings());
  EXPECT_EQ(record.LowerAdapterName, "eth0");
}

}  // namespace
}  // namespace harlune
