#include "core/htb/htb_tick.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/driver/driver_link.h"
#include "core/monitor/connection_monitor.h"
#include "htb_tick_fixture.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using htb_test::Leaf;

class HtbTickTest : public htb_test::HtbTickFixture {};

TEST_F(HtbTickTest, LeafDemandFollowsItsMeasuredRate) {
  SendRoot().AssuredRate = 1'000'000;
  const auto& quiet = AddLeaf(0, 4000, 40960, 500);
  const auto& busy = AddLeaf(0, 2048, 40960, 10240);
  Tick();
  EXPECT_EQ(quiet.AllottedRate, 4000u);
  EXPECT_EQ(busy.AllottedRate, 15360u);  // 10240 + 40960 / 8
  EXPECT_EQ(Sent(busy), 15360u);
}

TEST_F(HtbTickTest, RootSharesItsGuaranteedRate) {
  SendRoot().AssuredRate = 50000;
  const auto& first = AddLeaf(0, 10000, 80000, 70000);   // demand 80000
  const auto& second = AddLeaf(0, 10000, 24000, 12000);  // demand 15000
  Tick();
  EXPECT_EQ(Sent(first), 35000u);
  EXPECT_EQ(Sent(second), 15000u);

  SendRoot().AssuredRate = 100000;  // the demands fit: both keep them
  Tick();
  EXPECT_EQ(Sent(first), 80000u);
  EXPECT_EQ(Sent(second), 15000u);
}

TEST_F(HtbTickTest, LaterLevelsKeepTheirBaseWhenTheSpareRunsOut) {
  SendRoot().AssuredRate = 50000;
  const auto& first = AddLeaf(0, 10000, 80000, 70000);
  const auto& second = AddLeaf(0, 10000, 24000, 12000);
  const auto& low = AddLeaf(0, 5000, 8000, 5000, 1);  // demand 6000
  Tick();
  EXPECT_EQ(Sent(first), 30000u);
  EXPECT_EQ(Sent(second), 15000u);
  EXPECT_EQ(Sent(low), 5000u);  // a wrapped spare would have handed it 6000
}

TEST_F(HtbTickTest, ChildrenNeverGetMoreThanTheirParent) {
  SendRoot().AssuredRate = 100000;
  const auto& light = AddLeaf(0, 40000, 100000, 5000);  // demand raised to 40000
  const auto& heavy = AddLeaf(0, 40000, 100000, 90000);
  Tick();
  EXPECT_EQ(Sent(light), 40000u);
  EXPECT_EQ(Sent(heavy), 60000u);  // offered 95000, of which 60000 remained
}

TEST_F(HtbTickTest, AGuaranteeLoweredByAShortageLastsOneTick) {
  SendRoot().AssuredRate = 20000;
  auto& a = AddLeaf(0, 15000, 50000, 30000);
  auto& b = AddLeaf(0, 15000, 50000, 20000);
  Tick();
  EXPECT_EQ(Sent(a), 10000u);
  EXPECT_EQ(Sent(b), 10000u);
  EXPECT_EQ(a.TickAssuredRate, 10000u);
  EXPECT_EQ(a.TickAssuredRatePercentage, 50u);
  EXPECT_EQ(a.AssuredRate, 15000u);  // what the file and the editor see
  EXPECT_EQ(a.AssuredRatePercentage, 0u);

  SendRoot().AssuredRate = 40000;  // the next tick starts from the configuration
  Tick();
  EXPECT_EQ(a.TickAssuredRate, 15000u);
  EXPECT_EQ(b.TickAssuredRate, 15000u);
  EXPECT_EQ(Sent(a), 20000u);  // demands 36250 and 26250: 15000 + 5000 each
  EXPECT_EQ(Sent(b), 20000u);
}

TEST_F(HtbTickTest, ALeafCutToZeroGetsItsGuaranteeOnceTheShortageEnds) {
  SendRoot().AssuredRate = 10000;
  auto& first = AddLeaf(0, 10000, 20000, 10000);
  auto& second = AddLeaf(0, 5000, 20000, 5000, 1);  // served after the first
  for (int tick = 0; tick < 3; ++tick) {
    Tick();
    Measure(first, 1 << 20);
    Measure(second, 1 << 20);
  }
  EXPECT_EQ(Sent(first), 10000u);
  EXPECT_EQ(Sent(second), 0u);  // the first one's guarantee takes the whole root

  SendRoot().AssuredRate = 100000;
  Tick();
  EXPECT_EQ(Sent(second), 5000u);  // measured 0, so it asks for its guarantee
  EXPECT_EQ(second.TickAssuredRate, 5000u);
}

