#include "gui/models/row_search.h"

#include <utility>

namespace harlune {

bool RowTextSearch::SetText(const QString& text) {
  QString searched = Searched(text);
  if (searched == text_) {
    return false;
  }
  text_ = std::move(searched);
  return true;
}

bool RowTextSearch::Matches(const QAbstractItemModel& model, int row,
                            const QModelIndex& parent) const {
  ++compared_;
  const int columns = model.columnCount(parent);
  for (int column = 0; column < columns; ++column) {
    const QString cell = model.index(row, column, parent).data(Qt::DisplayRole).toString();
    if (Contains(cell)) {
      return true;
    }
  }
  return false;
}

RowSearchModel::RowSearchModel(QObject* parent) : QSortFilterProxyModel(parent) {
  // Changed source rows are compared again, so a row whose text changes
  // appears or goes as it matches.
  setDynamicSortFilter(true);
}

void RowSearchModel::SetText(const QString& text) {
  if (search_.SetText(text)) {
    invalidateFilter();
  }
}

bool RowSearchModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  return !search_.Active() || search_.Matches(*sourceModel(), sourceRow, sourceParent);
}

}  // namespace harlune
