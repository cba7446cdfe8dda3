#include "core/capture/packet_list.h"

#include <algorithm>
#include <utility>

namespace harlune {
namespace {

template <std::size_t N>
std::vector<std::int32_t> ToVector(const ColumnValues<N>& values) {
  return {values.begin(), values.end()};
}

}  // namespace

bool IsColumnOrder(std::span<const std::int32_t> order, std::size_t count) {
  if (order.size() != count) {
    return false;
  }
  std::vector<bool> seen(count, false);
  for (const std::int32_t column : order) {
    if (column < 0 || static_cast<std::size_t>(column) >= count ||
        seen[static_cast<std::size_t>(column)]) {
      return false;
    }
    seen[static_cast<std::size_t>(column)] = true;
  }
  return true;
}

PacketList::PacketList(PacketView view, const IniFileObject& settings)
    : view_(view), settings_(settings) {
  if (view == PacketView::kTcp) {
    widths_ = ToVector(settings.LCTCPPACKET_COLUMN_SIZE);
    order_ = ToVector(settings.LCTCPPACKET_COLUMN_ORDER);
  } else {
    widths_ = ToVector(settings.LCUDPPACKET_COLUMN_SIZE);
    order_ = ToVector(settings.LCUDPPACKET_COLUMN_ORDER);
  }
  for (std::int32_t& width : widths_) {
    width = std::max(width, 0);
  }
  // The file may hold any numbers; a view cannot show an order that misses
  // or repeats a column.
  if (!IsColumnOrder(order_, order_.size())) {
    for (std::size_t i = 0; i < order_.size(); ++i) {
      order_[i] = static_cast<std::int32_t>(i);
    }
  }
}

std::size_t PacketList::MaxPackets() const {
  return static_cast<std::size_t>(std::max(settings_.MAX_PACKET_CAPTURE_NUM, 0));
}

void PacketList::TrimRows(std::size_t max) {
  if (rows_.size() <= max) {
    return;
  }
  const std::size_t removed = rows_.size() - max;
  rows_.resize(max);
  if (observer_ != nullptr) {
    observer_->RowsRemovedFromEnd(removed);
  }
}

void PacketList::AddPacket(std::shared_ptr<const PacketInfo> packet, bool drawNow) {
  const std::size_t max = MaxPackets();
  PacketEntry entry{nextSerial_++, std::move(packet)};
  if (max > 0) {
    live_.push_front(entry);
    if (live_.size() > max) {
      live_.resize(max);
    }
  }
  if (!drawNow) {
    dirty_ = true;
    return;
  }
  if (dirty_) {
    // Rows left behind while nothing was drawn (a hidden window) would sit
    // under the new top row with a gap between; show the store instead.
    Redraw();
    return;
  }
  if (max > 0) {
    rows_.push_front(std::move(entry));
    if (observer_ != nullptr) {
      observer_->RowsInsertedAtTop(1);
    }
  }
  TrimRows(max);
}

void PacketList::Redraw() {
  if (!dirty_) {
    return;
  }
  const std::size_t count = std::min(live_.size(), MaxPackets());
  rows_.assign(live_.begin(), live_.begin() + static_cast<std::ptrdiff_t>(count));
  dirty_ = false;
  if (observer_ != nullptr) {
    observer_->RowsReset();
  }
}

void PacketList::TakeSnapshot() { snapshot_ = live_; }

const PacketEntry* PacketList::FindInSnapshot(std::uint32_t serial) const {
  const auto found = std::ranges::find(snapshot_, serial, &PacketEntry::Serial);
  return found == snapshot_.end() ? nullptr : &*found;
}

bool PacketList::SetColumnWidth(std::size_t column, std::int32_t width) {
  if (column >= widths_.size()) {
    return false;
  }
  widths_[column] = std::max(width, 0);
  if (observer_ != nullptr) {
    observer_->ColumnsChanged();
  }
  return true;
}

bool PacketList::SetColumnOrder(std::span<const std::int32_t> order) {
  if (!IsColumnOrder(order, order_.size())) {
    return false;
  }
  order_.assign(order.begin(), order.end());
  if (observer_ != nullptr) {
    observer_->ColumnsChanged();
  }
  return true;
}

}  // namespace harlune
