#include "passthru/real/rule_timeline.h"

#include <algorithm>

namespace harlune {

void RuleTimeline::Apply(const RuleEvent& event) {
  switch (event.kind) {
    case RuleEvent::Kind::Started:
      changingSince_ = event.at;
      return;
    case RuleEvent::Kind::Refused:
      changingSince_.reset();
      return;
    case RuleEvent::Kind::Settled:
      changingSince_.reset();
      if (event.queued != (!changes_.empty() && changes_.back().queued)) {
        changes_.push_back({event.at, event.queued});
      }
      if (changes_.size() > kKeptChanges) {
        changes_.pop_front();
      }
      return;
  }
}

bool RuleTimeline::QueuedAt(std::uint64_t realtimeNanoseconds) const {
  if (changingSince_ && realtimeNanoseconds >= *changingSince_) {
    return false;
  }
  for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
    if (realtimeNanoseconds >= change->at) {
      return change->queued;
    }
  }
  // Before the oldest change kept, the rule was the other way.
  return !changes_.empty() && !changes_.front().queued;
}

void BypassTimeline::Apply(const RuleEvent& event) {
  switch (event.kind) {
    case RuleEvent::Kind::Started:
      periods_.push_back({event.bypassGeneration, event.at, std::nullopt});
      if (periods_.size() > kKeptPeriods) {
        periods_.pop_front();
      }
      return;
    case RuleEvent::Kind::Settled:
      // The rules of every earlier generation are gone now.
      for (Period& period : periods_) {
        if (period.generation != event.bypassGeneration && !period.until) {
          period.until = event.at;
        }
      }
      return;
    case RuleEvent::Kind::Refused:
      return;  // either may still be in place
  }
}

bool BypassTimeline::MayPassAt(std::uint32_t generation, std::uint64_t realtimeNanoseconds) const {
  return std::any_of(periods_.begin(), periods_.end(), [&](const Period& period) {
    return period.generation == generation && realtimeNanoseconds >= period.from &&
           (!period.until || realtimeNanoseconds <= *period.until);
  });
}

}  // namespace harlune
