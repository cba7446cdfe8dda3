#pragma once

// The rows of the program's lists: one line of text high, the same in every
// list, with no row header.

class QAbstractItemView;
class QTableView;
class QTreeView;

namespace harlune {

// The height of a row of the view: one line of its font and a little room.
int ListRowHeight(const QAbstractItemView& view);
// Hides the row header and fixes every row at ListRowHeight(), so that the
// rows are never measured one by one.
void UseListRows(QTableView& view);
// The same rows in a tree: every item ListRowHeight() high.
void UseListRows(QTreeView& view);

}  // namespace harlune
