#include "passthru/real/rule_timeline.h"

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

}  // namespace harlune
