#include "core/driver/traffic_statistics.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <span>

#include "core/base/c_format.h"
#include "protocol/replies.h"

namespace harlune {

namespace {

constexpr double kKiB = 1024.0;

// The panes print the average as the signed 32-bit number it is stored as.
double SignedKiB(std::uint32_t rate) { return static_cast<std::int32_t>(rate) / kKiB; }

}  // namespace

std::size_t HistoryLength(std::uint32_t viewRefreshCycle) { return viewRefreshCycle / 100; }

std::uint32_t AverageRate(const RateHistory32& history) {
  if (history.empty()) {
    return 0;
  }
  std::uint32_t sum = 0;
  for (const std::uint32_t sample : history) {
    sum += sample;  // wraps, as the display always did
  }
  return sum / static_cast<std::uint32_t>(history.size());
}

std::uint32_t AverageRate(const std::deque<std::int32_t>& history) {
  RateHistory32 unsignedHistory;
  for (const std::int32_t sample : history) {
    unsignedHistory.push_back(static_cast<std::uint32_t>(sample));
  }
  return AverageRate(unsignedHistory);
}

std::string SendRatePaneText(std::uint32_t averageRate) {
  return CFormat(" %s速度%8.1f KB/s", "Send", SignedKiB(averageRate));
}

std::string ReceiveRatePaneText(std::uint32_t averageRate) {
  return CFormat(" %s速度%8.1f KB/s", "Receive", SignedKiB(averageRate));
}

std::string SentTotalPaneText(std::uint64_t bytes) { return " Send転送量    " + SizeText(bytes); }

std::string ReceivedTotalPaneText(std::uint64_t bytes) {
  return " Receive転送量    " + SizeText(bytes);
}

std::string FilterRateText(const PacketFilterSetting& filter) {
  if (filter.Available == 0) {
    return std::string(kNotMeasuredText);
  }
  return CFormat("%.1f KB/s", AverageRate(filter.RateHistory) / kKiB);
}

std::string FilterRateText(const PacketFilterSetting& filter, bool driverSilent) {
  return driverSilent && filter.Available != 0 ? std::string(kDriverSilentText)
                                               : FilterRateText(filter);
}

std::string DriverSilentNote(const std::vector<std::string>& silentAdapters) {
  if (silentAdapters.empty()) {
    return {};
  }
  std::string names;
  for (const std::string& name : silentAdapters) {
    names += (names.empty() ? "" : ", ") + name;
  }
  return "ドライバが応答しません（" + names + "）。応答が戻るとフィルタを設定し直します。";
}

std::string FilterTransferText(const PacketFilterSetting& filter) {
  return SizeText(filter.TransferredBytes);
}

TrafficStatistics::TrafficStatistics(DriverLink& driver, AdapterTable& adapters,
                                     PacketFilterManager& filters)
    : driver_(driver), adapters_(adapters), filters_(filters) {}

void TrafficStatistics::SetViewRefreshCycle(std::uint32_t milliseconds) {
  historyLength_ = harlune::HistoryLength(milliseconds);
}

void TrafficStatistics::ReadBatches() {
  batched_.assign(filters_.Size(), BatchedSample{});
  batchedTotals_.clear();
  for (const AdapterEntry& adapter : adapters_.Entries()) {
    if (adapter.valid == 1 && driver_.Batches().StatisticsBatchKnown(adapter.name)) {
      ReadAdapterBatch(adapter.name);
    }
  }
}

void TrafficStatistics::ReadAdapterBatch(const std::string& adapterName) {
  std::vector<std::size_t> positions;
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    const PacketFilterSetting& filter = filters_.At(i);
    if (filter.LowerAdapterName == adapterName && filter.DriverClassId != kNoDriverClass) {
      positions.push_back(i);
      ids.push_back(filter.DriverClassId);
    }
  }
  std::optional<protocol::TotalStatistics> totals;
  std::size_t start = 0;
  do {
    const auto chunk =
        std::span(ids).subspan(start, std::min(protocol::kMaxBatchClasses, ids.size() - start));
    const StatisticsBatchReply reply = driver_.HlGetStatisticsBatch(adapterName, chunk);
    if (reply.UnknownRequest()) {
      return;  // these classes and the totals go by the single requests
    }
    for (std::size_t j = 0; j < chunk.size(); ++j) {
      const bool read = reply.reply && reply.reply->classes[j].status == 0;
      batched_[positions[start + j]] = {
          true, read, read ? reply.reply->classes[j].statistics : protocol::ClassStatistics{}};
    }
    totals = reply.reply ? std::optional(reply.reply->totals) : std::nullopt;
    start += chunk.size();
  } while (start < ids.size());
  batchedTotals_.push_back({adapterName, totals});
}

