// The statistics tick and the HTB rates over one scripted driver, once with
// the batch requests and once with a driver that answers them with 1 (and
// once with one that knows only the statistics batch): samples, histories,
// totals, the rates the driver took and the suspects must be the same.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/driver/traffic_statistics.h"
#include "core/htb/batched_class_rates.h"
#include "core/htb/htb_manager.h"
#include "core/htb/htb_tick.h"
#include "protocol/byte_order.h"
#include "protocol/statistics_batch.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::FakeDeviceTransport;

constexpr std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }
constexpr std::uint32_t kClassStatistics = Code(RequestCode::HlGetTBFClassStatistics);
constexpr std::uint32_t kTotalStatistics = Code(RequestCode::HlGetTotalStatistics);
constexpr std::uint32_t kSetRate = Code(RequestCode::HlSetTBFClassRate);
constexpr std::uint32_t kStatisticsBatch = Code(RequestCode::HlGetStatisticsBatch);
constexpr std::uint32_t kRatesBatch = Code(RequestCode::HlSetTBFClassRates);

enum class DriverKind { kBatches, kNoBatches, kNoRatesBatch };

std::vector<std::uint8_t> Bytes(const auto& array) { return {array.begin(), array.end()}; }

class AlwaysActive : public LeafActivity {
 public:
  bool ProcessRunning(std::string_view) const override { return true; }
  bool ProcessConnected(std::string_view) const override { return true; }
};

// (class id, rate, status) of every rate the driver read, per adapter path.
using RatesSeen =
    std::map<std::u16string, std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>>;

struct Outcome {
  std::vector<std::deque<std::int32_t>> histories;
  std::vector<std::uint64_t> transferred;
  std::vector<bool> totalsSampled;
  RateHistory32 sendHistory;
  RateHistory32 receiveHistory;
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  RatesSeen rates;
  // Per tick, the suspects as (adapter, connection lost), sorted.
  std::vector<std::vector<std::pair<std::string, bool>>> suspects;

  bool operator==(const Outcome&) const = default;
};

// Two usable adapters, one in the table but not usable, and filters of
// every kind interleaved: measured ones, one the driver does not know (31),
// one it refuses as malformed (87), one without a class, one of an adapter
// that is gone. Leaves drive most of them in both trees.
class ScriptedRun {
 public:
  explicit ScriptedRun(DriverKind kind) : kind_(kind) {
    FakeAdapterSource source;
    source.SetAdapters({{2, "a", "eth0", {0x0100000A}},
                        {3, "b", "eth1", {0x0200000A}},
                        {4, "c", "eth2", {0x0300000A}}});
    adapters_.Refresh(
        source, [](std::string_view) { return 0u; }, dialogs_);
    adapters_.SetValid("eth0", true);
    adapters_.SetValid("eth1", true);
    statistics_.SetViewRefreshCycle(300);
    manager_.SendTree().Root()->AssuredRate = 64 * 1024;
    manager_.ReceiveTree().Root()->AssuredRate = 32 * 1024;
  }

  void AddFilter(const std::string& adapter, std::uint32_t classId, std::uint32_t direction) {
    PacketFilterSetting record;
    record.ID = static_cast<std::int32_t>(filters_.Size() + 1);
    record.LowerAdapterName = adapter;
    record.DriverClassId = classId;
    record.TBFMode = direction;
    record.TBFRate = 5000 + record.ID;
    PacketFilterSetting& filter = filters_.Add(record);
    auto leaf = std::make_shared<HTB_LeafClass>();
    leaf->FilterID = filter.ID;
    leaf->Filter = &filter;
    leaf->AvailableType = kAvailableAlways;
    leaf->AssuredRate = 1024;
    leaf->CeilRate = 16 * 1024;
    manager_.Add(direction == 0 ? HTB_Manager::kSendRootID : HTB_Manager::kReceiveRootID, leaf);
  }

  // Four ticks: two normal ones, one while eth1's driver is silent, one
  // after eth1 was marked not usable.
  Outcome Run() {
    ScriptDriver();
    Outcome outcome;
    Tick(outcome);
    Tick(outcome);
    SilenceEth1();
    Tick(outcome);
    adapters_.SetValid("eth1", false);  // as the watch leaves a silent driver
    Tick(outcome);
    return Finish(std::move(outcome));
  }

  std::size_t Sent(std::uint32_t code) const { return device_.CallsWithCode(code).size(); }

