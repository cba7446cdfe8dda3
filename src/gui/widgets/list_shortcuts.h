#pragma once

// The keys a list page answers as a desktop user expects: Delete removes
// what is selected, Enter edits it, Ctrl+N makes a new one and F5 redraws,
// each through the same command as the page's button. They act while the
// focus is anywhere on the page, so two pages never compete for a key.
//
// The standard keys of a list view act while the view has the focus, so a
// text box on the same page keeps them for its own text: Copy puts the
// selected rows on the clipboard as text (see RowsText), SelectAll selects
// every row where several rows can be selected. Find takes the focus, from
// anywhere on the page, to the page's search box.

#include <functional>

class QAbstractItemView;
class QLineEdit;
class QWidget;

namespace harlune {

struct ListCommands {
  std::function<void()> newItem;
  std::function<void()> edit;
  std::function<void()> remove;
  std::function<void()> redraw;
};

void AddListShortcuts(QWidget& page, const ListCommands& commands);

void AddCopyAndSelectAll(QAbstractItemView& view);
void AddFindShortcut(QWidget& page, QLineEdit& searchBox);

}  // namespace harlune