// Under the send root an inner class of 100 KB/s with 50 KB/s guaranteed,
// and under it a leaf of 40 KB/s with 8 KB/s guaranteed whose filter is
// offered far more. Each tick the filter measures what it was let through.
class BusyLeafUnderInnerTest : public HtbTickTest {
 protected:
  static constexpr std::uint32_t kKiB = 1024;
  static constexpr std::uint32_t kOffered = 1024 * kKiB;

  BusyLeafUnderInnerTest()
      : inner_(AddInner(0, 50 * kKiB, 100 * kKiB)),
        leaf_(AddLeaf(inner_.ID, 8 * kKiB, 40 * kKiB, 30 * kKiB)) {}

  // The rates the leaf's filter was given over `count` ticks.
  std::vector<std::uint32_t> Run(int count) {
    std::vector<std::uint32_t> sent;
    for (int tick = 0; tick < count; ++tick) {
      Tick();
      sent.push_back(Sent(leaf_));
      Measure(leaf_, kOffered);
    }
    return sent;
  }

  HTB_InnerClass& inner_;
  HTB_LeafClass& leaf_;
};

TEST_F(BusyLeafUnderInnerTest, ARootWithoutRateLetsTheLeafRunUpToItsCeiling) {
  const auto unset = Run(10);
  EXPECT_THAT(unset, ::testing::Each(::testing::AllOf(::testing::Gt(0u), ::testing::Le(40 * kKiB))))
      << ::testing::PrintToString(unset);
  EXPECT_EQ(unset.back(), 40 * kKiB);

  SetRoot(SendRoot(), 200 * kKiB);
  const auto raised = Run(10);
  EXPECT_EQ(raised.front(), 40 * kKiB) << ::testing::PrintToString(raised);
  EXPECT_THAT(raised, ::testing::Each(40 * kKiB));
}

TEST_F(BusyLeafUnderInnerTest, ARealRootRateLimitsTheLeafButNeverToZero) {
  SetRoot(SendRoot(), 10 * kKiB);
  const auto tight = Run(10);
  EXPECT_THAT(tight, ::testing::Each(10 * kKiB)) << ::testing::PrintToString(tight);
  EXPECT_EQ(inner_.AllottedRate, 10 * kKiB);

  SetRoot(SendRoot(), 200 * kKiB);
  const auto raised = Run(10);
  // The first tick: it measured 10 KB/s and asks for 10 + 40 / 8.
  EXPECT_EQ(raised.front(), 15 * kKiB) << ::testing::PrintToString(raised);
  EXPECT_EQ(raised.back(), 40 * kKiB);
  EXPECT_THAT(raised, ::testing::Each(::testing::Gt(0u)));

  SetRoot(SendRoot(), 0);  // back to unset: not limiting
  EXPECT_THAT(Run(3), ::testing::Each(40 * kKiB));
}

TEST_F(HtbTickTest, AMemberCutToZeroShrinksTheExcessByWhatItHeld) {
  SendRoot().AssuredRate = 10000;
  const auto& top = AddLeaf(0, 8000, 20000, 8000);
  const auto& cut = AddLeaf(0, 4000, 20000, 4000, 1);
  const auto& idle = AddLeaf(0, 1000, 20000, 1000, 1);  // holds 1000, share 1500
  Tick();
  EXPECT_EQ(Sent(idle), 0u);
  EXPECT_EQ(Sent(cut), 2000u);
  EXPECT_EQ(Sent(top), 8000u);
  EXPECT_EQ(idle.TickAssuredRate, 0u);
}

TEST_F(HtbTickTest, LeavesNotAppliedOrHtbOffRunAtTheFiltersOwnRate) {
  SendRoot().AssuredRate = 50000;
  auto& leaf = AddLeaf(0, 1000, 8000, 5000);
  Tick(false);
  Tick(false);
  EXPECT_EQ(rates.rates[leaf.Filter->DriverClassId], (std::vector<std::uint32_t>{777, 777}));

  leaf.Available = false;
  Tick();
  EXPECT_FALSE(leaf.Applied);
  EXPECT_EQ(Sent(leaf), 777u);

  leaf.Available = true;
  leaf.Filter->AppName = "game.exe";
  leaf.AvailableType = kAvailableWhileProcessRuns;
  Tick();
  EXPECT_EQ(Sent(leaf), 777u);
  activity.running.insert("game.exe");
  Tick();
  EXPECT_EQ(Sent(leaf), 6000u);  // 5000 + 8000 / 8

  const auto unlinked = Leaf("none", -1);
  HtbTick(activity, rates).Apply(*unlinked, true, true);
  EXPECT_EQ(rates.rates.size(), 1u);
}

