#include "core/filter/packet_filter_manager.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>

namespace harlune {

namespace {

std::out_of_range OutOfRange(std::string_view operation, std::size_t position, std::size_t size) {
  return std::out_of_range(std::string(operation) + ": position " + std::to_string(position) +
                           " is outside the filter list of " + std::to_string(size));
}

const AdapterEntry* AdapterNamed(const std::vector<AdapterEntry>& entries, std::string_view name) {
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [name](const AdapterEntry& entry) { return entry.name == name; });
  return found == entries.end() ? nullptr : &*found;
}

// The adapter with that index, else the first entry (the pseudo-adapter).
const AdapterEntry* AdapterWithIndex(const std::vector<AdapterEntry>& entries, std::int32_t index) {
  const auto found =
      std::find_if(entries.begin(), entries.end(),
                   [index](const AdapterEntry& entry) { return entry.index == index; });
  if (found != entries.end()) {
    return &*found;
  }
  return entries.empty() ? nullptr : &entries.front();
}

}  // namespace

PacketFilterSetting& PacketFilterManager::At(std::size_t position) {
  if (position >= filters_.size()) {
    throw OutOfRange("At", position, filters_.size());
  }
  return *filters_[position];
}

const PacketFilterSetting& PacketFilterManager::At(std::size_t position) const {
  if (position >= filters_.size()) {
    throw OutOfRange("At", position, filters_.size());
  }
  return *filters_[position];
}

PacketFilterSetting* PacketFilterManager::FindById(std::int32_t id) {
  return const_cast<PacketFilterSetting*>(std::as_const(*this).FindById(id));
}

const PacketFilterSetting* PacketFilterManager::FindById(std::int32_t id) const {
  if (id == -1) {
    return nullptr;
  }
  const auto found = std::find_if(filters_.begin(), filters_.end(),
                                  [id](const auto& filter) { return filter->ID == id; });
  return found == filters_.end() ? nullptr : found->get();
}

PacketFilterSetting& PacketFilterManager::Add(const PacketFilterSetting& record) {
  auto copy = std::make_unique<PacketFilterSetting>(record);
  if (copy->ID == -1 || FindById(copy->ID) != nullptr) {
    copy->ID = FreeIdentifier();
  }
  filters_.push_back(std::move(copy));
  return *filters_.back();
}

PacketFilterSetting& PacketFilterManager::InsertCopy(const PacketFilterSetting& record,
                                                     std::size_t position) {
  if (position > filters_.size()) {
    throw OutOfRange("InsertCopy", position, filters_.size());
  }
  const auto inserted = filters_.insert(filters_.begin() + static_cast<std::ptrdiff_t>(position),
                                        std::make_unique<PacketFilterSetting>(record));
  return **inserted;
}

void PacketFilterManager::Remove(std::size_t position) {
  if (position >= filters_.size()) {
    dialogs_.ShowMessage(kBadIndexMessage);
    throw OutOfRange("Remove", position, filters_.size());
  }
  filters_.erase(filters_.begin() + static_cast<std::ptrdiff_t>(position));
}

void PacketFilterManager::Exchange(std::size_t a, std::size_t b) {
  if (a >= filters_.size() || b >= filters_.size()) {
    throw OutOfRange("Exchange", std::max(a, b), filters_.size());
  }
  std::swap(filters_[a], filters_[b]);
}

bool PacketFilterManager::ResolveAdapters(const AdapterTable& adapters) {
  const std::vector<AdapterEntry>& entries = adapters.Entries();
  bool changed = false;
  for (const auto& filter : filters_) {
    const AdapterEntry* named = AdapterNamed(entries, filter->LowerAdapterName);
    if (named != nullptr && named->index != -1) {
      filter->AdapterIndex = named->index;
    } else {
      // An index from an earlier call no longer names this filter's
      // adapter; keeping it would take another adapter's address below.
      filter->AdapterIndex = -1;
      for (const AdapterEntry& entry : entries) {
        if (std::find(entry.addresses.begin(), entry.addresses.end(), filter->LocalIPAddr) ==
            entry.addresses.end()) {
          continue;
        }
        // The last adapter holding the address wins. Only a real change
        // counts: the caller restarts the driver session on a change.
        if (filter->LowerAdapterName != entry.name) {
          filter->LowerAdapterName = entry.name;
          changed = true;
        }
      }
    }

    // An adapter without an address has nothing to give the filter.
    const AdapterEntry* chosen = AdapterWithIndex(entries, filter->AdapterIndex);
    if (chosen == nullptr || chosen->addresses.empty()) {
      continue;
    }
    const std::uint32_t first = chosen->addresses.front();
    if (first != 0 && first != filter->LocalIPAddr) {
      filter->LocalIPAddr = first;
      changed = true;
    }
  }
  return changed;
}

std::int32_t PacketFilterManager::FreeIdentifier() const {
  std::array<bool, kMaxFilters> used{};
  for (const auto& filter : filters_) {
    if (filter->ID >= 0 && static_cast<std::size_t>(filter->ID) < kMaxFilters) {
      used[static_cast<std::size_t>(filter->ID)] = true;
    }
  }
  const auto free = std::find(used.begin(), used.end(), false);
  return free == used.end() ? -1 : static_cast<std::int32_t>(free - used.begin());
}

}  // namespace harlune
