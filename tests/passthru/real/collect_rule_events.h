#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "passthru/real/queue_rule_worker.h"

namespace harlune {

// Takes the worker's events, and its reports where asked, until `done`
// holds; false when it did not within 5 s.
inline bool CollectRuleEvents(QueueRuleWorker& worker, const std::function<bool()>& done,
                              std::vector<RuleEvent>& events,
                              std::vector<std::string>* reports = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    pollfd watched{worker.Fd(), POLLIN, 0};
    ::poll(&watched, 1, 100);
    RuleEvents taken = worker.TakeEvents();
    events.insert(events.end(), taken.events.begin(), taken.events.end());
    if (reports != nullptr) {
      reports->insert(reports->end(), taken.reports.begin(), taken.reports.end());
    }
  }
  return true;
}

}  // namespace harlune
