// One statistics tick as the application runs it ten times a second: the
// statistics of every filter's class and every adapter's totals, then the
// HTB tick with the rates of every linked leaf. 128 filters on two
// adapters, against harlune-passthru in simulation serving its socket from
// another thread, with every request on its own connection and with the
// adapters' connections kept; and with the batch requests (one statistics
// and one rates request per adapter) or with a driver that does not know
// them (one request per class, and one per adapter for the totals).

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "core/driver/driver_link.h"
#include "core/driver/traffic_statistics.h"
#include "core/htb/batched_class_rates.h"
#include "core/htb/htb_manager.h"
#include "core/htb/htb_tick.h"
#include "passthru/daemon/daemon.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/framing.h"
#include "protocol/request_codes.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr int kFilters = 128;
constexpr int kLeavesPerGroup = 16;
const char* const kAdapters[] = {"sim0", "sim1"};

// The daemon in simulation mode on a private socket, for the life of the
// object.
class SimulatedDriver {
 public:
  SimulatedDriver() {
    testing::WriteFileText(dir_.path() / "flows",
                           "adapter sim0\nadapter sim1\n"
                           "flow sim0 send tcp 10.0.0.2:50000 198.51.100.7:80 1M\n"
                           "flow sim1 receive tcp 10.0.1.2:50001 192.0.2.10:443 512K\n");
    DaemonOptions options;
    options.flowsFile = dir_.path() / "flows";
    options.socketPath = socket_;
    thread_ = std::thread([this, options] { RunSimulation(options, stop_, log_, errors_); });
    for (int i = 0; i < 200 && !std::filesystem::exists(socket_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~SimulatedDriver() {
    stop_.Request();
    thread_.join();
  }
  SimulatedDriver(const SimulatedDriver&) = delete;
  SimulatedDriver& operator=(const SimulatedDriver&) = delete;

  std::string SocketPath() const { return socket_.string(); }
  bool Ready() const { return std::filesystem::exists(socket_); }

 private:
  testing::TempDir dir_;
  std::filesystem::path socket_ = dir_.path() / "PassThru";
  StopSignal stop_;
  std::ostringstream log_;
  std::ostringstream errors_;
  std::thread thread_;
};

enum class Batches { kKnown, kUnknown };

// The socket transport, counting the requests that reach the driver (binds
// aside); with
// Batches::kUnknown it answers the batches with 1 as a driver of before
// them does (the application asks each adapter once per session).
class CountingTransport : public DeviceTransport {
 public:
  explicit CountingTransport(Batches batches) : batches_(batches) {}

  std::unique_ptr<DeviceHandle> OpenDevice(const std::string& deviceName) override {
    auto handle = socket_.OpenDevice(deviceName);
    return handle ? std::make_unique<Handle>(*this, std::move(handle)) : nullptr;
  }
  std::uint64_t Requests() const { return requests_; }

 private:
  class Handle : public DeviceHandle {
   public:
    Handle(CountingTransport& owner, std::unique_ptr<DeviceHandle> inner)
        : owner_(owner), inner_(std::move(inner)) {}
    DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                             std::span<std::uint8_t> output) override {
      if (owner_.batches_ == Batches::kUnknown &&
          (code == static_cast<std::uint32_t>(protocol::RequestCode::HlGetStatisticsBatch) ||
           code == static_cast<std::uint32_t>(protocol::RequestCode::HlSetTBFClassRates))) {
        return {false, protocol::device_error::kInvalidFunction, 0};
      }
      if (code != static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter)) {
        ++owner_.requests_;
      }
      return inner_->Control(code, input, output);
    }

   private:
    CountingTransport& owner_;
    std::unique_ptr<DeviceHandle> inner_;
  };

  Batches batches_;
  UnixSocketTransport socket_;
  std::uint64_t requests_ = 0;
};

class AlwaysActive : public LeafActivity {
 public:
  bool ProcessRunning(std::string_view) const override { return true; }
  bool ProcessConnected(std::string_view) const override { return true; }
};

class NoDriver : public ClassRateSink {
 public:
  void SetClassRate(std::string_view, std::uint32_t, std::uint32_t) override {}
};

// The application's side: adapters, 128 filters with their classes in the
// driver, and one leaf per filter in groups of 16 (send filters in the send
// tree, receive filters in the receive tree).
class Application {
 public:
  Application(const std::string& socketPath, DriverConnections connections,
              Batches batches = Batches::kKnown)
      : transport_(batches), link_(transport_, {socketPath}, connections) {
    FakeAdapterSource source;
    source.SetAdapters({{2, "sim0", "sim0", {0x0200000A}}, {3, "sim1", "sim1", {0x0201000A}}});
    adapters_.Refresh(
        source, [](std::string_view) { return 0u; }, dialogs_);
    for (const char* name : kAdapters) {
      adapters_.SetValid(name, link_.HlGetVersion(name) == protocol::kDriverVersion);
    }
    manager_.SendTree().Root()->AssuredRate = 1 << 20;
    manager_.ReceiveTree().Root()->AssuredRate = 1 << 20;
    for (int i = 0; i < kFilters; ++i) {
      AddFilter(i);
    }
    statistics_.SetViewRefreshCycle(1000);
  }

