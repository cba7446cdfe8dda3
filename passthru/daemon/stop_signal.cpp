#include "passthru/daemon/stop_signal.h"

#include <unistd.h>

#include <cstdint>

#include <sys/eventfd.h>

namespace harlune {

StopSignal::StopSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

StopSignal::~StopSignal() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void StopSignal::Request() noexcept {
  requested_.store(true);
  // Never read: the fd stays readable, so every later wait ends at once.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

}  // namespace harlune
