#include "gui/models/connection_model.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr int kColumnCount = static_cast<int>(kConnectionColumnCount);

bool KeyLess(const ConnectionRow& a, const ConnectionRow& b) {
  return ConnectionKeyLess{}(KeyOf(a.connection), KeyOf(b.connection));
}

bool SameRow(const ConnectionRow& a, const ConnectionRow& b) {
  return a.connection == b.connection && a.processName == b.processName &&
         a.processPath == b.processPath;
}

}  // namespace

ConnectionModel::ConnectionModel(QObject* parent) : QAbstractTableModel(parent) {}

int ConnectionModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ConnectionModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant ConnectionModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return ToQString(ConnectionCellText(RowAt(index.row()), index.column(), resolveHost_));
  }
  if (role == Qt::TextAlignmentRole) {
    const bool right = ConnectionColumnOf(index.column()).alignRight;
    return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
  }
  return {};
}

QVariant ConnectionModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return ToQString(ConnectionColumnOf(section).header);
  }
  if (role == Qt::TextAlignmentRole) {
    const bool right = ConnectionColumnOf(section).alignRight;
    return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
  }
  return {};
}

void ConnectionModel::Update(std::vector<ConnectionRow> rows, bool resolveHost) {
  // The rows change shape first, while every kept row still holds what the
  // views saw, so that a sorting view places each new row among correctly
  // ordered ones; then the kept rows take their new contents, announced as
  // one range, which costs the view a single repaint.
  Reshape(rows);
  int firstChanged = -1;
  int lastChanged = -1;
  for (std::size_t at = 0; at < rows_.size(); ++at) {
    if (!SameRow(rows_[at], rows[at])) {
      rows_[at] = std::move(rows[at]);
      firstChanged = firstChanged < 0 ? static_cast<int>(at) : firstChanged;
      lastChanged = static_cast<int>(at);
    }
  }
  if (resolveHost != resolveHost_) {
    resolveHost_ = resolveHost;
    firstChanged = 0;
    lastChanged = rowCount() - 1;
  }
  if (firstChanged >= 0 && lastChanged >= firstChanged) {
    emit dataChanged(index(firstChanged, 0), index(lastChanged, kColumnCount - 1),
                     {Qt::DisplayRole});
  }
}

void ConnectionModel::Reshape(const std::vector<ConnectionRow>& rows) {
  // Both lists are in key order: one merge pass finds the gone and the new
  // connections, each run of them removed or inserted at once.
  std::size_t at = 0;
  auto next = rows.begin();
  while (at < rows_.size() || next != rows.end()) {
    if (next == rows.end() || (at < rows_.size() && KeyLess(rows_[at], *next))) {
      std::size_t gone = at + 1;
      while (gone < rows_.size() && (next == rows.end() || KeyLess(rows_[gone], *next))) {
        ++gone;
      }
      RemoveRows(static_cast<int>(at), static_cast<int>(gone - at));
    } else if (at == rows_.size() || KeyLess(*next, rows_[at])) {
      auto end = std::next(next);
      while (end != rows.end() && (at == rows_.size() || KeyLess(*end, rows_[at]))) {
        ++end;
      }
      const auto count = static_cast<int>(std::distance(next, end));
      InsertRows(static_cast<int>(at), next, count);
      at += static_cast<std::size_t>(count);
      next = end;
    } else {
      ++at;
      ++next;
    }
  }
}

void ConnectionModel::RemoveRows(int first, int count) {
  beginRemoveRows({}, first, first + count - 1);
  const auto begin = rows_.begin() + first;
  rows_.erase(begin, begin + count);
  endRemoveRows();
}

void ConnectionModel::InsertRows(int at, std::vector<ConnectionRow>::const_iterator from,
                                 int count) {
  beginInsertRows({}, at, at + count - 1);
  rows_.insert(rows_.begin() + at, from, from + count);
  endInsertRows();
}

ConnectionSortModel::ConnectionSortModel(QObject* parent) : QSortFilterProxyModel(parent) {
  setDynamicSortFilter(true);
}

void ConnectionSortModel::Apply(const ConnectionSortOrder& order) {
  ascending_ = order.Ascending();
  sort(order.Column(), ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

const ConnectionRow& ConnectionSortModel::RowAt(int row) const {
  return Source().RowAt(mapToSource(index(row, 0)).row());
}

bool ConnectionSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const int order =
      CompareConnectionRows(Source().RowAt(left.row()), Source().RowAt(right.row()), sortColumn());
  if (order != 0) {
    return order < 0;
  }
  // Qt sorts descending by asking with the operands swapped; the tie-break
  // is turned with it so that equal rows stay in key order both ways.
  return ascending_ ? left.row() < right.row() : left.row() > right.row();
}

void ConnectionSortModel::SetSearchText(const QString& text) {
  if (search_.SetText(text)) {
    invalidateFilter();
  }
}

bool ConnectionSortModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  return !search_.Active() || search_.Matches(*sourceModel(), sourceRow, sourceParent);
}

const ConnectionModel& ConnectionSortModel::Source() const {
  return static_cast<const ConnectionModel&>(*sourceModel());
}

}  // namespace harlune
