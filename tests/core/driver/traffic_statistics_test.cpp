#include "core/driver/traffic_statistics.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::FakeDeviceTransport;

constexpr auto kClassStatistics = static_cast<std::uint32_t>(RequestCode::HlGetTBFClassStatistics);
constexpr auto kTotalStatistics = static_cast<std::uint32_t>(RequestCode::HlGetTotalStatistics);
constexpr auto kResetTraffic = static_cast<std::uint32_t>(RequestCode::HlResetTraffic);
constexpr auto kStatisticsBatch = static_cast<std::uint32_t>(RequestCode::HlGetStatisticsBatch);

TEST(TrafficStatisticsTextTest, AveragesWrapAndSizesCompareStrictly) {
  EXPECT_EQ(AverageRate(RateHistory32{}), 0u);
  EXPECT_EQ(AverageRate(RateHistory32{0xFFFFFFFFu, 3}), 1u);             // the sum wraps to 2
  EXPECT_EQ(AverageRate(std::deque<std::int32_t>{-2, 0}), 0x7FFFFFFFu);  // taken as unsigned
  EXPECT_EQ(SizeText(1048576), "1024.0 KB");
  EXPECT_EQ(SizeText(1048577), "1.00 MB");
  EXPECT_EQ(SizeText(1073741824), "1024.00 MB");
  EXPECT_EQ(SizeText(1073741825), "1.00 GB");
  EXPECT_EQ(SizeText(UINT64_MAX), "17179869184.00 GB");
}

TEST(TrafficStatisticsTextTest, PanesAndFilterCells) {
  EXPECT_EQ(ReceiveRatePaneText(0x80000000u), " Receive速度-2097152.0 KB/s");  // signed
  EXPECT_EQ(SentTotalPaneText(1073741825), " Send転送量    1.00 GB");
  PacketFilterSetting filter;
  filter.RateHistory = {1024, 2048};
  EXPECT_EQ(FilterRateText(filter), "1.5 KB/s");
  filter.Available = 0;
  EXPECT_EQ(FilterRateText(filter), "未計測");
}

class TrafficStatisticsTest : public ::testing::Test {
 protected:
  TrafficStatisticsTest() {
    FakeAdapterSource source;
    source.SetAdapters({{2, "first", "eth0", {0x0100000A}}, {3, "second", "eth1", {0x0200000A}}});
    adapters.Refresh(
        source, [](std::string_view) { return 0u; }, dialogs);
    adapters.SetValid("eth0", true);  // as the driver session leaves them
    adapters.SetValid("eth1", true);
  }

  PacketFilterSetting& AddFilter(std::string adapter, std::uint32_t classId) {
    PacketFilterSetting record;
    record.LowerAdapterName = std::move(adapter);
    record.DriverClassId = classId;
    return filters.Add(record);
  }

  void ReplyTotals(std::string_view adapter, std::uint64_t sent, std::uint32_t sendRate) {
    const auto bytes = protocol::EncodeTotalStatistics({sent, sent * 2, sendRate, sendRate * 2});
    device.ReplyOn(adapter, kTotalStatistics, {bytes.begin(), bytes.end()});
  }

  // A whole tick; returns whether it redraws.
  bool Tick(bool hidden = false) {
    statistics.SampleFilters();
    return statistics.SampleTotals() && statistics.CountRedraw(hidden);
  }

  RecordingUserDialogs dialogs;
  FakeDeviceTransport device;
  DriverLink link{device, {"/run/harlune/PassThru"}};
  AdapterTable adapters;
  PacketFilterManager filters{dialogs};
  TrafficStatistics statistics{link, adapters, filters};
};

