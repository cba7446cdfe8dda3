#include "core/driver/driver_batch_memory.h"

namespace harlune {

const DriverBatchMemory::Adapter* DriverBatchMemory::Find(std::string_view adapterName) const {
  const auto found = adapters_.find(adapterName);
  return found == adapters_.end() ? nullptr : &found->second;
}

DriverBatchMemory::Adapter& DriverBatchMemory::Of(std::string_view adapterName) {
  const auto found = adapters_.find(adapterName);
  if (found != adapters_.end()) {
    return found->second;
  }
  return adapters_.emplace(std::string(adapterName), Adapter{}).first->second;
}

void DriverBatchMemory::MarkNoStatisticsBatch(std::string_view adapterName) {
  Of(adapterName).noStatisticsBatch = true;
  fallbackUsed_ = true;
}

void DriverBatchMemory::MarkNoRatesBatch(std::string_view adapterName) {
  Of(adapterName).noRatesBatch = true;
  fallbackUsed_ = true;
}

bool DriverBatchMemory::StatisticsBatchKnown(std::string_view adapterName) const {
  const Adapter* adapter = Find(adapterName);
  return adapter == nullptr || !adapter->noStatisticsBatch;
}

bool DriverBatchMemory::RatesBatchKnown(std::string_view adapterName) const {
  const Adapter* adapter = Find(adapterName);
  return adapter == nullptr || !adapter->noRatesBatch;
}

void DriverBatchMemory::KeepPendingCapture(std::string_view adapterName, std::uint32_t ipv4,
                                           std::uint32_t ipv6) {
  Adapter& adapter = Of(adapterName);
  adapter.pending[0] = ipv4;
  adapter.pending[1] = ipv6;
}

void DriverBatchMemory::ForgetPendingCapture(std::string_view adapterName) {
  if (const auto found = adapters_.find(adapterName); found != adapters_.end()) {
    found->second.pending[0].reset();
    found->second.pending[1].reset();
  }
}

void DriverBatchMemory::MarkCaptureDrained(std::string_view adapterName, bool ipv6) {
  if (const auto found = adapters_.find(adapterName); found != adapters_.end()) {
    std::optional<std::uint32_t>& pending = found->second.pending[ipv6 ? 1 : 0];
    if (pending) {
      pending = 0;
    }
  }
}

bool DriverBatchMemory::CaptureMayBePending(std::string_view adapterName, bool ipv6) const {
  const Adapter* adapter = Find(adapterName);
  if (adapter == nullptr) {
    return true;
  }
  const std::optional<std::uint32_t>& pending = adapter->pending[ipv6 ? 1 : 0];
  return !pending || *pending > 0;
}

}  // namespace harlune
