#include "core/htb/htb_tick.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/ipv4.h"
#include "core/driver/driver_link.h"
#include "core/monitor/connection_monitor.h"
#include "htb_tick_fixture.h"
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

TEST_F(HtbTickTest, TooLittleBandwidthLowersOnlyTheTicksCopies) {
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

  SendRoot().AssuredRate = 40000;  // the lowered rates stay in use
  Tick();
  EXPECT_EQ(b.TickAssuredRate, 10000u);
  a.AssuredRate = 12000;  // an edit starts the class afresh
  Tick();
  EXPECT_EQ(a.TickAssuredRate, 12000u);
  EXPECT_EQ(b.TickAssuredRate, 10000u);
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
  std::string CachedName(std::uint32_t) const override { return {}; }
  void QueueLookup(std::uint32_t) override {}
  void Stop() override {}
};

TEST(ConnectionMonitorActivityTest, OnlyOpeningConnectionsToOtherHostsCount) {
  OneTable table;
  OneProcess processes;
  NoHosts hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  const auto row = [](std::uint32_t state, std::uint32_t remote) {
    return TcpTableRow{state, Ipv4(10, 0, 0, 2), 0x5000, remote, 0x5000, 42, 0};
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
