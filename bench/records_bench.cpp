// Per-row and per-request work that runs at every redraw or tick.

#include <benchmark/benchmark.h>

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

}  // namespace
}  // namespace harlune
