#include "core/htb/batched_class_rates.h"

#include <algorithm>
#include <span>
#include <utility>

#include "core/driver/driver_link.h"

namespace harlune {

void BatchedClassRateSink::SetClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                                        std::uint32_t bytesPerSecond) {
  if (driverClassId == kNoDriverClass || adapters_.AdapterValidOf(adapterName) != 1) {
    return;
  }
  auto adapter = std::ranges::find(pending_, adapterName, &AdapterRates::adapterName);
  if (adapter == pending_.end()) {
    adapter = pending_.insert(pending_.end(), {std::string(adapterName), {}});
  }
  adapter->rates.push_back({driverClassId, bytesPerSecond});
}

void BatchedClassRateSink::Flush() {
  for (const AdapterRates& adapter : std::exchange(pending_, {})) {
    Send(adapter);
  }
}

void BatchedClassRateSink::Send(const AdapterRates& adapter) {
  const std::span<const protocol::ClassRate> rates(adapter.rates);
  std::size_t start = 0;
  while (start < rates.size() && driver_.Batches().RatesBatchKnown(adapter.adapterName)) {
    const auto chunk =
        rates.subspan(start, std::min(protocol::kMaxBatchClasses, rates.size() - start));
    if (driver_.HlSetTBFClassRates(adapter.adapterName, chunk).UnknownRequest()) {
      break;  // this chunk and the rest go one by one
    }
    start += chunk.size();
  }
  for (const protocol::ClassRate& rate : rates.subspan(start)) {
    single_.SetClassRate(adapter.adapterName, rate.driverClassId, rate.bytesPerSecond);
  }
}

}  // namespace harlune
