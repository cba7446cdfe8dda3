// Per-row and per-request work that runs at every redraw or tick.

#include <benchmark/benchmark.h>

#include "core/monitor/service_names.h"
#include "protocol/byte_order.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {
namespace {

void BM_EncodeDecodeTbfSettingData(benchmark::State& state) {
  _TBF_SETTING_DATA record;
  record.LocalPortCount = 3;
  for (auto _ : state) {
    const auto bytes = protocol::EncodeTbfSettingData(record);
    benchmark::DoNotOptimize(protocol::DecodeTbfSettingData(bytes));
  }
}
BENCHMARK(BM_EncodeDecodeTbfSettingData);

// The remote-port column of a connection row: every port of a busy table.
void BM_FormatPortText(benchmark::State& state) {
  PortTextBuffer buffer{};
  std::uint16_t port = 0;
  for (auto _ : state) {
    const std::uint16_t net = protocol::HostToNet16(port);
    benchmark::DoNotOptimize(FormatPortText(net, net, buffer));
    port = static_cast<std::uint16_t>(port + 97);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatPortText);

void BM_ServiceNameLookup(benchmark::State& state) {
  std::uint16_t port = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ServiceNameOfPort(port));
    port = static_cast<std::uint16_t>(port + 7);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ServiceNameLookup);

}  // namespace
}  // namespace harlune
