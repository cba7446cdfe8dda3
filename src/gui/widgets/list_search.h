#pragma once

// The search box of a list page and the care of the selection while a
// search changes which rows a view shows. A view shows either a model of
// its own rows or a proxy of them (one level deep); the selection is carried
// across in terms of those rows.

class QAbstractItemModel;
class QAbstractItemView;
class QLineEdit;
class QWidget;

namespace harlune {

// A line edit with a clear button and the hint "検索".
QLineEdit* MakeSearchBox(QWidget* parent = nullptr);

// Lets the view show `model` instead of its present model, both over the
// same rows: the selected rows that `model` shows stay selected, the
// current row stays current and is scrolled into view.
void ShowModelKeepingSelection(QAbstractItemView& view, QAbstractItemModel& model);

// Scrolls the current row into view, as after the shown rows changed.
void ScrollToCurrent(QAbstractItemView& view);

}  // namespace harlune
