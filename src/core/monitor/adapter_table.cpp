#include "core/monitor/adapter_table.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "core/base/string_resources.h"
#include "protocol/request_codes.h"

namespace harlune {

namespace {

AdapterEntry PseudoAdapter() {
  AdapterEntry entry;
  entry.index = -1;
  entry.addresses = {0};
  entry.description = std::string(strings::kNoAdapterDescription);
  entry.name = std::string(strings::kNoAdapterName);
  entry.valid = 0;
  return entry;
}

bool ShareAnAddress(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  return std::any_of(a.begin(), a.end(), [&b](std::uint32_t address) {
    return std::find(b.begin(), b.end(), address) != b.end();
  });
}

bool IsSameAdapter(const AdapterEntry& old, const AdapterEntry& fresh) {
  return old.index == fresh.index && old.description == fresh.description &&
         old.name == fresh.name && ShareAnAddress(old.addresses, fresh.addresses);
}

// The first entry of the old table, after the pseudo-adapter, that is the
// same adapter as the fresh one.
const AdapterEntry* FindPrevious(const std::vector<AdapterEntry>& old, const AdapterEntry& fresh) {
  const auto found = std::find_if(old.begin() + 1, old.end(), [&fresh](const AdapterEntry& entry) {
    return IsSameAdapter(entry, fresh);
  });
  return found == old.end() ? nullptr : &*found;
}

}  // namespace

AdapterTable::AdapterTable() : entries_{PseudoAdapter()} {}

bool AdapterTable::Refresh(AdapterSource& source, const DriverVersionQuery& driverVersion,
                           UserDialogs& dialogs) {
  const std::vector<AdapterEntry> old = std::exchange(entries_, {PseudoAdapter()});

  AdapterListResult list = source.ListAdapters();
  switch (list.status) {
    case AdapterListResult::Status::NoData:
      return old.size() > 1;
    case AdapterListResult::Status::Failed:
      dialogs.ShowMessage("GetAdaptersInfoに失敗しました。\nReturn code : " +
                          std::to_string(list.errorCode));
      return false;
    case AdapterListResult::Status::Ok:
      break;
  }

  bool changed = false;
  for (SystemAdapter& adapter : list.adapters) {
    AdapterEntry entry;
    entry.index = adapter.index;
    entry.addresses = std::move(adapter.addresses);
    entry.description = std::move(adapter.description);
    entry.name = std::move(adapter.name);
    entry.ipv6Addresses = std::move(adapter.ipv6Addresses);

    const AdapterEntry* previous = FindPrevious(old, entry);
    if (previous == nullptr) {
      // The restart of the driver session that this change brings decides
      // whether the adapter is usable.
      changed = true;
      entry.valid = 0;
    } else if (previous->valid != 0) {
      entry.valid = 1;
    } else {
      const std::uint32_t version = driverVersion(entry.name);
      entry.valid = version == protocol::kDriverVersion ? 1 : 0;
      // Any answer is news: the right driver makes the adapter usable, and
      // another one must end the program, as the session start does.
      changed = changed || version != 0;
    }
    entries_.push_back(std::move(entry));
  }

  if (entries_.size() != old.size()) {
    changed = true;
  }
  return changed;
}

std::int32_t AdapterTable::AdapterIndexOfAddress(std::uint32_t address) const {
  for (const AdapterEntry& entry : entries_) {
    if (std::find(entry.addresses.begin(), entry.addresses.end(), address) !=
        entry.addresses.end()) {
      return entry.index;
    }
  }
  return entries_.front().index;
}

std::int32_t AdapterTable::AdapterIndexOfAddress(const IpAddress& address) const {
  if (address.IsIpv4()) {
    return AdapterIndexOfAddress(address.Ipv4Value());
  }
  for (const AdapterEntry& entry : entries_) {
    if (std::ranges::find(entry.ipv6Addresses, address) != entry.ipv6Addresses.end()) {
      return entry.index;
    }
  }
  return entries_.front().index;
}

std::int32_t AdapterTable::AdapterIndexOfName(std::string_view name) const {
  const std::size_t position = PositionOfName(name);
  return position == entries_.size() ? -1 : entries_[position].index;
}

const std::string& AdapterTable::AdapterNameOf(std::int32_t index) const {
  const std::size_t position = PositionOfIndex(index);
  return entries_[position == entries_.size() ? 0 : position].name;
}

std::int32_t AdapterTable::AdapterValidOf(std::string_view name) const {
  const std::size_t position = PositionOfName(name);
  return position == entries_.size() ? 0 : entries_[position].valid;
}

std::uint32_t AdapterTable::FirstAddressOf(std::int32_t index) const {
  const std::size_t position = PositionOfIndex(index);
  if (position == entries_.size() || entries_[position].addresses.empty()) {
    return entries_.front().addresses.front();
  }
  return entries_[position].addresses.front();
}

bool AdapterTable::SetValid(std::string_view name, bool valid) {
  const std::size_t position = PositionOfName(name);
  if (position == entries_.size() || position == 0) {
    return false;
  }
  entries_[position].valid = valid ? 1 : 0;
  return true;
}

std::size_t AdapterTable::PositionOfName(std::string_view name) const {
  const auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [name](const AdapterEntry& entry) { return entry.name == name; });
  return static_cast<std::size_t>(found - entries_.begin());
}

std::size_t AdapterTable::PositionOfIndex(std::int32_t index) const {
  const auto found =
      std::find_if(entries_.begin(), entries_.end(),
                   [index](const AdapterEntry& entry) { return entry.index == index; });
  return static_cast<std::size_t>(found - entries_.begin());
}

}  // namespace harlune
