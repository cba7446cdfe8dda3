#include "headless/tick_loop.h"

#include <algorithm>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "headless/stderr_dialogs.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class TickLoopTest : public ::testing::Test {
 protected:
  TickLoop::Dispatch Record() {
    return [this](int timer) { fired.push_back(timer); };
  }
  TickLoop loop;
  TickLoop::Clock::time_point t0{};
  std::vector<int> fired;
};

TEST_F(TickLoopTest, DueTimersFireEarliestFirstAndOneShotsOnlyOnce) {
  loop.Arm(1, 200ms, false, t0);
  loop.Arm(2, 100ms, false, t0);
  loop.Arm(3, 150ms, true, t0);

  loop.FireDue(t0 + 99ms, Record());
  EXPECT_TRUE(fired.empty());
  loop.FireDue(t0 + 200ms, Record());
  EXPECT_THAT(fired, ElementsAre(2, 3, 1, 2));
  EXPECT_FALSE(loop.IsArmed(3));
  EXPECT_EQ(loop.NextDue(), t0 + 300ms);
}

TEST_F(TickLoopTest, ALateLoopDoesNotFireABurstOfCatchUps) {
  loop.Arm(1, 100ms, false, t0);
  loop.FireDue(t0 + 1050ms, Record());
  EXPECT_THAT(fired, ElementsAre(1));
  EXPECT_EQ(loop.NextDue(), t0 + 1150ms);
}

TEST_F(TickLoopTest, TicksMayKillAndArmTimers) {
  loop.Arm(1, 100ms, false, t0);
  loop.Arm(2, 100ms, false, t0);
  loop.FireDue(t0 + 100ms, [&](int timer) {
    fired.push_back(timer);
    if (timer == 1) {
      loop.Kill(2);
      loop.Arm(3, 10ms, true, t0 + 100ms);
    }
  });
  EXPECT_THAT(fired, ElementsAre(1));
  EXPECT_FALSE(loop.IsArmed(2));
  EXPECT_EQ(loop.NextDue(), t0 + 110ms);
}

TEST_F(TickLoopTest, PeriodicTimersOfWholeStepsShareTheirWakeupsAndOneShotsKeepTheirTime) {
  loop.Arm(1, 100ms, false, t0);
  loop.Arm(2, 200ms, false, t0 + 30ms);
  loop.Arm(3, 1000ms, false, t0 + 70ms);
  loop.Arm(4, 150ms, true, t0 + 30ms);
  loop.Arm(5, 250ms, false, t0 + 30ms);  // not a whole number of steps
  EXPECT_EQ(loop.NextDue(), t0 + 100ms);

  std::vector<TickLoop::Clock::time_point> wakeups;
  while (const auto due = loop.NextDue()) {
    if (*due > t0 + 2s) {
      break;
    }
    wakeups.push_back(*due);
    loop.FireDue(*due, Record());
  }
  const auto count = [this](int timer) { return std::ranges::count(fired, timer); };
  EXPECT_EQ(count(1), 20);
  EXPECT_EQ(count(2), 9) << "first at 300 ms: one period and less than a step after arming";
  EXPECT_EQ(count(3), 1) << "first at 1100 ms";
  EXPECT_EQ(count(4), 1);
  EXPECT_EQ(count(5), 7);
  // The 100 ms grid, the one-shot's own time and the other period's.
  EXPECT_EQ(wakeups.size(), 20u + 1u + 7u);
  EXPECT_NE(std::ranges::find(wakeups, t0 + 180ms), wakeups.end());
  EXPECT_NE(std::ranges::find(wakeups, t0 + 280ms), wakeups.end());
}

TEST(StderrDialogsTest, MessagesAndQuestionsAreOneLineEachAndTakeTheFirstButton) {
  EXPECT_EQ(OneLine("警告：a\n        b\r\n時刻：x\n"), "警告：a b 時刻：x");
  char buffer[256] = {};
  std::FILE* out = fmemopen(buffer, sizeof buffer, "w");
  StderrDialogs dialogs(out);
  EXPECT_EQ(dialogs.Ask("save?", "Harlune", QuestionButtons::kYesNoCancel), QuestionAnswer::kYes);
  dialogs.ShowMessage("one\ntwo");
  std::fclose(out);
  EXPECT_STREQ(buffer, "harlune-headless: Harlune: save? -> yes\nharlune-headless: one two\n");
}

}  // namespace
}  // namespace harlune
