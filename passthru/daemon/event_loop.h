#pragma once

// What the daemon's loop sleeps on: descriptors that wake it when readable
// (epoll, level-triggered) and one timer (a timerfd) armed only while
// something is due at a time. With nothing due the loop sleeps without a
// timeout until a descriptor wakes it, so an idle daemon costs nothing.

#include <cstdint>
#include <optional>
#include <string>

namespace harlune {

class EventLoop {
 public:
  EventLoop() = default;
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Empty on success, else the reason.
  std::string Open();
  // Wakes the loop while `fd` is readable. Empty on success, else the reason.
  std::string Watch(int fd);
  // Sleeps until a watched descriptor is readable or the clock reaches
  // `deadline`; `now` is the clock's time, so the deadline may be on any
  // clock that runs at the monotonic clock's pace. A deadline already
  // passed returns at once; without one, no timer runs.
  void Wait(std::optional<std::uint64_t> deadline, std::uint64_t now);

 private:
  void Arm(std::optional<std::uint64_t> delay);

  int epollFd_ = -1;
  int timerFd_ = -1;
  bool armed_ = false;
};

}  // namespace harlune
