#pragma once

// What the batch requests taught the application about each adapter's
// driver during a session: whether it knows the batches at all, and how many
// capture records its last statistics batch said were waiting. Both are
// forgotten when a session starts, since the driver may have been replaced.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace harlune {

class DriverBatchMemory {
 public:
  // The adapter's driver answered the batch with 1 (unknown code): its
  // statistics, or its rates, go by the single requests until the next
  // session start.
  void MarkNoStatisticsBatch(std::string_view adapterName);
  void MarkNoRatesBatch(std::string_view adapterName);
  bool StatisticsBatchKnown(std::string_view adapterName) const;
  bool RatesBatchKnown(std::string_view adapterName) const;
  // Whether any driver of this run needed the single requests (the engine
  // tells the user once: the numbers are the same, the cost is higher).
  bool FallbackUsed() const { return fallbackUsed_; }

  // The waiting capture records a statistics batch reported.
  void KeepPendingCapture(std::string_view adapterName, std::uint32_t ipv4, std::uint32_t ipv6);
  // No batch reply is to be trusted (the batch failed): read as before.
  void ForgetPendingCapture(std::string_view adapterName);
  // A read loop emptied the family's ring: nothing waits until the next
  // batch reply says so. Without a reply known it stays unknown.
  void MarkCaptureDrained(std::string_view adapterName, bool ipv6);
  // False only when the last batch reply (or a drain after it) said that
  // nothing of the family waits; unknown counts as maybe.
  bool CaptureMayBePending(std::string_view adapterName, bool ipv6) const;

  // A session starts: every adapter's answers are forgotten.
  void ForgetSession() { adapters_.clear(); }

 private:
  struct Adapter {
    bool noStatisticsBatch = false;
    bool noRatesBatch = false;
    std::optional<std::uint32_t> pending[2];  // IPv4, IPv6
  };

  const Adapter* Find(std::string_view adapterName) const;
  Adapter& Of(std::string_view adapterName);

  std::map<std::string, Adapter, std::less<>> adapters_;
  bool fallbackUsed_ = false;
};

}  // namespace harlune
