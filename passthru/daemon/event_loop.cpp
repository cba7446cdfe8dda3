#include "passthru/daemon/event_loop.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include "passthru/engine/clock.h"

namespace harlune {
namespace {

std::string Failed(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

EventLoop::~EventLoop() {
  if (timerFd_ >= 0) {
    ::close(timerFd_);
  }
  if (epollFd_ >= 0) {
    ::close(epollFd_);
  }
}

std::string EventLoop::Open() {
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) {
    return Failed("cannot make an epoll set");
  }
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) {
    return Failed("cannot make a timer");
  }
  return Watch(timerFd_);
}

std::string EventLoop::Watch(int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  if (fd < 0) {
    return "cannot watch a descriptor that could not be made";
  }
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
    return Failed("cannot watch a descriptor");
  }
  return {};
}

void EventLoop::Arm(std::optional<std::uint64_t> delay) {
  if (!delay && !armed_) {
    return;  // nothing to undo: no system call while idle
  }
  itimerspec setting{};
  if (delay) {
    // A zero time would disarm the timer instead.
    const std::uint64_t nanoseconds = *delay == 0 ? 1 : *delay;
    setting.it_value.tv_sec = static_cast<time_t>(nanoseconds / kNanosecondsPerSecond);
    setting.it_value.tv_nsec = static_cast<long>(nanoseconds % kNanosecondsPerSecond);
  }
  armed_ = ::timerfd_settime(timerFd_, 0, &setting, nullptr) == 0 && delay.has_value();
}

void EventLoop::Wait(std::optional<std::uint64_t> deadline, std::uint64_t now) {
  if (deadline && *deadline <= now) {
    return;
  }
  Arm(deadline ? std::optional<std::uint64_t>(*deadline - now) : std::nullopt);
  std::array<epoll_event, 16> events{};
  const int count = ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), -1);
  for (int i = 0; i < count; ++i) {
    if (events[static_cast<std::size_t>(i)].data.fd == timerFd_) {
      std::uint64_t expirations = 0;
      [[maybe_unused]] const ssize_t read = ::read(timerFd_, &expirations, sizeof expirations);
      armed_ = false;
    }
  }
}

}  // namespace harlune
