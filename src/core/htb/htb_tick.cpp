#include "core/htb/htb_tick.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/driver/driver_link.h"
#include "core/htb/htb_sharing.h"
#include "core/monitor/connection_info.h"
#include "core/monitor/connection_monitor.h"

namespace harlune {

namespace {

// Below this measured rate a leaf counts as idle and asks for its
// guaranteed rate only.
constexpr std::uint32_t kIdleRate = 1024;

bool IsOpening(std::uint32_t state) {
  return state == kTcpStateSynSent || state == kTcpStateSynRcvd || state == kTcpStateEstablished;
}

std::uint32_t SaturatingAdd(std::uint32_t a, std::uint32_t b) {
  const std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
  return a > max - b ? max : a + b;
}

// The newest rate sample of the filter. A history that holds none (a
// drawing cycle under 100 ms keeps no samples) reads as idle.
std::uint32_t NewestSample(const PacketFilterSetting& filter) {
  return filter.RateHistory.empty() ? 0 : static_cast<std::uint32_t>(filter.RateHistory.back());
}

}  // namespace

bool ConnectionMonitorActivity::ProcessRunning(std::string_view appName) const {
  return monitor_.Processes().IdsOf(appName) != -1;
}

bool ConnectionMonitorActivity::ProcessConnected(std::string_view appName) const {
  std::vector<std::int32_t> ids;  // ascending
  if (monitor_.Processes().IdsOf(appName, &ids) == -1) {
    return false;
  }
  return std::any_of(
      monitor_.Connections().begin(), monitor_.Connections().end(), [&](const auto& entry) {
        const ConnectionInfo& connection = *entry.second;
        return IsOpening(connection.state) && !IsLocalHostAddress(connection.remoteAddr) &&
               std::binary_search(ids.begin(), ids.end(), connection.processId);
      });
}

void DriverClassRateSink::SetClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                                       std::uint32_t bytesPerSecond) {
  if (adapters_.AdapterValidOf(adapterName) == 1) {
    driver_.HlSetTBFClassRate(adapterName, driverClassId, bytesPerSecond);
  }
}

void HtbTick::Run(HTB_Manager& manager, bool doHtb) {
  for (HTB_Class* root : {static_cast<HTB_Class*>(manager.SendTree().Root().get()),
                          static_cast<HTB_Class*>(manager.ReceiveTree().Root().get())}) {
    ComputeDemand(*root);
    Apply(*root, true, doHtb);
  }
  rates_.Flush();
}

bool HtbTick::ComputeDemand(HTB_Class& cls) {
  // Parents derive before their children, who take their percentages of
  // the parent's rates.
  cls.DeriveRates();
  cls.ResetTickAssurance();
  if (auto* leaf = dynamic_cast<HTB_LeafClass*>(&cls)) {
    return ComputeLeafDemand(*leaf);
  }
  return ComputeInnerDemand(cls);
}

bool HtbTick::LeafConditionHolds(const HTB_LeafClass& leaf) const {
  const std::string& appName = leaf.Filter->AppName;
  switch (leaf.AvailableType) {
    case kAvailableWhileProcessRuns:
      return appName.empty() || activity_.ProcessRunning(appName);
    case kAvailableWhileConnected:
      return appName.empty() || activity_.ProcessConnected(appName);
    default:
      return true;
  }
}

bool HtbTick::ComputeLeafDemand(HTB_LeafClass& leaf) {
  if (!leaf.Available || leaf.Filter == nullptr || !LeafConditionHolds(leaf)) {
    leaf.AllottedRate = 0;
    leaf.CurrentRate = 0;
    leaf.Active = false;
    return false;
  }
  leaf.Active = true;
  leaf.CurrentRate = NewestSample(*leaf.Filter);
  std::uint32_t demand = leaf.TickAssuredRate;
  if (leaf.CurrentRate >= kIdleRate) {
    // Room to grow by an eighth of the upper rate, within the class's limits.
    demand = SaturatingAdd(leaf.CurrentRate, leaf.CeilRate / 8);
    demand = std::max(demand, leaf.TickAssuredRate);
    demand = std::min(demand, leaf.CeilRate);
  }
  leaf.AllottedRate = demand;
  return true;
}

bool HtbTick::ComputeInnerDemand(HTB_Class& inner) {
  if (!inner.Available) {
    inner.CurrentRate = 0;
    inner.AllottedRate = 0;
    inner.Active = false;
    return false;
  }
  std::uint32_t sum = 0;
  std::uint32_t current = 0;
  bool anyActive = false;
  for (const auto& child : inner.Children) {
    if (ComputeDemand(*child)) {
      sum = SaturatingAdd(sum, child->AllottedRate);
      anyActive = true;
    }
    current = SaturatingAdd(current, child->CurrentRate);
  }
  inner.CurrentRate = current;
  inner.Active = anyActive;
  if (!anyActive) {
    inner.AllottedRate = 0;
    return false;
  }
  if (inner.IsRootWithoutRate()) {
    // Nothing to share: rather than cut every class to 0, the children keep
    // their demands, each within its own ceiling.
    inner.AllottedRate = sum;
  } else if (sum < inner.TickAssuredRate) {
    inner.AllottedRate = inner.TickAssuredRate;  // the children keep their demands
  } else if (inner.Parent == nullptr) {
    SetAllottedRate(inner, inner.TickAssuredRate);  // a root shares its guaranteed rate
  } else if (sum > inner.CeilRate) {
    SetAllottedRate(inner, inner.CeilRate);
  } else {
    inner.AllottedRate = sum;
  }
  return true;
}

void HtbTick::Apply(HTB_Class& cls, bool parentApplied, bool doHtb) {
  cls.Applied = cls.Available && cls.Active && parentApplied;
  auto* leaf = dynamic_cast<HTB_LeafClass*>(&cls);
  if (leaf == nullptr) {
    for (const auto& child : cls.Children) {
      Apply(*child, cls.Applied, doHtb);
    }
    return;
  }
  if (leaf->Filter == nullptr) {
    return;
  }
  const PacketFilterSetting& filter = *leaf->Filter;
  const std::uint32_t rate = (leaf->Applied && doHtb) ? leaf->AllottedRate : filter.TBFRate;
  rates_.SetClassRate(filter.LowerAdapterName, filter.DriverClassId, rate);
}

}  // namespace harlune
