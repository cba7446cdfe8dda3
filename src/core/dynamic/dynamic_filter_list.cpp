#include "core/dynamic/dynamic_filter_list.h"

#include <algorithm>

namespace harlune {

std::int32_t SmallestFreeFilterId(std::span<const std::int32_t> used, std::int32_t maxIdentifier) {
  if (maxIdentifier < 1) {
    return 0;
  }
  std::vector<bool> taken(static_cast<std::size_t>(maxIdentifier) + 1, false);
  for (const std::int32_t id : used) {
    if (id >= 1 && id <= maxIdentifier) {
      taken[static_cast<std::size_t>(id)] = true;
    }
  }
  const auto free = std::find(taken.begin() + 1, taken.end(), false);
  return free == taken.end() ? 0 : static_cast<std::int32_t>(free - taken.begin());
}

}  // namespace harlune
