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
  return AnyCellContains(model.columnCount(parent), [&](int column) {
    return model.index(row, column, parent).data(Qt::DisplayRole).toString();
  });
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
