#include "gui/models/htb_list_model.h"

#include <QColor>
#include <algorithm>
#include <iterator>
#include <utility>

#include "gui/base/qt_text.h"
#include "gui/models/htb_tree_model.h"

namespace harlune {

namespace {

constexpr int kColumnCount = static_cast<int>(kHtbColumnCount);

}  // namespace

HtbListModel::HtbListModel(QObject* parent) : QAbstractTableModel(parent) {}

void HtbListModel::Update(std::vector<HtbListRow> rows) {
  const int kept = static_cast<int>(std::min(rows.size(), rows_.size()));
  for (int row = 0; row < kept; ++row) {
    ReplaceRow(row, std::move(rows[static_cast<std::size_t>(row)]));
  }
  const int wanted = static_cast<int>(rows.size());
  const int shown = static_cast<int>(rows_.size());
  if (wanted > shown) {
    beginInsertRows({}, shown, wanted - 1);
    std::move(rows.begin() + shown, rows.end(), std::back_inserter(rows_));
    endInsertRows();
  } else if (wanted < shown) {
    beginRemoveRows({}, wanted, shown - 1);
    rows_.resize(static_cast<std::size_t>(wanted));
    endRemoveRows();
  }
}

void HtbListModel::ReplaceRow(int row, HtbListRow next) {
  HtbListRow& current = rows_[static_cast<std::size_t>(row)];
  // A changed colour, icon, note or class repaints the whole row; otherwise only
  // the span of cells whose text changed.
  int first = 0;
  int last = kColumnCount - 1;
  if (current.id == next.id && current.available == next.available &&
      current.textRgb == next.textRgb && current.backgroundRgb == next.backgroundRgb &&
      current.note == next.note) {
    first = kColumnCount;
    last = -1;
    for (int column = 0; column < kColumnCount; ++column) {
      const auto c = static_cast<std::size_t>(column);
      if (current.cells[c] != next.cells[c]) {
        first = std::min(first, column);
        last = column;
      }
    }
  }
  current = std::move(next);
  if (first <= last) {
    emit dataChanged(index(row, first), index(row, last));
  }
}

std::optional<std::int32_t> HtbListModel::ClassIdAt(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
    return std::nullopt;
  }
  return rows_[static_cast<std::size_t>(row)].id;
}

int HtbListModel::RowOfClass(std::int32_t id) const {
  const auto found = std::find_if(rows_.begin(), rows_.end(),
                                  [id](const HtbListRow& row) { return row.id == id; });
  return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

int HtbListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int HtbListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant HtbListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount) {
    return {};
  }
  const HtbListRow& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return ToQString(row.cells[static_cast<std::size_t>(index.column())]);
    case Qt::DecorationRole:
      return index.column() == 0 ? QVariant(HtbAvailabilityIcon(row.available)) : QVariant();
    case Qt::ForegroundRole:
      return row.textRgb.has_value() ? QVariant(QColor(static_cast<QRgb>(*row.textRgb)))
                                     : QVariant();
    case Qt::BackgroundRole:
      return QColor(static_cast<QRgb>(row.backgroundRgb));
    case Qt::ToolTipRole:
      return row.note.empty() ? QVariant() : QVariant(ToQString(row.note));
    case kClassIdRole:
      return row.id;
    case kRootWithoutRateRole:
      return row.rootWithoutRate;
    default:
      return {};
  }
}

QVariant HtbListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  return ToQString(kHtbColumnHeaders[static_cast<std::size_t>(section)]);
}

}  // namespace harlune
