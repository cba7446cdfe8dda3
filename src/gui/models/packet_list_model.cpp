#include "gui/models/packet_list_model.h"

#include <algorithm>

#include "core/capture/packet_columns.h"
#include "gui/base/qt_text.h"

namespace harlune {
namespace {

int ToInt(std::size_t value) { return static_cast<int>(value); }

}  // namespace

PacketListModel::PacketListModel(PacketList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(&list), view_(list.View()), rows_(list.Rows()) {
  list.SetObserver(this);
}

PacketListModel::~PacketListModel() {
  if (list_ != nullptr) {
    list_->SetObserver(nullptr);
  }
}

void PacketListModel::Detach() { list_ = nullptr; }

std::optional<std::uint32_t> PacketListModel::SerialAt(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
    return std::nullopt;
  }
  return rows_[static_cast<std::size_t>(row)].Serial;
}

int PacketListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ToInt(rows_.size());
}

int PacketListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ToInt(PacketColumnCount(view_));
}

QVariant PacketListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.size()) {
    return {};
  }
  const auto column = static_cast<std::size_t>(index.column());
  if (role == Qt::DisplayRole) {
    return ToQString(PacketCellText(view_, column, rows_[static_cast<std::size_t>(index.row())]));
  }
  if (role == Qt::TextAlignmentRole) {
    const Qt::Alignment side =
        PacketColumnOf(view_, column).alignRight ? Qt::AlignRight : Qt::AlignLeft;
    return QVariant::fromValue(side | Qt::AlignVCenter);
  }
  return {};
}

QVariant PacketListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || role != Qt::DisplayRole) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return ToQString(PacketColumnOf(view_, static_cast<std::size_t>(section)).heading);
}

void PacketListModel::InsertAtTop(const std::deque<PacketEntry>& from, std::size_t count) {
  count = std::min(count, from.size());
  if (count == 0) {
    return;
  }
  beginInsertRows({}, 0, ToInt(count) - 1);
  rows_.insert(rows_.begin(), from.begin(), from.begin() + static_cast<std::ptrdiff_t>(count));
  endInsertRows();
}

void PacketListModel::ResizeTo(const std::deque<PacketEntry>& from) {
  const std::size_t target = from.size();
  if (rows_.size() > target) {
    beginRemoveRows({}, ToInt(target), ToInt(rows_.size()) - 1);
    rows_.resize(target);
    endRemoveRows();
  } else if (rows_.size() < target) {
    beginInsertRows({}, ToInt(rows_.size()), ToInt(target) - 1);
    rows_.insert(rows_.end(), from.begin() + static_cast<std::ptrdiff_t>(rows_.size()), from.end());
    endInsertRows();
  }
}

void PacketListModel::RefreshChangedRows(const std::deque<PacketEntry>& from) {
  std::optional<std::size_t> first;
  std::size_t last = 0;
  for (std::size_t row = 0; row < rows_.size() && row < from.size(); ++row) {
    if (rows_[row].Serial != from[row].Serial || rows_[row].Packet != from[row].Packet) {
      rows_[row] = from[row];
      first = first.value_or(row);
      last = row;
    }
  }
  if (first) {
    emit dataChanged(index(ToInt(*first), 0), index(ToInt(last), columnCount() - 1));
  }
}

void PacketListModel::NoteIpv6Rows(std::size_t count) {
  if (ipv6Shown_) {
    return;
  }
  const auto end = rows_.begin() + static_cast<std::ptrdiff_t>(std::min(count, rows_.size()));
  if (std::any_of(rows_.begin(), end, [](const PacketEntry& entry) {
        return entry.Packet != nullptr && entry.Packet->IsIpv6();
      })) {
    ipv6Shown_ = true;
    emit firstIpv6RowShown();
  }
}

void PacketListModel::RowsInsertedAtTop(std::size_t count) {
  if (list_ != nullptr) {
    InsertAtTop(list_->Rows(), count);
    NoteIpv6Rows(count);
  }
}

void PacketListModel::RowsRemovedFromEnd(std::size_t count) {
  count = std::min(count, rows_.size());
  if (count == 0) {
    return;
  }
  beginRemoveRows({}, ToInt(rows_.size() - count), ToInt(rows_.size()) - 1);
  rows_.resize(rows_.size() - count);
  endRemoveRows();
}

void PacketListModel::RowsReset() {
  if (list_ == nullptr) {
    return;
  }
  const std::deque<PacketEntry>& fresh = list_->Rows();
  // Serial numbers fall from the top row down, so the packets newer than the
  // old top row are the rows that came in at the top; the rest keeps its
  // place and only cells that now show another packet change.
  std::size_t newer = 0;
  if (!rows_.empty()) {
    const std::uint32_t oldTop = rows_.front().Serial;
    while (newer < fresh.size() && fresh[newer].Serial > oldTop) {
      ++newer;
    }
  }
  InsertAtTop(fresh, newer);
  ResizeTo(fresh);
  RefreshChangedRows(fresh);
  NoteIpv6Rows(rows_.size());
}

void PacketListModel::ColumnsChanged() { emit columnsChanged(); }

}  // namespace harlune
