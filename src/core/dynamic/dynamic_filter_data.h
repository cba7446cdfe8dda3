#pragma once

// What a dynamic filter adds to the common filter members: the trigger
// conditions under which its action is meant to apply, and the filters it is
// meant for. The conditions of one record are joined by "and"; a condition
// whose value is empty or 0 is absent. Rates are KB/s; filters are named by
// the FilterId of the older family.

#include <cstdint>
#include <string>
#include <vector>

namespace harlune {

struct DynamicFilterData {
  std::string TriggerRunningProcessName;     // a process of this name runs
  std::string TriggerConnectingProcessName;  // a process of this name has a connection
  std::int32_t TriggerTotalUpBandwidthLow = 0;
  std::int32_t TriggerTotalUpBandwidthHigh = 0;
  std::int32_t TriggerTotalDownBandwidthLow = 0;
  std::int32_t TriggerTotalDownBandwidthHigh = 0;
  std::int32_t TriggerFilterBandwidthLow = 0;
  std::int32_t TriggerFilterBandwidthHigh = 0;
  std::int32_t TriggerFilterBandwidthId = 0;  // the filter the two values above bound
  std::vector<std::int32_t> TargetFilterIds;  // in file order
};

}  // namespace harlune
