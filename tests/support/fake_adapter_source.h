#pragma once

// A scripted system adapter list: queued results are handed out first, in
// order; after that every call gets the standing result (no adapters until
// one is set).

#include <deque>
#include <utility>
#include <vector>

#include "core/monitor/adapter_source.h"

namespace harlune {

class FakeAdapterSource : public AdapterSource {
 public:
  static AdapterListResult Listing(std::vector<SystemAdapter> adapters) {
    AdapterListResult result;
    result.status = AdapterListResult::Status::Ok;
    result.adapters = std::move(adapters);
    return result;
  }
  static AdapterListResult NoAdapters() {
    AdapterListResult result;
    result.status = AdapterListResult::Status::NoData;
    return result;
  }
  static AdapterListResult Failure(int errorCode) {
    AdapterListResult result;
    result.status = AdapterListResult::Status::Failed;
    result.errorCode = errorCode;
    return result;
  }

  // The result of every call once the queue is empty.
  void SetResult(AdapterListResult result) { standing_ = std::move(result); }
  void SetAdapters(std::vector<SystemAdapter> adapters) {
    standing_ = Listing(std::move(adapters));
  }
  // A result for one call, before the standing one.
  void Queue(AdapterListResult result) { queued_.push_back(std::move(result)); }

  int Calls() const { return calls_; }

  AdapterListResult ListAdapters() override {
    ++calls_;
    if (queued_.empty()) {
      return standing_;
    }
    AdapterListResult next = std::move(queued_.front());
    queued_.pop_front();
    return next;
  }

 private:
  AdapterListResult standing_ = NoAdapters();
  std::deque<AdapterListResult> queued_;
  int calls_ = 0;
};

}  // namespace harlune
