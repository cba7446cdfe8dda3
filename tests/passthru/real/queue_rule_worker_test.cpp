#include "passthru/real/queue_rule_worker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "collect_rule_events.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using Kind = RuleEvent::Kind;

// An iptables that takes as long as the test wants: every call waits until
// the gate opens (at most 10 s, so that a worker that waits on it fails
// the test instead of hanging it). Each call moves the clock on by 1000.
class GatedRunner : public CommandRunner {
 public:
  int Run(const std::vector<std::string>& arguments) override { return Enter(arguments, {}); }
  int RunWithInput(const std::vector<std::string>& arguments, std::string_view input) override {
    return Enter(arguments, input);
  }
  void OpenGate() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool WaitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return calls_.size() >= count; });
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  bool gateWasForced = false;
  std::string failOn;
  std::atomic<std::uint64_t> now{1'000'000};

 private:
  int Enter(const std::vector<std::string>& arguments, std::string_view input) {
    std::string text;
    for (const std::string& argument : arguments) {
      text += (text.empty() ? "" : " ") + argument;
    }
    text += input.empty() ? "" : " <<" + std::string(input);
    std::unique_lock lock(mutex_);
    calls_.push_back(text);
    changed_.notify_all();
    gateWasForced |= !changed_.wait_for(lock, 10s, [this] { return open_; });
    now += 1000;
    return !failOn.empty() && text.find(failOn) != std::string::npos ? 1 : 0;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  std::vector<std::string> calls_;
};

class QueueRuleWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(worker_.Start(), ""); }

  // Takes events into events_ until `done` holds.
  bool Collect(const std::function<bool()>& done) {
    return CollectRuleEvents(worker_, done, events_);
  }
  bool CollectUntil(Kind kind, const std::string& interfaceName) {
    return Collect([&] { return Count(kind, interfaceName) > 0; });
  }
  long Count(Kind kind, const std::string& interfaceName) const {
    return std::count_if(events_.begin(), events_.end(), [&](const RuleEvent& event) {
      return event.kind == kind && event.interfaceName == interfaceName;
    });
  }
  const RuleEvent& Last(Kind kind, const std::string& interfaceName) const {
    return *std::find_if(events_.rbegin(), events_.rend(), [&](const RuleEvent& event) {
      return event.kind == kind && event.interfaceName == interfaceName;
    });
  }

  GatedRunner runner_;
  QueueRules rules_{runner_, 7};
  QueueRuleWorker worker_{rules_, [this] { return runner_.now.load(); }};
  std::vector<RuleEvent> events_;
};

TEST_F(QueueRuleWorkerTest, TheCallerGoesOnWhileIptablesWorksAndLearnsWhenTheRuleHolds) {
  worker_.Want("veth0", Direction::Send, true);
  ASSERT_TRUE(runner_.WaitForCalls(1));
  // iptables hangs; the loop still asks, and sees that a change started.
  worker_.Want("veth1", Direction::Receive, true);
  const RuleEvents during = worker_.TakeEvents();
  ASSERT_EQ(during.events.size(), 1u);
  EXPECT_EQ(during.events[0].kind, Kind::Started);
  EXPECT_EQ(during.events[0].interfaceName, "veth0");
  EXPECT_FALSE(during.events[0].queued);
  EXPECT_EQ(during.events[0].at, 1'000'000u);
  EXPECT_GE(during.completeUntil, during.events[0].at);

  runner_.OpenGate();
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth1"));
  EXPECT_FALSE(runner_.gateWasForced) << "the worker waited for the caller";
  // A new rule holds from the end of the call that made it.
  const RuleEvent& added = Last(Kind::Settled, "veth0");
  EXPECT_TRUE(added.queued);
  EXPECT_EQ(added.at, 1'001'000u);
  EXPECT_EQ(Last(Kind::Settled, "veth1").direction, Direction::Receive);
}

TEST_F(QueueRuleWorkerTest, WishesThatCameMeanwhileMakeOneBatchOfTheirLatestState) {
  worker_.Want("veth0", Direction::Send, true);
  ASSERT_TRUE(runner_.WaitForCalls(1));
  worker_.Want("veth1", Direction::Receive, true);
  worker_.Want("veth1", Direction::Receive, false);  // undone before its turn
  worker_.Want("veth2", Direction::Send, true);
  worker_.Want("veth3", Direction::Receive, true);
  runner_.OpenGate();
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth3"));
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth2"));
  const std::vector<std::string> calls = runner_.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[1].find("-A HARLUNE-OUT -o veth2 "), std::string::npos) << calls[1];
  EXPECT_NE(calls[1].find("-A HARLUNE-IN -i veth3 "), std::string::npos) << calls[1];
  EXPECT_EQ(calls[1].find("veth1"), std::string::npos) << calls[1];
  EXPECT_EQ(Count(Kind::Started, "veth1"), 0);
  EXPECT_TRUE(rules_.Has("veth2", Direction::Send));
}

TEST_F(QueueRuleWorkerTest, ARemovedRuleCountsAsGoneFromTheStartOfItsCall) {
  runner_.OpenGate();
  worker_.Want("veth0", Direction::Send, true);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth0"));
  events_.clear();
  worker_.Want("veth0", Direction::Send, false);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth0"));
  const RuleEvent& started = Last(Kind::Started, "veth0");
  const RuleEvent& removed = Last(Kind::Settled, "veth0");
  EXPECT_TRUE(started.queued);
  EXPECT_FALSE(removed.queued);
  EXPECT_EQ(removed.at, started.at);
  EXPECT_LT(removed.at, runner_.now.load());
  EXPECT_FALSE(rules_.Has("veth0", Direction::Send));
}