std::int32_t TrafficStatistics::SampleOf(std::size_t position, PacketFilterSetting& filter) {
  if (adapters_.AdapterValidOf(filter.LowerAdapterName) != 1) {
    return 0;
  }
  protocol::ClassStatistics statistics;
  if (const BatchedSample& batched = batched_[position]; batched.batched) {
    if (!batched.read) {
      return 0;
    }
    statistics = batched.statistics;
  } else if (!driver_.HlGetTBFClassStatistics(filter.LowerAdapterName, filter.DriverClassId,
                                              statistics)) {
    return 0;
  }
  filter.TransferredBytes = statistics.transferredBytes;
  return static_cast<std::int32_t>(statistics.rate);
}

void TrafficStatistics::SampleFilters() {
  ReadBatches();
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    PacketFilterSetting& filter = filters_.At(i);
    filter.RateHistory.push_back(SampleOf(i, filter));
    TrimHistory(filter.RateHistory, historyLength_);
  }
}

bool TrafficStatistics::ReadTotals(const std::string& adapterName,
                                   protocol::TotalStatistics& totals) {
  const auto batched = std::ranges::find(batchedTotals_, adapterName, &BatchedTotals::adapterName);
  if (batched == batchedTotals_.end()) {
    return driver_.HlGetTotalStatistics(adapterName, totals);
  }
  if (!batched->totals) {
    return false;
  }
  totals = *batched->totals;
  return true;
}

std::optional<protocol::TotalStatistics> TrafficStatistics::SumTotals() {
  protocol::TotalStatistics sum;
  for (const AdapterEntry& adapter : adapters_.Entries()) {
    if (adapter.valid != 1) {
      continue;
    }
    protocol::TotalStatistics totals;
    if (!ReadTotals(adapter.name, totals)) {
      return std::nullopt;
    }
    sum.sentBytes += totals.sentBytes;
    sum.receivedBytes += totals.receivedBytes;
    sum.sendRate += totals.sendRate;  // 32-bit sums wrap
    sum.receiveRate += totals.receiveRate;
  }
  return sum;
}

bool TrafficStatistics::SampleTotals() {
  const std::optional<protocol::TotalStatistics> sum = SumTotals();
  batchedTotals_.clear();  // the batches' totals belong to this tick only
  if (!sum) {
    return false;
  }
  sendHistory_.push_back(sum->sendRate);
  TrimHistory(sendHistory_, historyLength_);
  receiveHistory_.push_back(sum->receiveRate);
  TrimHistory(receiveHistory_, historyLength_);
  totalSent_ = sum->sentBytes;
  totalReceived_ = sum->receivedBytes;
  return true;
}

bool TrafficStatistics::CountRedraw(bool windowHidden) {
  // Saturates rather than wraps while the window stays hidden for years.
  if (redrawCounter_ < std::numeric_limits<std::uint32_t>::max()) {
    ++redrawCounter_;
  }
  if (redrawCounter_ < historyLength_ || windowHidden) {
    return false;
  }
  redrawCounter_ = 0;
  return true;
}

StatusPaneTexts TrafficStatistics::PaneTexts() const {
  return {SendRatePaneText(AverageRate(sendHistory_)),
          ReceiveRatePaneText(AverageRate(receiveHistory_)), SentTotalPaneText(totalSent_),
          ReceivedTotalPaneText(totalReceived_)};
}

void TrafficStatistics::ResetTotals() {
  for (const AdapterEntry& adapter : adapters_.Entries()) {
    if (adapter.valid == 1 && !driver_.HlResetTraffic(adapter.name)) {
      adapters_.SetValid(adapter.name, false);
    }
  }
}

}  // namespace harlune
