#pragma once

// A request to stop that also wakes a loop asleep in epoll: the flag says
// that a stop was asked for, the eventfd turns readable. Request is safe in
// a signal handler (an atomic store and a write) and from any thread.

#include <atomic>

namespace harlune {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Request() noexcept;
  bool Requested() const { return requested_.load(); }
  // Readable once a stop was requested; -1 when no eventfd could be made.
  int Fd() const { return fd_; }

 private:
  std::atomic<bool> requested_{false};
  int fd_ = -1;
};

}  // namespace harlune
