#include "headless/tick_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <sys/signalfd.h>

namespace harlune {

void TickLoop::Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) {
  Arm(static_cast<int>(timer), period, oneShot, Clock::now());
}

void TickLoop::Kill(EngineTimer timer) { Kill(static_cast<int>(timer)); }

void TickLoop::Arm(int timer, std::chrono::milliseconds period, bool oneShot,
                   Clock::time_point now) {
  timers_[timer] = Timer{FirstDue(period, oneShot, now), period, oneShot};
}

TickLoop::Clock::time_point TickLoop::FirstDue(std::chrono::milliseconds period, bool oneShot,
                                               Clock::time_point now) {
  const Clock::time_point due = now + period;
  if (oneShot || period <= std::chrono::milliseconds::zero() ||
      period % kTickStep != std::chrono::milliseconds::zero()) {
    return due;
  }
  if (!grid_) {
    grid_ = now;
  }
  // The first step of the grid at or after one full period.
  const Clock::duration step = kTickStep;
  const Clock::duration past = due - *grid_;
  const auto steps = past >= Clock::duration::zero() ? (past + step - Clock::duration(1)) / step
                                                     : -((-past) / step);
  return *grid_ + steps * step;
}

void TickLoop::Kill(int timer) { timers_.erase(timer); }

std::optional<TickLoop::Clock::time_point> TickLoop::NextDue() const {
  if (timers_.empty()) {
    return std::nullopt;
  }
  const auto earliest = std::ranges::min_element(
      timers_, [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
  return earliest->second.due;
}

void TickLoop::FireDue(Clock::time_point now, const Dispatch& dispatch) {
  for (;;) {
    // Ticks may arm and kill timers, so the earliest is looked up anew each time.
    auto earliest = std::ranges::min_element(
        timers_, [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
    if (earliest == timers_.end() || earliest->second.due > now) {
      return;
    }
    const int id = earliest->first;
    Timer& timer = earliest->second;
    if (timer.oneShot) {
      timers_.erase(earliest);
    } else {
      timer.due += timer.period;
      if (timer.due < now) {
        timer.due = now + timer.period;
      }
    }
    dispatch(id);
    if (stopped_) {
      return;
    }
  }
}

int TickLoop::Run(const Dispatch& dispatch, int signalFd) {
  stopped_ = false;
  while (!stopped_) {
    int timeout = -1;
    if (const auto due = NextDue()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
    }
    pollfd watched{signalFd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeout);
    if (ready < 0 && errno != EINTR) {
      return 0;
    }
    if (ready > 0 && (watched.revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        return static_cast<int>(info.ssi_signo);
      }
    }
    FireDue(Clock::now(), dispatch);
  }
  return 0;
}

}  // namespace harlune