// ConnectionMonitorActivity over a refreshed connection table.
class OneTable : public TcpTableSource {
 public:
  std::vector<TcpTableRow> rows;
  TcpTableResult ReadTable() override { return {true, 0, rows}; }
  bool RowsCarryOwners() const override { return true; }
};
class OneProcess : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override { return {{42, "Game.exe", "/g"}}; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};
class NoHosts : public HostNameCache {
 public:
  std::string CachedName(const IpAddress&) const override { return {}; }
  void QueueLookup(const IpAddress&) override {}
  void Stop() override {}
};

TEST(ConnectionMonitorActivityTest, OnlyOpeningConnectionsToOtherHostsCount) {
  OneTable table;
  OneProcess processes;
  NoHosts hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  const auto row = [](std::uint32_t state, std::uint32_t remote) {
    return TcpTableRow{
        state, Ipv4Address(10, 0, 0, 2), 0x5000, IpAddress::FromIpv4(remote), 0x5000, 42, 0};
  };
  table.rows = {row(kTcpStateEstablished, Ipv4(127, 0, 0, 1)), row(kTcpStateListen, 0),
                row(kTcpStateTimeWait, Ipv4(192, 0, 2, 1))};
  ASSERT_TRUE(monitor.Refresh());
  const ConnectionMonitorActivity activity(monitor);
  EXPECT_TRUE(activity.ProcessRunning("GAME.EXE"));
  EXPECT_FALSE(activity.ProcessRunning("other.exe"));
  EXPECT_FALSE(activity.ProcessConnected("game.exe"));

  table.rows.push_back(row(kTcpStateSynSent, Ipv4(192, 0, 2, 9)));
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_TRUE(activity.ProcessConnected("game.exe"));
  monitor.ShutDown();
}

// A peer at ::1 is this machine as 127.0.0.1 is; another IPv6 peer and an
// IPv4 peer seen through an IPv6 socket (mapped) are other hosts.
TEST(ConnectionMonitorActivityTest, Ipv6LoopbackPeerIsThisMachine) {
  OneTable table;
  OneProcess processes;
  NoHosts hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  const auto row = [](const IpAddress& local, const IpAddress& remote) {
    return TcpTableRow{kTcpStateEstablished, local, 0x5000, remote, 0x6000, 42, 0};
  };
  const IpAddress loopback6 = *ParseIpAddress("::1");
  table.rows = {row(loopback6, loopback6)};
  ASSERT_TRUE(monitor.Refresh());
  const ConnectionMonitorActivity activity(monitor);
  EXPECT_FALSE(activity.ProcessConnected("game.exe"));

  table.rows = {row(loopback6, loopback6),
                row(*ParseIpAddress("2001:2::1"), *ParseIpAddress("2001:2::7"))};
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_TRUE(activity.ProcessConnected("game.exe"));

  // ::ffff:127.0.0.1 is 127.0.0.1; ::ffff:192.0.2.9 is another host.
  table.rows = {row(*ParseIpAddress("::ffff:127.0.0.1"), *ParseIpAddress("::ffff:127.0.0.1"))};
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_FALSE(activity.ProcessConnected("game.exe"));
  table.rows.push_back(row(Ipv4Address(10, 0, 0, 2), *ParseIpAddress("::ffff:192.0.2.9")));
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_TRUE(activity.ProcessConnected("game.exe"));
  monitor.ShutDown();
}

TEST(DriverClassRateSinkTest, SendsOnlyToUsableAdapters) {
  testing::FakeDeviceTransport device;
  DriverLink link(device, {"/run/harlune/PassThru"});
  RecordingUserDialogs dialogs;
  FakeAdapterSource source;
  source.SetAdapters({{2, "eth0", "eth0", {Ipv4(10, 0, 0, 2)}}});
  AdapterTable adapters;
  adapters.Refresh(
      source, [](std::string_view) { return 0u; }, dialogs);
  adapters.SetValid("eth0", true);
  DriverClassRateSink sink(link, adapters);
  sink.SetClassRate("eth0", 9, 15360);
  sink.SetClassRate("eth1", 9, 15360);
  adapters.SetValid("eth0", false);
  sink.SetClassRate("eth0", 9, 1);
  const auto calls =
      device.CallsWithCode(static_cast<std::uint32_t>(protocol::RequestCode::HlSetTBFClassRate));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].input, (std::vector<std::uint8_t>{9, 0, 0, 0, 0, 0x3C, 0, 0}));
}

}  // namespace
}  // namespace harlune
