#include "core/graph/rate_graph_history.h"

#include <functional>
#include <utility>

namespace harlune {
namespace {

template <class SeriesMap>
const RateRing* RingOf(const SeriesMap& byId, std::int32_t id) {
  const auto found = byId.find(id);
  return found == byId.end() ? nullptr : &found->second.ring;
}

}  // namespace

void RateGraphHistory::AddTick(std::uint32_t sendRate, std::uint32_t receiveRate,
                               const PacketFilterManager& filters, const HTB_Manager& htb) {
  ++tick_;
  Add(send_, sendRate);
  Add(receive_, receiveRate);
  for (std::size_t i = 0; i < filters.Size(); ++i) {
    const PacketFilterSetting& filter = filters.At(i);
    if (filter.ID >= 0) {
      // The sample the statistics took this tick, taken unsigned as the
      // averages take it.
      const std::uint32_t rate =
          filter.RateHistory.empty() ? 0 : static_cast<std::uint32_t>(filter.RateHistory.back());
      AddTo(filters_, filter.ID, rate);
    }
  }
  AddClasses(htb);
  DropUnseen(filters_);
  DropUnseen(classes_);
  if (++ticksThisSecond_ == kTicksPerSample) {
    FinishSecond();
  }
}

// A class's history is its own CurrentRate, not a sum made here from its
// filters' histories: CurrentRate is the rate the HTB step shared out for
// the class, the measured rate of the filter of a leaf whose condition
// holds and the sum of the children of an inner class, and 0 while the
// class is off. That is what the rates the driver enforces were derived
// from; a sum of filter histories would also count the filters of leaves
// that are off, and a filter twice when two leaves drive it.
void RateGraphHistory::AddClasses(const HTB_Manager& htb) {
  const std::function<void(const HTB_Class&)> visit = [this](const HTB_Class& cls) {
    if (cls.ID >= 0) {
      AddTo(classes_, cls.ID, cls.CurrentRate);
    }
  };
  for (const HTB_Tree* tree : {&htb.SendTree(), &htb.ReceiveTree()}) {
    if (tree->Root() != nullptr) {
      std::as_const(*tree->Root()).VisitSubtree(visit);
    }
  }
}

void RateGraphHistory::Add(Series& series, std::uint32_t rate) const {
  series.sum += rate;
  ++series.ticks;
  series.seenAt = tick_;
}

void RateGraphHistory::AddTo(SeriesById& byId, std::int32_t id, std::uint32_t rate) {
  Add(byId[id], rate);
}

void RateGraphHistory::DropUnseen(SeriesById& byId) const {
  std::erase_if(byId, [this](const auto& entry) { return entry.second.seenAt != tick_; });
}

void RateGraphHistory::Finish(Series& series) {
  // A series that came during the second averages the ticks it was in.
  if (series.ticks != 0) {
    series.ring.Push(static_cast<std::uint32_t>(series.sum / series.ticks));
  }
  Restart(series);
}

void RateGraphHistory::Restart(Series& series) {
  series.sum = 0;
  series.ticks = 0;
}

void RateGraphHistory::FinishSecond() {
  ticksThisSecond_ = 0;
  Finish(send_);
  Finish(receive_);
  for (auto& entry : filters_) {
    Finish(entry.second);
  }
  for (auto& entry : classes_) {
    Finish(entry.second);
  }
}

void RateGraphHistory::StartSession() {
  ticksThisSecond_ = 0;
  Restart(send_);
  Restart(receive_);
  for (auto& entry : filters_) {
    Restart(entry.second);
  }
  for (auto& entry : classes_) {
    Restart(entry.second);
  }
}

const RateRing* RateGraphHistory::Filter(std::int32_t id) const { return RingOf(filters_, id); }

const RateRing* RateGraphHistory::Class(std::int32_t id) const { return RingOf(classes_, id); }

}  // namespace harlune
