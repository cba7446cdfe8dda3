#include "gui/widgets/list_rows.h"

#include <QHeaderView>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTreeView>

namespace harlune {
namespace {

// Above and below the text, so that a selected row does not touch the next.
constexpr int kRowPadding = 4;

// A tree has no row header to fix the heights with: its items say theirs.
class ListRowDelegate final : public QStyledItemDelegate {
 public:
  explicit ListRowDelegate(QTreeView& view) : QStyledItemDelegate(&view), view_(view) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(ListRowHeight(view_));
    return size;
  }

 private:
  const QTreeView& view_;
};

}  // namespace

int ListRowHeight(const QAbstractItemView& view) {
  return view.fontMetrics().height() + kRowPadding;
}

void UseListRows(QTableView& view) {
  QHeaderView& rows = *view.verticalHeader();
  rows.hide();
  rows.setSectionResizeMode(QHeaderView::Fixed);
  rows.setDefaultSectionSize(ListRowHeight(view));
}

void UseListRows(QTreeView& view) {
  view.setUniformRowHeights(true);
  view.setItemDelegate(new ListRowDelegate(view));
}

}  // namespace harlune