 private:
  void ScriptDriver() {
    switch (kind_) {
      case DriverKind::kBatches:
        break;
      case DriverKind::kNoBatches:
        device_.knowsBatches = false;
        break;
      case DriverKind::kNoRatesBatch:
        device_.FailOn("eth0", kRatesBatch, 1);
        device_.FailOn("eth1", kRatesBatch, 1);
        break;
    }
    AddFilter("eth0", 1, 0);
    AddFilter("eth1", 1, 1);  // the same id names another class on another adapter
    AddFilter("eth0", 2, 0);
    AddFilter("eth1", 7, 1);
    AddFilter("eth0", kNoDriverClass, 0);
    AddFilter("gone0", 3, 0);
    AddFilter("eth2", 4, 1);
    AddFilter("eth0", 5, 1);
    device_.ReplyForClass("eth0", kClassStatistics, 1,
                          {0, Bytes(protocol::EncodeClassStatistics({1000, 2048}))});
    device_.ReplyForClass("eth1", kClassStatistics, 1,
                          {0, Bytes(protocol::EncodeClassStatistics({5, 9000}))});
    device_.ReplyForClass("eth0", kClassStatistics, 2, {31, {}});
    device_.ReplyForClass("eth1", kClassStatistics, 7, {87, {}});
    device_.ReplyOn("eth0", kClassStatistics, Bytes(protocol::EncodeClassStatistics({77, 1500})));
    device_.ReplyOn("eth0", kTotalStatistics,
                    Bytes(protocol::EncodeTotalStatistics({1 << 20, 2 << 20, 0xFFFFFFF0u, 9})));
    device_.ReplyOn("eth1", kTotalStatistics,
                    Bytes(protocol::EncodeTotalStatistics({3, 4, 0x20, 10})));
    device_.ReplyForClass("eth1", kSetRate, 7, {31, {}});
  }

  // One statistics tick as the engine runs it.
  void Tick(Outcome& outcome) {
    statistics_.SampleFilters();
    const bool sampled = statistics_.SampleTotals();
    outcome.totalsSampled.push_back(sampled);
    if (sampled) {
      htb_.Run(manager_, true);
    }
    std::vector<std::pair<std::string, bool>> suspects;
    for (const DriverSuspect& suspect : link_.TakeSuspects()) {
      suspects.emplace_back(suspect.adapterName, suspect.connectionLost);
    }
    std::ranges::sort(suspects);
    outcome.suspects.push_back(suspects);
  }

  Outcome Finish(Outcome outcome) const {
    for (std::size_t i = 0; i < filters_.Size(); ++i) {
      outcome.histories.push_back(filters_.At(i).RateHistory);
      outcome.transferred.push_back(filters_.At(i).TransferredBytes);
    }
    outcome.sendHistory = statistics_.SendHistory();
    outcome.receiveHistory = statistics_.ReceiveHistory();
    outcome.sent = statistics_.TotalSent();
    outcome.received = statistics_.TotalReceived();
    outcome.rates = RatesTheDriverRead();
    return outcome;
  }

  RatesSeen RatesTheDriverRead() const {
    RatesSeen seen;
    for (const FakeDeviceTransport::Call& call : device_.calls) {
      if (call.code == kSetRate) {
        seen[call.adapterPath].emplace_back(protocol::LoadLe32(call.input, 0),
                                            protocol::LoadLe32(call.input, 4), call.error);
      } else if (call.code == kRatesBatch && call.error == 0) {
        const auto rates = protocol::DecodeClassRatesRequest(call.input);
        const auto statuses = protocol::DecodeClassRatesReply(call.output, rates->size());
        for (std::size_t i = 0; i < rates->size(); ++i) {
          seen[call.adapterPath].emplace_back((*rates)[i].driverClassId, (*rates)[i].bytesPerSecond,
                                              (*statuses)[i]);
        }
      }
    }
    return seen;
  }

  // The eth1 driver stops answering: its kept connection is no longer
  // bound and a new one is refused.
  void SilenceEth1() {
    device_.bindStatusOf[u"\\DEVICE\\eth1"] = protocol::kBindStatusNoSuchAdapter;
    device_.ForgetBindings("eth1");
  }

  DriverKind kind_;
  RecordingUserDialogs dialogs_;
  FakeDeviceTransport device_;
  DriverLink link_{device_, {"/run/harlune/PassThru"}};
  AdapterTable adapters_;
  PacketFilterManager filters_{dialogs_};
  HTB_Manager manager_;
  AlwaysActive activity_;
  BatchedClassRateSink rates_{link_, adapters_};
  HtbTick htb_{activity_, rates_};
  TrafficStatistics statistics_{link_, adapters_, filters_};
};

