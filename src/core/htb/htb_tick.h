#pragma once

// The HTB tick: on every statistics tick each tree works out bottom-up how
// much each class wants (compute demand), shares its root's bandwidth
// top-down among the classes that take part (set allotted rate), and then
// tells the driver the rate of every filter a leaf drives (apply). The
// driver knows nothing of the hierarchy; it runs one token bucket per
// filter. docs/htb.md describes the choices made where the sharing rules
// leave room.

#include <cstdint>
#include <string_view>

#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"
#include "core/monitor/adapter_table.h"

namespace harlune {

class ConnectionMonitor;
class DriverLink;

// Whether a leaf's activity condition holds for the process its filter
// names.
class LeafActivity {
 public:
  virtual ~LeafActivity() = default;
  // A process with this executable name runs (names compared ignoring case).
  virtual bool ProcessRunning(std::string_view appName) const = 0;
  // Such a process owns a TCP connection in SYN_SENT, SYN_RCVD or
  // ESTABLISHED whose remote address is not 127.0.0.1.
  virtual bool ProcessConnected(std::string_view appName) const = 0;
};

// The answers of the connection table's latest refresh.
class ConnectionMonitorActivity final : public LeafActivity {
 public:
  explicit ConnectionMonitorActivity(const ConnectionMonitor& monitor) : monitor_(monitor) {}
  bool ProcessRunning(std::string_view appName) const override;
  bool ProcessConnected(std::string_view appName) const override;

 private:
  const ConnectionMonitor& monitor_;
};

// Sets the rate of one filter's class in the driver; the tick does not act
// on the outcome.
class ClassRateSink {
 public:
  virtual ~ClassRateSink() = default;
  virtual void SetClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                            std::uint32_t bytesPerSecond) = 0;
  // The tick's last rate is given: a sink that gathers them sends them now.
  virtual void Flush() {}
};

// HlSetTBFClassRate to the named adapter, sent only while the adapter is
// usable (in the table and valid).
class DriverClassRateSink final : public ClassRateSink {
 public:
  DriverClassRateSink(DriverLink& driver, const AdapterTable& adapters)
      : driver_(driver), adapters_(adapters) {}
  void SetClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                    std::uint32_t bytesPerSecond) override;

 private:
  DriverLink& driver_;
  const AdapterTable& adapters_;
};

class HtbTick {
 public:
  HtbTick(const LeafActivity& activity, ClassRateSink& rates)
      : activity_(activity), rates_(rates) {}

  // Compute demand and apply on the send tree, then on the receive tree,
  // then flush the rates. With doHtb off every linked leaf gives its filter
  // its own rate back.
  void Run(HTB_Manager& manager, bool doHtb);

  // Bottom-up: derives the class's rates, works out its demand (its
  // AllottedRate) and whether it is active; an inner class shares what it
  // gets among its children when their demands exceed its limit.
  bool ComputeDemand(HTB_Class& cls);

  // Top-down: sets Applied and sends every linked leaf's rate.
  void Apply(HTB_Class& cls, bool parentApplied, bool doHtb);

 private:
  bool LeafConditionHolds(const HTB_LeafClass& leaf) const;
  bool ComputeLeafDemand(HTB_LeafClass& leaf);
  bool ComputeInnerDemand(HTB_Class& inner);

  const LeafActivity& activity_;
  ClassRateSink& rates_;
};

}  // namespace harlune
