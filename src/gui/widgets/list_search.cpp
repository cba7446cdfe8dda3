#include "gui/widgets/list_search.h"

#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <vector>

namespace harlune {
namespace {

constexpr int kSearchBoxWidth = 200;

QModelIndex ToRows(const QModelIndex& index) {
  const auto* proxy = qobject_cast<const QAbstractProxyModel*>(index.model());
  return proxy != nullptr ? proxy->mapToSource(index) : index;
}

QModelIndex FromRows(const QAbstractItemModel& model, const QModelIndex& rowsIndex) {
  const auto* proxy = qobject_cast<const QAbstractProxyModel*>(&model);
  if (proxy != nullptr && rowsIndex.model() != &model) {
    return proxy->mapFromSource(rowsIndex);
  }
  return rowsIndex;
}

}  // namespace

QLineEdit* MakeSearchBox(QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setPlaceholderText(QStringLiteral("検索"));
  box->setClearButtonEnabled(true);
  box->setMaximumWidth(kSearchBoxWidth);
  return box;
}

void ShowModelKeepingSelection(QAbstractItemView& view, QAbstractItemModel& model) {
  if (view.model() == &model) {
    return;
  }
  std::vector<QPersistentModelIndex> selected;
  if (const QItemSelectionModel* old = view.selectionModel()) {
    for (const QModelIndex& row : old->selectedRows()) {
      selected.emplace_back(ToRows(row));
    }
  }
  const QPersistentModelIndex current(ToRows(view.currentIndex()));
  QItemSelectionModel* old = view.selectionModel();
  view.setModel(&model);
  // The view made a selection model of its own for `model` and does not
  // delete the one it had.
  delete old;

  QItemSelection selection;
  for (const QPersistentModelIndex& row : selected) {
    const QModelIndex shown = FromRows(model, row);
    if (shown.isValid()) {
      selection.select(shown, shown);
    }
  }
  QItemSelectionModel& now = *view.selectionModel();
  now.select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  const QModelIndex shownCurrent = FromRows(model, current);
  if (shownCurrent.isValid()) {
    now.setCurrentIndex(shownCurrent, QItemSelectionModel::NoUpdate);
  }
  ScrollToCurrent(view);
}

void ScrollToCurrent(QAbstractItemView& view) {
  const QModelIndex current = view.currentIndex();
  if (current.isValid()) {
    view.scrollTo(current);
  }
}

}  // namespace harlune