TEST_F(TrafficStatisticsTest, FiltersSampleTheirClassOrZero) {
  statistics.SetViewRefreshCycle(200);  // two samples
  PacketFilterSetting& measured = AddFilter("eth0", 7);
  PacketFilterSetting& failing = AddFilter("eth1", 8);
  PacketFilterSetting& orphan = AddFilter("gone0", 9);
  failing.TransferredBytes = 55;
  const auto reply = protocol::EncodeClassStatistics({123456, 3000});
  device.ReplyOn("eth0", kClassStatistics, {reply.begin(), reply.end()});
  device.FailOn("eth1", kClassStatistics);

  for (int i = 0; i < 3; ++i) {
    statistics.SampleFilters();
  }
  EXPECT_EQ(measured.RateHistory, (std::deque<std::int32_t>{3000, 3000}));
  EXPECT_EQ(measured.TransferredBytes, 123456u);
  EXPECT_EQ(failing.RateHistory, (std::deque<std::int32_t>{0, 0}));
  EXPECT_EQ(failing.TransferredBytes, 55u);
  EXPECT_EQ(orphan.RateHistory, (std::deque<std::int32_t>{0, 0}));
  EXPECT_TRUE(device.CallsWithCode(kClassStatistics, "gone0").empty());

  // The adapter goes away: zero samples push the old ones out.
  adapters.SetValid("eth0", false);
  statistics.SampleFilters();
  EXPECT_EQ(FilterRateText(measured), "1.5 KB/s");
  statistics.SampleFilters();
  EXPECT_EQ(FilterRateText(measured), "0.0 KB/s");
}

TEST_F(TrafficStatisticsTest, TotalsAddUpOverUsableAdapters) {
  ReplyTotals("eth0", 1000, 3000);
  ReplyTotals("eth1", 24, 1000);
  ASSERT_TRUE(statistics.SampleTotals());
  EXPECT_EQ(statistics.SendHistory(), (RateHistory32{4000}));
  EXPECT_EQ(statistics.ReceiveHistory(), (RateHistory32{8000}));
  EXPECT_EQ(statistics.TotalSent(), 1024u);
  const StatusPaneTexts panes = statistics.PaneTexts();
  EXPECT_EQ(panes.sendRate, " Send速度     3.9 KB/s");
  EXPECT_EQ(panes.receivedTotal, " Receive転送量    2.0 KB");

  // One failed read ends the tick: nothing appended, totals kept.
  ReplyTotals("eth0", 5000, 9000);
  device.FailOn("eth1", kTotalStatistics);
  EXPECT_FALSE(Tick());
  EXPECT_EQ(statistics.SendHistory(), (RateHistory32{4000}));
  EXPECT_EQ(statistics.TotalSent(), 1024u);
  EXPECT_EQ(adapters.AdapterValidOf("eth1"), 1);
}

TEST_F(TrafficStatisticsTest, RedrawsOncePerDrawingCycleAndNotWhileHidden) {
  std::vector<int> redraws;
  for (int tick = 1; tick <= 20; ++tick) {
    if (Tick()) {
      redraws.push_back(tick);
    }
  }
  EXPECT_EQ(redraws, (std::vector<int>{10, 20}));
  EXPECT_EQ(statistics.SendHistory().size(), 10u);

  for (int tick = 0; tick < 600; ++tick) {
    EXPECT_FALSE(Tick(true));
  }
  EXPECT_TRUE(Tick(false));  // the first tick after showing the window

  statistics.SetViewRefreshCycle(50);  // no samples kept, a redraw every tick
  ReplyTotals("eth0", 1, 5000);
  EXPECT_TRUE(Tick());
  EXPECT_TRUE(Tick());
  EXPECT_TRUE(statistics.SendHistory().empty());
  EXPECT_EQ(statistics.PaneTexts().sendRate, " Send速度     0.0 KB/s");
}

