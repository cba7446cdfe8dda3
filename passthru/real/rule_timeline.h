#pragma once

// Whether one direction of an interface went through the verdict queue at a
// given moment, as the rule worker reported the rule's changes. The time
// while iptables changes the rule counts as not queued: a packet may or may
// not meet the rule then, and the capture counts it unless the queue saw it
// (its remembered verdict tells).

#include <cstdint>
#include <deque>
#include <optional>

#include "passthru/real/queue_rule_worker.h"

namespace harlune {

class RuleTimeline {
 public:
  // The events of this direction, in the order the worker posted them.
  void Apply(const RuleEvent& event);
  bool QueuedAt(std::uint64_t realtimeNanoseconds) const;

 private:
  struct Change {
    std::uint64_t at = 0;
    bool queued = false;
  };
  // Frames wait in the capture ring for tens of milliseconds at most, so a
  // few changes back are enough to judge any of them.
  static constexpr std::size_t kKeptChanges = 16;

  std::optional<std::uint64_t> changingSince_;
  std::deque<Change> changes_;  // oldest first; before any, not queued
};

// Which generation of conntrack marks the bypass rules let pass the queue at
// a given moment, as the rule worker reported their changes. While iptables
// moves them both the old and the new generation may pass, and a refused
// move leaves either in doubt: the capture counts a frame of a marked flow
// then, unless the queue saw its packet.
class BypassTimeline {
 public:
  // The bypass events (RuleEvent::bypass), in order.
  void Apply(const RuleEvent& event);
  bool MayPassAt(std::uint32_t generation, std::uint64_t realtimeNanoseconds) const;

 private:
  struct Period {
    std::uint32_t generation = 0;
    std::uint64_t from = 0;
    std::optional<std::uint64_t> until;
  };
  static constexpr std::size_t kKeptPeriods = 16;

  std::deque<Period> periods_;  // oldest first; before any, nothing passes
};

}  // namespace harlune
