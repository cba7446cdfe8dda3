#pragma once

// PacketList: one list of the packet monitor without its widget. It keeps
// the newest packets (the live store, newest first, at most
// MAX_PACKET_CAPTURE_NUM), the rows the view shows, a snapshot taken when the
// display freezes, and its columns' widths and order. The rows change only
// when the list draws: a packet stored without drawing marks the list dirty
// until the next Redraw. An observer (the view's item model) hears every
// change of the rows so that it can follow them incrementally.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/capture/packet_columns.h"
#include "core/capture/packet_info.h"

namespace harlune {

class PacketListObserver {
 public:
  virtual ~PacketListObserver() = default;
  // Rows 0..count-1 are new; the rows that were there moved down.
  virtual void RowsInsertedAtTop(std::size_t count) = 0;
  // The last `count` rows are gone.
  virtual void RowsRemovedFromEnd(std::size_t count) = 0;
  // Every row may have changed, their number too: read them all again.
  virtual void RowsReset() = 0;
  // The columns' widths or order changed.
  virtual void ColumnsChanged() = 0;
};

class PacketList {
 public:
  // Reads MAX_PACKET_CAPTURE_NUM from `settings` at every packet, so a
  // changed option applies at once; the column widths and order are taken
  // from it now. `settings` must outlive the list.
  PacketList(PacketView view, const IniFileObject& settings);
  PacketList(const PacketList&) = delete;
  PacketList& operator=(const PacketList&) = delete;

  PacketView View() const { return view_; }

  // Null for none; the observer must outlive the list or be replaced.
  void SetObserver(PacketListObserver* observer) { observer_ = observer; }

  // Stores the packet as the newest with the next serial number, drawing it
  // as a new top row when `drawNow`. The serial advances also when nothing
  // is drawn or kept.
  void AddPacket(std::shared_ptr<const PacketInfo> packet, bool drawNow);

  // When dirty, shows the newest packets of the live store; else nothing.
  void Redraw();

  // Replaces the snapshot with a copy of the live store.
  void TakeSnapshot();

  // The snapshot's entry with this serial; null when it is not there.
  const PacketEntry* FindInSnapshot(std::uint32_t serial) const;

  // What the view draws, row 0 first.
  const std::deque<PacketEntry>& Rows() const { return rows_; }
  const std::deque<PacketEntry>& LiveStore() const { return live_; }
  const std::deque<PacketEntry>& SnapshotStore() const { return snapshot_; }
  std::uint32_t NextSerial() const { return nextSerial_; }
  bool Dirty() const { return dirty_; }

  // One entry per column of the view.
  const std::vector<std::int32_t>& ColumnWidths() const { return widths_; }
  const std::vector<std::int32_t>& ColumnOrder() const { return order_; }
  // False, changing nothing, for a column the view lacks.
  bool SetColumnWidth(std::size_t column, std::int32_t width);
  // False, changing nothing, unless `order` holds every column once.
  bool SetColumnOrder(std::span<const std::int32_t> order);

 private:
  // MAX_PACKET_CAPTURE_NUM; a negative value keeps nothing, like 0.
  std::size_t MaxPackets() const;
  void TrimRows(std::size_t max);

  PacketView view_;
  const IniFileObject& settings_;
  PacketListObserver* observer_ = nullptr;

  std::deque<PacketEntry> live_;
  std::deque<PacketEntry> snapshot_;
  std::deque<PacketEntry> rows_;
  std::uint32_t nextSerial_ = 1;
  bool dirty_ = false;

  std::vector<std::int32_t> widths_;
  std::vector<std::int32_t> order_;
};

// Whether `order` holds each of the columns 0..count-1 exactly once.
bool IsColumnOrder(std::span<const std::int32_t> order, std::size_t count);

}  // namespace harlune
