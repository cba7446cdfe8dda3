#include "passthru/real/rule_timeline.h"

#include <gtest/gtest.h>

namespace harlune {
namespace {

using Kind = RuleEvent::Kind;

RuleEvent Event(Kind kind, bool queued, std::uint64_t at) {
  return {kind, "veth0", Direction::Send, queued, at};
}

TEST(RuleTimelineTest, TheTimeOfAChangeCountsAsNotQueued) {
  RuleTimeline timeline;
  EXPECT_FALSE(timeline.QueuedAt(50));
  timeline.Apply(Event(Kind::Started, false, 100));
  timeline.Apply(Event(Kind::Settled, true, 200));  // added: holds once iptables is done
  EXPECT_FALSE(timeline.QueuedAt(150));
  EXPECT_TRUE(timeline.QueuedAt(200));

  timeline.Apply(Event(Kind::Started, true, 300));
  // Until the worker reports, a frame after the start may or may not have
  // met the rule.
  EXPECT_FALSE(timeline.QueuedAt(300));
  EXPECT_TRUE(timeline.QueuedAt(299));
  timeline.Apply(Event(Kind::Settled, false, 300));  // removed: gone from its start
  EXPECT_TRUE(timeline.QueuedAt(250));
  EXPECT_FALSE(timeline.QueuedAt(300));
  EXPECT_FALSE(timeline.QueuedAt(1000));
}

TEST(RuleTimelineTest, ARefusedChangeLeavesTheRuleAsItWas) {
  RuleTimeline timeline;
  timeline.Apply(Event(Kind::Started, false, 100));
  timeline.Apply(Event(Kind::Settled, true, 110));
  timeline.Apply(Event(Kind::Started, true, 200));
  EXPECT_FALSE(timeline.QueuedAt(210));
  timeline.Apply(Event(Kind::Refused, true, 220));
  EXPECT_TRUE(timeline.QueuedAt(210));
  EXPECT_TRUE(timeline.QueuedAt(500));
}

// Frames wait in the capture ring for a while, so a frame may be judged
// after later changes of its direction.
TEST(RuleTimelineTest, AFrameIsJudgedByTheChangeBeforeItsTimeNotTheLatest) {
  RuleTimeline timeline;
  for (std::uint64_t i = 0; i < 40; ++i) {  // queued from 10, 210, ...; gone from 110, 310, ...
    const bool queued = i % 2 == 0;
    timeline.Apply(Event(Kind::Started, !queued, 100 * i));
    timeline.Apply(Event(Kind::Settled, queued, 100 * i + 10));
  }
  EXPECT_FALSE(timeline.QueuedAt(3950));
  EXPECT_TRUE(timeline.QueuedAt(3905));
  EXPECT_FALSE(timeline.QueuedAt(3750));
  EXPECT_TRUE(timeline.QueuedAt(3650));
  EXPECT_TRUE(timeline.QueuedAt(2450));
  EXPECT_FALSE(timeline.QueuedAt(2405));  // before the oldest change kept
}

RuleEvent BypassEvent(Kind kind, std::uint32_t generation, std::uint64_t at) {
  RuleEvent event{kind, {}, Direction::Send, true, at};
  event.bypass = true;
  event.bypassGeneration = generation;
  return event;
}

TEST(BypassTimelineTest, WhileTheRulesMoveBothGenerationsMayPass) {
  BypassTimeline timeline;
  EXPECT_FALSE(timeline.MayPassAt(1, 50));
  timeline.Apply(BypassEvent(Kind::Started, 1, 100));
  EXPECT_FALSE(timeline.MayPassAt(1, 99));
  EXPECT_TRUE(timeline.MayPassAt(1, 100));
  timeline.Apply(BypassEvent(Kind::Settled, 1, 120));
  timeline.Apply(BypassEvent(Kind::Started, 2, 200));
  timeline.Apply(BypassEvent(Kind::Settled, 2, 230));
  EXPECT_TRUE(timeline.MayPassAt(1, 150));
  EXPECT_TRUE(timeline.MayPassAt(1, 230));
  EXPECT_FALSE(timeline.MayPassAt(1, 231));
  EXPECT_FALSE(timeline.MayPassAt(2, 199));
  EXPECT_TRUE(timeline.MayPassAt(2, 210));
  EXPECT_TRUE(timeline.MayPassAt(2, 10'000));
  EXPECT_FALSE(timeline.MayPassAt(3, 10'000));
}

TEST(BypassTimelineTest, ARefusedMoveLeavesBothInDoubtUntilALaterOneSettles) {
  BypassTimeline timeline;
  timeline.Apply(BypassEvent(Kind::Started, 1, 100));
  timeline.Apply(BypassEvent(Kind::Settled, 1, 110));
  timeline.Apply(BypassEvent(Kind::Started, 2, 200));
  timeline.Apply(BypassEvent(Kind::Refused, 2, 220));
  EXPECT_TRUE(timeline.MayPassAt(1, 500));
  EXPECT_TRUE(timeline.MayPassAt(2, 500));
  timeline.Apply(BypassEvent(Kind::Started, 3, 600));
  timeline.Apply(BypassEvent(Kind::Settled, 3, 610));
  EXPECT_FALSE(timeline.MayPassAt(1, 611));
  EXPECT_FALSE(timeline.MayPassAt(2, 611));
  EXPECT_TRUE(timeline.MayPassAt(2, 605));
  EXPECT_TRUE(timeline.MayPassAt(3, 611));
  // The rules go while no direction is queued: nothing passes after.
  timeline.Apply(BypassEvent(Kind::Started, 0, 700));
  timeline.Apply(BypassEvent(Kind::Settled, 0, 720));
  EXPECT_TRUE(timeline.MayPassAt(3, 710));
  EXPECT_FALSE(timeline.MayPassAt(3, 721));
}

}  // namespace
}  // namespace harlune
