#pragma once

// TickLoop: the headless program's timers. It keeps the engine's timers
// (and the program's own, by number) with their next due time, and runs
// the ticks on time from a poll loop that also watches a signal descriptor.
// Periodic timers whose period is a whole number of steps (kTickStep) fall
// due on one grid of steps, set by the first of them armed, so that the
// 100 ms, 200 ms, 1 s and 5 s ticks share their wakeups instead of each
// waking the program at its own moment: such a timer's first tick comes
// one period after it was armed, or up to one step later.

#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "core/app/engine_services.h"

namespace harlune {

inline constexpr std::chrono::milliseconds kTickStep{100};

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
  // The first due time of a timer armed at `now`.
  Clock::time_point FirstDue(std::chrono::milliseconds period, bool oneShot, Clock::time_point now);

  std::map<int, Timer> timers_;
  // A point of the step grid, once a periodic timer was armed.
  std::optional<Clock::time_point> grid_;
  bool stopped_ = false;
};

}  // namespace harlune