using Suspects = std::vector<std::pair<std::string, bool>>;

TEST(BatchPathsTest, TheBatchPathGivesWhatTheScriptSays) {
  ScriptedRun run(DriverKind::kBatches);
  Outcome outcome = run.Run();
  // Three samples kept: ticks 2 to 4; eth1 reads 0 while silent and after.
  EXPECT_EQ(outcome.histories, (std::vector<std::deque<std::int32_t>>{{2048, 2048, 2048},
                                                                      {9000, 0, 0},
                                                                      {0, 0, 0},
                                                                      {0, 0, 0},
                                                                      {0, 0, 0},
                                                                      {0, 0, 0},
                                                                      {0, 0, 0},
                                                                      {1500, 1500, 1500}}));
  EXPECT_EQ(outcome.transferred, (std::vector<std::uint64_t>{1000, 5, 0, 0, 0, 0, 0, 77}));
  EXPECT_EQ(outcome.totalsSampled, (std::vector<bool>{true, true, false, true}));
  // The failed tick appends nothing; the 32-bit sums wrap.
  EXPECT_EQ(outcome.sendHistory, (RateHistory32{0x10u, 0x10u, 0xFFFFFFF0u}));
  EXPECT_EQ(outcome.receiveHistory, (RateHistory32{19, 19, 9}));
  EXPECT_EQ(outcome.sent, 1u << 20);
  EXPECT_EQ(outcome.suspects, (std::vector<Suspects>{{{"eth0", false}, {"eth1", false}},
                                                     {{"eth0", false}, {"eth1", false}},
                                                     {{"eth0", false}, {"eth1", true}},
                                                     {{"eth0", false}}}));
  // Leaves of classes 1, 2 and 5 on eth0 and 1 and 7 (refused) on eth1, in
  // the ticks that ran the HTB; none for the classless filter or the
  // unusable adapters.
  ASSERT_EQ(outcome.rates[u"\\DEVICE\\eth0"].size(), 9U);
  ASSERT_EQ(outcome.rates[u"\\DEVICE\\eth1"].size(), 4U);
  EXPECT_EQ(std::get<0>(outcome.rates[u"\\DEVICE\\eth0"][2]), 5U);  // the receive tree last
  EXPECT_EQ(std::get<2>(outcome.rates[u"\\DEVICE\\eth1"][1]), 31U);

  // One request per usable adapter and tick for each, and no single one.
  EXPECT_EQ(run.Sent(kStatisticsBatch), 7U);
  EXPECT_EQ(run.Sent(kRatesBatch), 5U);
  EXPECT_EQ(run.Sent(kClassStatistics) + run.Sent(kTotalStatistics) + run.Sent(kSetRate), 0U);
}

TEST(BatchPathsTest, DriversWithoutTheBatchesGiveTheSameOutcome) {
  const Outcome batched = ScriptedRun(DriverKind::kBatches).Run();
  for (const DriverKind kind : {DriverKind::kNoBatches, DriverKind::kNoRatesBatch}) {
    ScriptedRun run(kind);
    const Outcome outcome = run.Run();
    EXPECT_EQ(outcome.histories, batched.histories);
    EXPECT_EQ(outcome.transferred, batched.transferred);
    EXPECT_EQ(outcome.totalsSampled, batched.totalsSampled);
    EXPECT_EQ(outcome.sendHistory, batched.sendHistory);
    EXPECT_EQ(outcome.receiveHistory, batched.receiveHistory);
    EXPECT_EQ(outcome.rates, batched.rates);
    EXPECT_EQ(outcome.suspects, batched.suspects);
    EXPECT_TRUE(outcome == batched);
    // Each batch the driver does not know is asked once per adapter.
    EXPECT_EQ(run.Sent(kRatesBatch), 2U);
    EXPECT_EQ(run.Sent(kSetRate), 13U);
  }
  ScriptedRun old(DriverKind::kNoBatches);
  old.Run();
  EXPECT_EQ(old.Sent(kStatisticsBatch), 2U);
  // The five classes of usable adapters per tick; while eth1 is silent only
  // its first request reaches the driver, and then eth1 is not usable.
  EXPECT_EQ(old.Sent(kClassStatistics), 5U + 5U + 4U + 3U);
}

}  // namespace
}  // namespace harlune