  bool Usable() const {
    return filters_.Size() == kFilters && adapters_.AdapterValidOf("sim0") == 1 &&
           adapters_.AdapterValidOf("sim1") == 1;
  }

  void Tick() {
    statistics_.SampleFilters();
    if (statistics_.SampleTotals()) {
      htb_.Run(manager_, true);
      statistics_.CountRedraw(false);
    }
  }

  HTB_Manager& Manager() { return manager_; }
  std::uint64_t Requests() const { return transport_.Requests(); }

  // Varied measured rates, so that groups exceed their upper rates and the
  // sharing step has work to do.
  void SetMeasuredRates() {
    for (std::size_t i = 0; i < filters_.Size(); ++i) {
      filters_.At(i).RateHistory = {static_cast<std::int32_t>((i * 7919) % 65536 + 1024)};
    }
  }

 private:
  void AddFilter(int i) {
    PacketFilterSetting record;
    record.LowerAdapterName = kAdapters[i % 2];
    record.TBFMode = static_cast<std::uint32_t>(i % 2);
    record.TBFRate = 64 * 1024;
    if (!link_.HlAddTBFClass(record.LowerAdapterName, record)) {
      return;
    }
    PacketFilterSetting& filter = filters_.Add(record);
    const std::int32_t root = i % 2 == 0 ? HTB_Manager::kSendRootID : HTB_Manager::kReceiveRootID;
    const int slot = i / 2;
    if (slot % kLeavesPerGroup == 0) {
      auto group = std::make_shared<HTB_InnerClass>();
      group->AssuredRate = 128 * 1024;
      group->CeilRate = 512 * 1024;
      manager_.Add(root, group);
      groups_[i % 2] = group->ID;
    }
    auto leaf = std::make_shared<HTB_LeafClass>();
    leaf->FilterID = filter.ID;
    leaf->Filter = &filter;
    leaf->AvailableType = kAvailableAlways;
    leaf->AssuredRate = 4 * 1024;
    leaf->CeilRate = 64 * 1024;
    leaf->Priority = static_cast<std::uint32_t>(slot % 3);
    manager_.Add(groups_[i % 2], leaf);
  }

  RecordingUserDialogs dialogs_;
  CountingTransport transport_;
  DriverLink link_;
  AdapterTable adapters_;
  PacketFilterManager filters_{dialogs_};
  HTB_Manager manager_;
  AlwaysActive activity_;
  BatchedClassRateSink rates_{link_, adapters_};
  HtbTick htb_{activity_, rates_};
  TrafficStatistics statistics_{link_, adapters_, filters_};
  std::int32_t groups_[2] = {HTB_Manager::kSendRootID, HTB_Manager::kReceiveRootID};
};

// With the batches 2 statistics and 2 rates requests per tick; without
// them 128 class reads + 2 total reads + 128 rate requests.
void BM_StatisticsTick128Filters(benchmark::State& state, DriverConnections connections,
                                 Batches batches) {
  SimulatedDriver driver;
  if (!driver.Ready()) {
    state.SkipWithError("the simulated driver did not start");
    return;
  }
  Application application(driver.SocketPath(), connections, batches);
  if (!application.Usable()) {
    state.SkipWithError("the simulated driver refused the filters");
    return;
  }
  application.Tick();  // an old driver is found out in the first tick
  const std::uint64_t before = application.Requests();
  for (auto _ : state) {
    application.Tick();
  }
  const auto requests = static_cast<double>(application.Requests() - before);
  state.counters["requests_per_tick"] = requests / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(requests));  // driver requests
}
BENCHMARK_CAPTURE(BM_StatisticsTick128Filters, batch_one_shot, DriverConnections::kOneShot,
                  Batches::kKnown)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StatisticsTick128Filters, batch_reused, DriverConnections::kReused,
                  Batches::kKnown)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StatisticsTick128Filters, fallback_one_shot, DriverConnections::kOneShot,
                  Batches::kUnknown)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StatisticsTick128Filters, fallback_reused, DriverConnections::kReused,
                  Batches::kUnknown)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The HTB computation of the same trees alone, without driver requests.
void BM_HtbComputation128Leaves(benchmark::State& state) {
  SimulatedDriver driver;
  Application application(driver.SocketPath(), DriverConnections::kReused);
  application.SetMeasuredRates();
  AlwaysActive activity;
  NoDriver rates;
  HtbTick htb(activity, rates);
  for (auto _ : state) {
    htb.Run(application.Manager(), true);
  }
  state.SetItemsProcessed(state.iterations() * kFilters);
}
BENCHMARK(BM_HtbComputation128Leaves)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace harlune
