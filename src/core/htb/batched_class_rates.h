#pragma once

// The HTB tick's rates gathered per adapter and sent at the end of the tick
// as one HlSetTBFClassRates per adapter (128 classes at most per request),
// in the order the tick gave them: the send tree, then the receive tree.
// An adapter whose driver answers the batch with 1 gets one
// HlSetTBFClassRate per leaf instead, in the same tick and, until the next
// session start, from then on.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/htb/htb_tick.h"
#include "core/monitor/adapter_table.h"
#include "protocol/statistics_batch.h"

namespace harlune {

class DriverLink;

class BatchedClassRateSink final : public ClassRateSink {
 public:
  BatchedClassRateSink(DriverLink& driver, const AdapterTable& adapters)
      : driver_(driver), adapters_(adapters), single_(driver, adapters) {}

  // Kept for Flush while the adapter is usable; a filter without a class
  // is never named to the driver.
  void SetClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                    std::uint32_t bytesPerSecond) override;
  void Flush() override;

 private:
  struct AdapterRates {
    std::string adapterName;
    std::vector<protocol::ClassRate> rates;
  };

  void Send(const AdapterRates& adapter);

  DriverLink& driver_;
  const AdapterTable& adapters_;
  DriverClassRateSink single_;
  std::vector<AdapterRates> pending_;  // adapters in the order they came
};

}  // namespace harlune
