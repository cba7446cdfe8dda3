#include "gui/widgets/list_rows.h"

#include <QHeaderView>
#include <QTableView>

namespace harlune {
namespace {

// Above and below the text, so that a selected row does not touch the next.
constexpr int kRowPadding = 4;

}  // namespace

int ListRowHeight(const QTableView& view) { return view.fontMetrics().height() + kRowPadding; }

void UseListRows(QTableView& view) {
  QHeaderView& rows = *view.verticalHeader();
  rows.hide();
  rows.setSectionResizeMode(QHeaderView::Fixed);
  rows.setDefaultSectionSize(ListRowHeight(view));
}

}  // namespace harlune
