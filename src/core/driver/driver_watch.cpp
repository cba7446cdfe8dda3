#include "core/driver/driver_watch.h"

#include <algorithm>

#include "core/base/string_resources.h"

namespace harlune {

void DriverWatch::Forget() {
  pending_.clear();
  ticksUntilProbe_ = 0;
  driver_.TakeSuspects();
}

std::vector<std::string> DriverWatch::SilentAdapters() const {
  std::vector<std::string> names;
  for (const DriverSuspect& suspect : pending_) {
    names.push_back(suspect.adapterName);
  }
  return names;
}

void DriverWatch::Collect() {
  for (DriverSuspect& suspect : driver_.TakeSuspects()) {
    if (suspect.adapterName == strings::kNoAdapterName ||
        adapters_.AdapterIndexOfName(suspect.adapterName) < 0) {
      continue;  // an adapter that left the table: the adapter watch handles it
    }
    const auto known = std::find_if(pending_.begin(), pending_.end(), [&](const auto& pending) {
      return pending.adapterName == suspect.adapterName;
    });
    if (known == pending_.end()) {
      pending_.push_back(std::move(suspect));
      ticksUntilProbe_ = 0;  // a new doubt is looked at at once
    } else {
      known->connectionLost = known->connectionLost || suspect.connectionLost;
    }
  }
}

DriverCheck DriverWatch::Check() {
  Collect();
  if (pending_.empty()) {
    return DriverCheck::kHealthy;
  }
  if (ticksUntilProbe_ > 0) {
    --ticksUntilProbe_;
    return DriverCheck::kHealthy;
  }
  for (auto it = pending_.begin(); it != pending_.end();) {
    const DriverCheck check = CheckOne(*it);
    if (check != DriverCheck::kHealthy) {
      return check;
    }
    const bool silent = adapters_.AdapterValidOf(it->adapterName) != 1;
    it = silent ? it + 1 : pending_.erase(it);
  }
  ticksUntilProbe_ = pending_.empty() ? 0 : kProbePeriodTicks - 1;
  return DriverCheck::kHealthy;
}

DriverCheck DriverWatch::CheckOne(DriverSuspect& suspect) {
  const std::uint32_t version = driver_.HlGetVersion(suspect.adapterName);
  if (version == 0) {
    adapters_.SetValid(suspect.adapterName, false);
    // Whatever answers next is a driver that never had this session.
    suspect.connectionLost = true;
    return DriverCheck::kHealthy;
  }
  if (version != protocol::kDriverVersion) {
    return DriverCheck::kWrongDriver;
  }
  if (suspect.connectionLost || !ClassesStillKnown(suspect.adapterName)) {
    return DriverCheck::kRestartSession;
  }
  return DriverCheck::kHealthy;
}

bool DriverWatch::ClassesStillKnown(const std::string& adapterName) {
  protocol::ClassStatistics statistics;
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    const PacketFilterSetting& filter = filters_.At(i);
    if (filter.LowerAdapterName == adapterName && filter.DriverClassId != kNoDriverClass &&
        !driver_.HlGetTBFClassStatistics(adapterName, filter.DriverClassId, statistics)) {
      return false;
    }
  }
  // Reading them back must not raise the doubt again.
  driver_.TakeSuspects();
  return true;
}

}  // namespace harlune
