#pragma once

// DriverWatch: notices that the driver no longer holds what the session gave
// it, so that what the application shows stays what the driver enforces.
//
// A driver restart (a package upgrade, `systemctl restart`) leaves a driver
// with no classes and filtering off, however short the gap. The driver link
// reports the adapters it has reason to doubt: one whose kept connection was
// lost, or whose driver refused a request naming one of the session's
// classes. On every statistics tick the watch looks at them:
//
// - an adapter whose driver does not answer its version is marked not
//   usable (no rates are read or shown for it) and asked again every
//   kProbePeriodTicks ticks until it answers;
// - a driver of another version ends the program, as at start-up;
// - an adapter that lost its connection, or that was not answering, must
//   have its session started anew: version check, HlInitialize, one class
//   per filter with fresh ids, the switch and the application ports;
// - after a refusal alone, the adapter's classes are read back: when the
//   driver still knows every one, the refusal was the driver's own answer
//   and nothing more happens; otherwise the session starts anew.

#include <cstddef>
#include <string>
#include <vector>

#include "core/driver/driver_link.h"
#include "core/filter/packet_filter_manager.h"
#include "core/monitor/adapter_table.h"

namespace harlune {

enum class DriverCheck {
  kHealthy,         // nothing to do (or an adapter is still silent)
  kRestartSession,  // end the driver session and start it again
  kWrongDriver,     // another driver answers: the program ends
};

class DriverWatch {
 public:
  // 5 statistics ticks: a silent adapter is asked twice a second.
  static constexpr std::size_t kProbePeriodTicks = 5;

  DriverWatch(DriverLink& driver, AdapterTable& adapters, const PacketFilterManager& filters)
      : driver_(driver), adapters_(adapters), filters_(filters) {}

  // Once per statistics tick.
  DriverCheck Check();
  // A session starts from scratch: whatever was suspected before is moot.
  void Forget();
  // The adapters whose driver stopped answering and has not come back.
  std::vector<std::string> SilentAdapters() const;

 private:
  void Collect();
  DriverCheck CheckOne(DriverSuspect& suspect);
  bool ClassesStillKnown(const std::string& adapterName);

  DriverLink& driver_;
  AdapterTable& adapters_;
  const PacketFilterManager& filters_;
  std::vector<DriverSuspect> pending_;  // suspects whose driver is silent
  std::size_t ticksUntilProbe_ = 0;
};

}  // namespace harlune
