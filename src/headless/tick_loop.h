#pragma once

// TickLoop: the headless program's timers. It keeps the engine's timers
// (and the program's own, by number) with their next due time, and runs
// the ticks on time from a poll loop that also watches a signal descriptor.

#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "core/app/engine_services.h"

namespace harlune {

class TickLoop final : public TickScheduler {
 public:
  using Clock = std::chrono::steady_clock;
  // Runs the tick of one timer (an EngineTimer's number, or the program's own).
  using Dispatch = std::function<void(int timer)>;

  void Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) override;
  void Kill(EngineTimer timer) override;
  void Arm(int timer, std::chrono::milliseconds period, bool oneShot, Clock::time_point now);
  void Kill(int timer);
  bool IsArmed(int timer) const { return timers_.contains(timer); }

  // When the earliest timer is due; nothing when none is armed.
  std::optional<Clock::time_point> NextDue() const;

  // Runs every timer due at `now`, earliest first. A periodic timer is next
  // due one period after it was due, or one period from now when the tick
  // fell that far behind, so a late loop never fires a burst of catch-ups.
  void FireDue(Clock::time_point now, const Dispatch& dispatch);

  // Polls `signalFd` (a signalfd) between ticks until a signal arrives or
  // Stop is called; returns the signal number, or 0 after Stop.
  int Run(const Dispatch& dispatch, int signalFd);
  void Stop() { stopped_ = true; }

 private:
  struct Timer {
    Clock::time_point due;
    std::chrono::milliseconds period{};
    bool oneShot = false;
  };
  std::map<int, Timer> timers_;
  bool stopped_ = false;
};

}  // namespace harlune
