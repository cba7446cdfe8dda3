#pragma once

// Puts a text on the clipboard as plain text; an empty text changes nothing.
// Returns whether the text went to the clipboard.
//
// The rows of a list go to the clipboard as a spreadsheet takes them: one
// line per selected row, top row first, the cells of the columns the user
// sees in the order they are shown, separated by tabs.

#include <QModelIndexList>
#include <QString>
#include <string_view>

class QAbstractItemView;

namespace harlune {

bool CopyToClipboard(std::string_view text);

// The text of `rows` (indexes of the view's model, any column) as above.
// A tab or line break inside a cell becomes a blank, so that every cell
// stays in its place.
QString RowsText(const QAbstractItemView& view, QModelIndexList rows);

// Copies the view's selected rows; false when none is selected.
bool CopySelectedRows(const QAbstractItemView& view);

}  // namespace harlune
