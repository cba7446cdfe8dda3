#pragma once

// The ordered lists of the older filter family that the general settings
// object owns: the dynamic filters (identifiers 1..63) and the static packet
// filters (identifiers 1..127), both in file order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/filter/legacy_filter.h"

namespace harlune {

// The smallest identifier in 1..maxIdentifier that none of `used` holds, or 0
// when all are taken. Identifiers outside 1..maxIdentifier take no part.
std::int32_t SmallestFreeFilterId(std::span<const std::int32_t> used, std::int32_t maxIdentifier);

template <class FilterType, std::int32_t MaxIdentifier>
class OlderFilterList {
 public:
  static constexpr std::int32_t kMaxIdentifier = MaxIdentifier;

  // Appends a copy of the filter. A copy whose FilterId is 0 or already held
  // by a filter of the list gets the smallest free identifier (0 when every
  // identifier is taken). Returns the stored copy.
  FilterType& Add(const FilterType& filter) {
    auto copy = std::make_unique<FilterType>(filter);
    if (copy->FilterId == 0 || Holds(copy->FilterId)) {
      std::vector<std::int32_t> used;
      used.reserve(filters_.size());
      for (const auto& held : filters_) {
        used.push_back(held->FilterId);
      }
      copy->FilterId = SmallestFreeFilterId(used, kMaxIdentifier);
    }
    filters_.push_back(std::move(copy));
    return *filters_.back();
  }

  const std::vector<std::unique_ptr<FilterType>>& Filters() const { return filters_; }
  std::size_t Size() const { return filters_.size(); }
  bool Empty() const { return filters_.empty(); }
  const FilterType& At(std::size_t position) const { return *filters_.at(position); }
  FilterType& At(std::size_t position) { return *filters_.at(position); }
  void Clear() { filters_.clear(); }

 private:
  bool Holds(std::int32_t id) const {
    for (const auto& held : filters_) {
      if (held->FilterId == id) {
        return true;
      }
    }
    return false;
  }

  std::vector<std::unique_ptr<FilterType>> filters_;
};

using DynamicFilterList = OlderFilterList<DynamicFilter, 63>;
using StaticFilterList = OlderFilterList<PacketFilter, 127>;

}  // namespace harlune