TEST_F(QueueRuleWorkerTest, ARefusalIsReportedOnceAndTriedAgainOnlyForANewWish) {
  runner_.OpenGate();
  runner_.failOn = "veth9";
  worker_.Want("veth9", Direction::Send, true);
  ASSERT_TRUE(CollectUntil(Kind::Refused, "veth9"));
  EXPECT_FALSE(Last(Kind::Refused, "veth9").queued);
  // Other work wakes the worker; the refused wish is not in it.
  const std::size_t before = runner_.Calls().size();
  worker_.Want("veth1", Direction::Send, true);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth1"));
  const std::vector<std::string> calls = runner_.Calls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_EQ(calls.back().find("veth9"), std::string::npos);
  EXPECT_EQ(Count(Kind::Refused, "veth9"), 1);

  worker_.Want("veth9", Direction::Send, false);
  worker_.Want("veth9", Direction::Send, true);
  ASSERT_TRUE(Collect([this] { return Count(Kind::Refused, "veth9") == 2; }));
}

TEST_F(QueueRuleWorkerTest, StopLetsTheCallInHandEndAndStartsNoOther) {
  worker_.Want("veth0", Direction::Send, true);
  ASSERT_TRUE(runner_.WaitForCalls(1));
  worker_.Want("veth1", Direction::Send, true);
  runner_.OpenGate();
  worker_.Stop();
  // Either the second batch ran whole before Stop was seen, or not at all.
  EXPECT_TRUE(rules_.Has("veth0", Direction::Send));
  EXPECT_EQ(rules_.Has("veth1", Direction::Send), runner_.Calls().size() == 2);
  const std::size_t calls = runner_.Calls().size();
  worker_.Want("veth2", Direction::Send, true);
  worker_.Stop();
  EXPECT_EQ(runner_.Calls().size(), calls);
}

TEST_F(QueueRuleWorkerTest, TheBypassRulesMoveInTheBatchOfTheQueueRulesAndReportTheirGeneration) {
  runner_.OpenGate();
  worker_.Want("veth0", Direction::Send, true);
  worker_.WantBypass(4);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth0"));
  ASSERT_TRUE(Collect([&] {
    return std::any_of(events_.begin(), events_.end(), [](const RuleEvent& event) {
      return event.kind == Kind::Settled && event.bypassGeneration == 4;
    });
  }));
  const std::vector<std::string> calls = runner_.Calls();
  // Both wishes may have come in time for the first call, or the bypass
  // for a second; either way each is asked of iptables once.
  const auto asked = [&](const std::string& text) {
    return std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
      return call.find(text) != std::string::npos;
    });
  };
  EXPECT_EQ(asked("-I HARLUNE-OUT 1 -m connmark --mark 0x11000000/0xfd000000 -j RETURN"), 1);
  EXPECT_EQ(asked("-A HARLUNE-OUT -o veth0 "), 1);
  EXPECT_EQ(rules_.BypassGeneration(), 4u);
  const auto started = std::find_if(events_.begin(), events_.end(), [](const RuleEvent& event) {
    return event.kind == Kind::Started && event.bypassGeneration == 4;
  });
  ASSERT_NE(started, events_.end());
  EXPECT_TRUE(started->interfaceName.empty());

  // The same generation again asks nothing more.
  worker_.WantBypass(4);
  worker_.Want("veth1", Direction::Send, true);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth1"));
  EXPECT_EQ(runner_.Calls().size(), calls.size() + 1);

  // Generation 0: the rules go.
  worker_.WantBypass(0);
  ASSERT_TRUE(Collect([&] {
    return std::any_of(events_.begin(), events_.end(), [](const RuleEvent& event) {
      return event.kind == Kind::Settled && event.bypass && event.bypassGeneration == 0;
    });
  }));
  EXPECT_NE(runner_.Calls().back().find(
                "-D HARLUNE-OUT -m connmark --mark 0x11000000/0xfd000000 -j RETURN"),
            std::string::npos);
  EXPECT_TRUE(rules_.BypassAt(0));
}

TEST_F(QueueRuleWorkerTest, ARefusedBypassIsReportedAndNotTriedAgainBeforeANewGeneration) {
  runner_.OpenGate();
  runner_.failOn = "connmark";
  worker_.WantBypass(1);
  const auto refused = [&] {
    return std::count_if(events_.begin(), events_.end(), [](const RuleEvent& event) {
      return event.kind == Kind::Refused && event.bypass;
    });
  };
  ASSERT_TRUE(Collect([&] { return refused() == 1; }));
  const std::size_t calls = runner_.Calls().size();
  worker_.Want("veth0", Direction::Send, true);
  ASSERT_TRUE(CollectUntil(Kind::Settled, "veth0"));
  EXPECT_EQ(runner_.Calls().size(), calls + 1) << "the refused bypass was asked again";
  runner_.failOn.clear();
  worker_.WantBypass(2);
  ASSERT_TRUE(Collect([&] {
    return std::any_of(events_.begin(), events_.end(), [](const RuleEvent& event) {
      return event.kind == Kind::Settled && event.bypassGeneration == 2;
    });
  }));
}

}  // namespace
}  // namespace harlune
