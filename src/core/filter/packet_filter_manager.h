#pragma once

// PacketFilterManager: the ordered filter list. The order is the order in
// which the driver compares the filters, the first record first. Records are
// owned one by one, so a record keeps its address while the list changes
// around it (HTB leaves point at the filters they drive).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/filter/packet_filter_setting.h"
#include "core/monitor/adapter_table.h"

namespace harlune {

// Shown by the filter list page when the list is full.
inline constexpr std::string_view kFilterLimitMessage = "これ以上フィルタを追加できません。";
// Shown when a record is to be removed at a position outside the list.
inline constexpr std::string_view kBadIndexMessage = "indexが不正";

class PacketFilterManager {
 public:
  // Filter identifiers are 0..127; the list page adds no more than this.
  static constexpr std::size_t kMaxFilters = 128;

  explicit PacketFilterManager(UserDialogs& dialogs) : dialogs_(dialogs) {}
  PacketFilterManager(const PacketFilterManager&) = delete;
  PacketFilterManager& operator=(const PacketFilterManager&) = delete;
  virtual ~PacketFilterManager() = default;

  std::size_t Size() const { return filters_.size(); }
  // Whether the list page must refuse another filter (kFilterLimitMessage).
  bool IsFull() const { return filters_.size() >= kMaxFilters; }

  // The record at the position; std::out_of_range outside the list.
  PacketFilterSetting& At(std::size_t position);
  const PacketFilterSetting& At(std::size_t position) const;

  // The first record with that ID, or nullptr (also for -1).
  PacketFilterSetting* FindById(std::int32_t id);
  const PacketFilterSetting* FindById(std::int32_t id) const;

  // Appends a copy. A copy whose ID is -1 or already used in the list gets
  // the free identifier (-1 when none is free). Returns the appended record.
  PacketFilterSetting& Add(const PacketFilterSetting& record);

  // Inserts a copy before the position (Size() appends), keeping its ID.
  // std::out_of_range beyond the end, nothing changed.
  PacketFilterSetting& InsertCopy(const PacketFilterSetting& record, std::size_t position);

  // Deletes the record and closes the gap. A position outside the list
  // shows kBadIndexMessage, then throws std::out_of_range; nothing changes.
  void Remove(std::size_t position);

  // Swaps two records; std::out_of_range when either position is outside
  // the list, nothing changed.
  void Exchange(std::size_t a, std::size_t b);

  // Brings each record's adapter up to date with the table: by its
  // LowerAdapterName, else by the adapter holding its LocalIPAddr; then its
  // LocalIPAddr follows the first address of its adapter. Returns whether a
  // stored field (LowerAdapterName, LocalIPAddr) of any record changed.
  bool ResolveAdapters(const AdapterTable& adapters);

  // The smallest identifier 0..127 no record uses, or -1. Identifiers
  // outside 0..127 take no part.
  std::int32_t FreeIdentifier() const;

 private:
  UserDialogs& dialogs_;
  std::vector<std::unique_ptr<PacketFilterSetting>> filters_;
};

}  // namespace harlune
