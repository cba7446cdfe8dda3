#pragma once

// RateGraphHistory: what the rate graphs draw, the last ten minutes at one
// sample a second, for the send and receive totals, for every filter by its
// ID and for every HTB class by its ID. A sample is the mean rate (bytes/s)
// of that second's statistics ticks. It is fed on every tick whether or not
// a graph is shown, so that a graph opened later has the whole ten minutes.
//
// It is separate from the short rate histories of the statistics, whose
// length follows the drawing cycle and which the lists average.

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "core/filter/packet_filter_manager.h"
#include "core/graph/rate_ring.h"
#include "core/htb/htb_manager.h"

namespace harlune {

class RateGraphHistory {
 public:
  // Statistics ticks (of 100 ms) that make one second's sample.
  static constexpr std::uint32_t kTicksPerSample = 10;

  // One statistics tick that read every number: the summed send and
  // receive rates, each filter's newest rate sample and each class's
  // CurrentRate as the HTB step left it. A filter or class that is gone
  // since the last tick loses its history at once, so that an ID given
  // again later starts afresh; a filter moved in the list keeps its own.
  void AddTick(std::uint32_t sendRate, std::uint32_t receiveRate,
               const PacketFilterManager& filters, const HTB_Manager& htb);

  // A new driver session: the ticks of the unfinished second, counted by
  // the session that ended, are dropped; the finished seconds stay.
  void StartSession();

  const RateRing& Send() const { return send_.ring; }
  const RateRing& Receive() const { return receive_.ring; }
  // The history of the filter or class with that ID; nullptr when none is
  // kept (no such ID, or not yet seen by a tick).
  const RateRing* Filter(std::int32_t id) const;
  const RateRing* Class(std::int32_t id) const;

 private:
  struct Series {
    RateRing ring;
    std::uint64_t sum = 0;     // this second's ticks
    std::uint32_t ticks = 0;   // this second's ticks seen
    std::uint64_t seenAt = 0;  // the last tick that named the series
  };
  using SeriesById = std::unordered_map<std::int32_t, Series>;

  void Add(Series& series, std::uint32_t rate) const;
  void AddTo(SeriesById& byId, std::int32_t id, std::uint32_t rate);
  void AddClasses(const HTB_Manager& htb);
  // Drops the series that this tick did not name.
  void DropUnseen(SeriesById& byId) const;
  void FinishSecond();
  static void Finish(Series& series);
  static void Restart(Series& series);

  Series send_;
  Series receive_;
  SeriesById filters_;
  SeriesById classes_;
  std::uint64_t tick_ = 0;
  std::uint32_t ticksThisSecond_ = 0;
};

}  // namespace harlune
