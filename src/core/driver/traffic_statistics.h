#pragma once

// The statistics tick: ten times a second the owner reads every filter's
// class counters and every usable adapter's totals from the driver, keeps
// short rate histories for the averages the pages show, and redraws the
// pages and the status bar on the drawing cycle the user chose.
//
// The tick is split so that the owner runs the HTB step between the totals
// and the redraw:
//
//   statistics.SampleFilters();
//   if (statistics.SampleTotals()) {
//     htb.Run(...);
//     if (statistics.CountRedraw(windowHidden)) { redraw pages and panes }
//   }

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/size_text.h"
#include "core/driver/driver_link.h"
#include "core/filter/packet_filter_manager.h"
#include "core/filter/packet_filter_setting.h"
#include "core/monitor/adapter_table.h"

namespace harlune {

// The status bar's panes as they read before the first statistics tick.
inline constexpr std::string_view kTotalPaneText = " TOTAL ";
inline constexpr std::string_view kInitialSendRatePaneText = " UP速度           0.0 KB/s";
inline constexpr std::string_view kInitialReceiveRatePaneText = " DOWN速度          0.0 KB/s";
inline constexpr std::string_view kInitialSentTotalPaneText = " UP転送量    0.0 KB        ";
inline constexpr std::string_view kInitialReceivedTotalPaneText = " DOWN転送量    0.0 KB        ";

// The filter page's rate cell of a disabled filter.
inline constexpr std::string_view kNotMeasuredText = "未計測";
// The rate cell of a filter whose adapter's driver stopped answering: no
// rate is read for it, so none is shown.
inline constexpr std::string_view kDriverSilentText = "ドライバ応答なし";

using RateHistory32 = std::deque<std::uint32_t>;

// How many samples every rate history keeps: one per tick of a drawing
// cycle (VIEW_REFRESH_CYCLE ms / 100 ms, rounded down; 0 keeps none).
std::size_t HistoryLength(std::uint32_t viewRefreshCycle);

// Drops the oldest samples while more than `length` remain.
template <typename Sample>
void TrimHistory(std::deque<Sample>& history, std::size_t length) {
  while (history.size() > length) {
    history.pop_front();
  }
}

// Sum of the samples divided by their count, as unsigned 32-bit numbers:
// the sum wraps at 2^32, the quotient is truncated; an empty history is 0.
std::uint32_t AverageRate(const RateHistory32& history);
// A filter's history, its samples taken as unsigned.
std::uint32_t AverageRate(const std::deque<std::int32_t>& history);

// The running texts of the status bar's rate and total panes. A rate is
// printed as the signed 32-bit value of the average, divided by 1024.
std::string SendRatePaneText(std::uint32_t averageRate);
std::string ReceiveRatePaneText(std::uint32_t averageRate);
std::string SentTotalPaneText(std::uint64_t bytes);
std::string ReceivedTotalPaneText(std::uint64_t bytes);

// The filter page's "現在の帯域" cell: kNotMeasuredText for a disabled
// filter, else the average of its history as "%.1f KB/s".
std::string FilterRateText(const PacketFilterSetting& filter);
// The same, with kDriverSilentText while the filter's driver is silent.
std::string FilterRateText(const PacketFilterSetting& filter, bool driverSilent);
// The status bar's note while drivers are silent ("" while none is).
std::string DriverSilentNote(const std::vector<std::string>& silentAdapters);
// The filter page's "転送量" cell.
std::string FilterTransferText(const PacketFilterSetting& filter);

struct StatusPaneTexts {
  std::string sendRate;       // pane 104
  std::string receiveRate;    // pane 105
  std::string sentTotal;      // pane 114
  std::string receivedTotal;  // pane 180
};

class TrafficStatistics {
 public:
  TrafficStatistics(DriverLink& driver, AdapterTable& adapters, PacketFilterManager& filters);
  TrafficStatistics(const TrafficStatistics&) = delete;
  TrafficStatistics& operator=(const TrafficStatistics&) = delete;

  // VIEW_REFRESH_CYCLE in ms: the history length and the redraw divider.
  void SetViewRefreshCycle(std::uint32_t milliseconds);
  std::size_t HistoryLength() const { return historyLength_; }

  // One rate sample per filter in list order: the class's rate, or 0 when
  // its adapter is not usable or the read failed. A successful read also
  // stores the class's transferred bytes. Each usable adapter is read with
  // one statistics batch (its filters in list order, with its totals); an
  // adapter whose driver does not know the batch gets one request per
  // filter, as do filters that have no class.
  void SampleFilters();

  // Reads the totals of every usable adapter: those of this tick's batch
  // where SampleFilters read one, else by the totals request. When any read
  // fails the tick ends: nothing is appended, the totals keep their values
  // and the caller must neither run the HTB step nor redraw (returns
  // false). Otherwise the summed rates are appended to the histories and
  // the summed totals stored.
  bool SampleTotals();

  // Counts a tick towards the next redraw and says whether to redraw now.
  // While the window is hidden the count goes on without a redraw, so the
  // first tick after it reappears redraws at once.
  bool CountRedraw(bool windowHidden);

  // The texts of the four changing panes from the current histories and
  // totals (also what window initialisation shows: 0.0 KB/s).
  StatusPaneTexts PaneTexts() const;

  // Asks the driver to reset its totals on every usable adapter; an adapter
  // whose reset fails is no longer used. The totals kept here are left for
  // the next tick to read anew.
  void ResetTotals();

  const RateHistory32& SendHistory() const { return sendHistory_; }
  const RateHistory32& ReceiveHistory() const { return receiveHistory_; }
  std::uint64_t TotalSent() const { return totalSent_; }
  std::uint64_t TotalReceived() const { return totalReceived_; }

 private:
  // What this tick's statistics batch said about the filter at a position.
  struct BatchedSample {
    bool batched = false;  // a batch named its class: no single request
    bool read = false;     // the class's statistics came back
    protocol::ClassStatistics statistics;
  };
  // The totals of an adapter's batch this tick; nothing when it failed.
  struct BatchedTotals {
    std::string adapterName;
    std::optional<protocol::TotalStatistics> totals;
  };

  void ReadBatches();
  void ReadAdapterBatch(const std::string& adapterName);
  std::int32_t SampleOf(std::size_t position, PacketFilterSetting& filter);
  bool ReadTotals(const std::string& adapterName, protocol::TotalStatistics& totals);
  // The sum over the usable adapters, or nothing when one read failed.
  std::optional<protocol::TotalStatistics> SumTotals();

  DriverLink& driver_;
  AdapterTable& adapters_;
  PacketFilterManager& filters_;

  std::size_t historyLength_ = 10;
  RateHistory32 sendHistory_;
  RateHistory32 receiveHistory_;
  std::uint64_t totalSent_ = 0;
  std::uint64_t totalReceived_ = 0;
  std::uint32_t redrawCounter_ = 0;
  std::vector<BatchedSample> batched_;  // by list position, this tick
  std::vector<BatchedTotals> batchedTotals_;
};

}  // namespace harlune
