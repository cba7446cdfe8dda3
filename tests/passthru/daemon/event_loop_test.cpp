// The daemon's sleep: woken by a readable descriptor, a stop request or its
// timer, and by nothing else.

#include "passthru/daemon/event_loop.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include "passthru/daemon/stop_signal.h"
#include "passthru/engine/clock.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

// Long enough never to pass on a loaded machine: it only tells a wait that
// ended from one that hangs.
constexpr auto kHang = 10s;
constexpr std::uint64_t kMs = kNanosecondsPerMillisecond;

class EventFd {
 public:
  EventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~EventFd() { ::close(fd_); }
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;
  int fd() const { return fd_; }
  void Write() const {
    const std::uint64_t one = 1;
    EXPECT_EQ(::write(fd_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
  void Drain() const {
    std::uint64_t value = 0;
    EXPECT_EQ(::read(fd_, &value, sizeof value), static_cast<ssize_t>(sizeof value));
  }

 private:
  int fd_;
};

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(loop_.Open(), "");
    ASSERT_EQ(loop_.Watch(event_.fd()), "");
  }

  // Waits on another thread; true when the wait ended within kHang.
  bool WaitEnds(std::optional<std::uint64_t> deadline) {
    auto waiting = std::async(std::launch::async,
                              [this, deadline] { loop_.Wait(deadline, clock_.NowNanoseconds()); });
    return waiting.wait_for(kHang) == std::future_status::ready;
  }

  SteadyClock clock_;
  EventLoop loop_;
  EventFd event_;
};

TEST_F(EventLoopTest, WithoutADeadlineOnlyAWatchedDescriptorEndsTheWait) {
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::this_thread::sleep_for(200ms);
    written.store(true);
    event_.Write();
  });
  EXPECT_TRUE(WaitEnds(std::nullopt));
  EXPECT_TRUE(written.load()) << "the wait ended before anything was readable";
  writer.join();
  // Level-triggered: still readable, so the next wait ends too.
  EXPECT_TRUE(WaitEnds(std::nullopt));
  event_.Drain();
}

TEST_F(EventLoopTest, TheTimerEndsTheWaitNotBeforeItsDeadline) {
  const std::uint64_t deadline = clock_.NowNanoseconds() + 50 * kMs;
  EXPECT_TRUE(WaitEnds(deadline));
  EXPECT_GE(clock_.NowNanoseconds(), deadline);
  // A deadline already passed does not sleep at all.
  EXPECT_TRUE(WaitEnds(clock_.NowNanoseconds() - 1));
}

TEST_F(EventLoopTest, ATimerLeftArmedByAnEarlierWakeIsCancelledWhenNothingIsDue) {
  // The descriptor ends a wait whose timer was set for 100 ms from now...
  event_.Write();
  EXPECT_TRUE(WaitEnds(clock_.NowNanoseconds() + 100 * kMs));
  event_.Drain();
  // ...and a wait with nothing due must not end when that timer would have.
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::this_thread::sleep_for(400ms);
    written.store(true);
    event_.Write();
  });
  EXPECT_TRUE(WaitEnds(std::nullopt));
  EXPECT_TRUE(written.load()) << "the cancelled timer ended the wait";
  writer.join();
  event_.Drain();
}

TEST_F(EventLoopTest, AStopRequestedFromAnotherThreadWakesTheLoopForGood) {
  StopSignal stop;
  ASSERT_EQ(loop_.Watch(stop.Fd()), "");
  EXPECT_FALSE(stop.Requested());
  std::thread requester([&stop] {
    std::this_thread::sleep_for(100ms);
    stop.Request();
  });
  EXPECT_TRUE(WaitEnds(std::nullopt));
  requester.join();
  EXPECT_TRUE(stop.Requested());
  EXPECT_TRUE(WaitEnds(std::nullopt));
}

TEST(EventLoopWatch, ADescriptorThatCannotBeWatchedIsAClearError) {
  EventLoop loop;
  ASSERT_EQ(loop.Open(), "");
  EXPECT_NE(loop.Watch(-1), "");
  const int closed = ::eventfd(0, 0);
  ::close(closed);
  EXPECT_NE(loop.Watch(closed).find("cannot watch"), std::string::npos);
}

}  // namespace
}  // namespace harlune