TEST_F(TrafficStatisticsTest, ResetAsksEveryUsableAdapterAndDropsFailingOnes) {
  ReplyTotals("eth0", 900, 0);
  ASSERT_TRUE(statistics.SampleTotals());
  device.FailOn("eth1", kResetTraffic);
  statistics.ResetTotals();
  EXPECT_EQ(device.CallsWithCode(kResetTraffic, "eth0").size(), 1u);
  EXPECT_EQ(adapters.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(adapters.AdapterValidOf("eth1"), 0);
  EXPECT_EQ(statistics.TotalSent(), 900u);  // the next tick reads the new totals
  EXPECT_TRUE(device.CallsWithCode(kResetTraffic, "none").empty());
}

TEST_F(TrafficStatisticsTest, ABatchReplyOfTheWrongLengthFailsItsClassesAndTheTick) {
  PacketFilterSetting& filter = AddFilter("eth0", 7);
  PacketFilterSetting& other = AddFilter("eth1", 8);
  filter.TransferredBytes = 55;
  const auto reply = protocol::EncodeClassStatistics({123456, 3000});
  device.ReplyOn("eth0", kClassStatistics, {reply.begin(), reply.end()});
  device.ReplyOn("eth1", kClassStatistics, {reply.begin(), reply.end()});
  // The totals and one class, but without the class's status word.
  device.ReplyOn("eth0", kStatisticsBatch, std::vector<std::uint8_t>(32 + 12));

  statistics.SampleFilters();
  EXPECT_FALSE(statistics.SampleTotals());
  EXPECT_TRUE(statistics.SendHistory().empty());
  EXPECT_EQ(filter.RateHistory, (std::deque<std::int32_t>{0}));
  EXPECT_EQ(filter.TransferredBytes, 55u);
  EXPECT_EQ(other.RateHistory, (std::deque<std::int32_t>{3000}));
  // A wrong reply is no sign of an old driver: nothing is asked one by one.
  EXPECT_TRUE(device.CallsWithCode(kClassStatistics).empty());
  EXPECT_TRUE(device.CallsWithCode(kTotalStatistics).empty());
  EXPECT_TRUE(link.Batches().StatisticsBatchKnown("eth0"));
}

TEST_F(TrafficStatisticsTest, MoreClassesThanABatchHoldsGoInSeveralInListOrder) {
  std::vector<PacketFilterSetting*> added;
  for (std::uint32_t id = 1; id <= 130; ++id) {
    added.push_back(&AddFilter(id % 2 == 0 ? "eth0" : "eth1", id));
  }
  const auto reply = protocol::EncodeClassStatistics({1, 4096});
  device.ReplyOn("eth0", kClassStatistics, {reply.begin(), reply.end()});
  ReplyTotals("eth0", 1000, 3000);
  ReplyTotals("eth1", 24, 1000);
  for (std::uint32_t i = 0; i < 200; ++i) {
    AddFilter("eth0", 1000 + i);
  }
  statistics.SampleFilters();
  ASSERT_TRUE(statistics.SampleTotals());

  const auto batches = device.CallsWithCode(kStatisticsBatch, "eth0");
  ASSERT_EQ(batches.size(), 3U);  // 65 + 200 classes
  const auto first = protocol::DecodeStatisticsBatchRequest(batches[0].input);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 128U);
  EXPECT_EQ(first->front(), 2U);
  EXPECT_EQ(protocol::DecodeStatisticsBatchRequest(batches[2].input)->size(), 265U - 256U);
  EXPECT_EQ(protocol::DecodeStatisticsBatchRequest(batches[2].input)->back(), 1199U);
  EXPECT_EQ(added[1]->RateHistory, (std::deque<std::int32_t>{4096}));
  EXPECT_EQ(filters.At(filters.Size() - 1).RateHistory, (std::deque<std::int32_t>{4096}));
  EXPECT_EQ(added[0]->RateHistory, (std::deque<std::int32_t>{0}));  // eth1 has no reply
  EXPECT_EQ(statistics.TotalSent(), 1024u);
  EXPECT_EQ(device.CallsWithCode(kStatisticsBatch, "eth1").size(), 1U);
}

}  // namespace
}  // namespace harlune
