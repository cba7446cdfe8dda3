#include "gui/widgets/clipboard.h"

#include <QAbstractItemView>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStringList>
#include <QTableView>
#include <QTreeView>
#include <algorithm>
#include <vector>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

const QHeaderView* ColumnHeader(const QAbstractItemView& view) {
  if (const auto* table = qobject_cast<const QTableView*>(&view)) {
    return table->horizontalHeader();
  }
  if (const auto* tree = qobject_cast<const QTreeView*>(&view)) {
    return tree->header();
  }
  return nullptr;
}

// The columns in the order shown, without hidden ones and those the user
// has narrowed to nothing; a view without a header shows its first column.
std::vector<int> ShownColumns(const QAbstractItemView& view) {
  const QHeaderView* header = ColumnHeader(view);
  if (header == nullptr) {
    return {0};
  }
  std::vector<int> columns;
  for (int visual = 0; visual < header->count(); ++visual) {
    const int logical = header->logicalIndex(visual);
    if (!header->isSectionHidden(logical) && header->sectionSize(logical) > 0) {
      columns.push_back(logical);
    }
  }
  return columns;
}

// The rows from the top item down to `index`: comparing these orders the
// rows of a tree as they are shown, and those of a table by row.
std::vector<int> RowPath(QModelIndex index) {
  std::vector<int> path;
  for (; index.isValid(); index = index.parent()) {
    path.push_back(index.row());
  }
  std::reverse(path.begin(), path.end());
  return path;
}

QString CellText(const QModelIndex& row, int column) {
  QString text = row.siblingAtColumn(column).data(Qt::DisplayRole).toString();
  for (QChar& character : text) {
    if (character == u'\t' || character == u'\n' || character == u'\r') {
      character = u' ';
    }
  }
  return text;
}

}  // namespace

bool CopyToClipboard(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) {
    return false;
  }
  clipboard->setText(ToQString(text));
  return true;
}

QString RowsText(const QAbstractItemView& view, QModelIndexList rows) {
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return RowPath(a) < RowPath(b); });
  const std::vector<int> columns = ShownColumns(view);
  QStringList lines;
  for (const QModelIndex& row : rows) {
    QStringList cells;
    for (const int column : columns) {
      cells.append(CellText(row, column));
    }
    lines.append(cells.join(u'\t'));
  }
  return lines.join(u'\n');
}

bool CopySelectedRows(const QAbstractItemView& view) {
  const QItemSelectionModel* selection = view.selectionModel();
  if (selection == nullptr) {
    return false;
  }
  const QModelIndexList rows = selection->selectedRows();
  if (rows.isEmpty()) {
    return false;
  }
  return CopyToClipboard(ToUtf8(RowsText(view, rows)));
}

}  // namespace harlune
