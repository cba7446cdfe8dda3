#pragma once

// The keys a list page answers as a desktop user expects: Delete removes
// what is selected, Enter edits it, Ctrl+N makes a new one and F5 redraws,
// each through the same command as the page's button. They act while the
// focus is anywhere on the page, so two pages never compete for a key.

#include <functional>

class QWidget;

namespace harlune {

struct ListCommands {
  std::function<void()> newItem;
  std::function<void()> edit;
  std::function<void()> remove;
  std::function<void()> redraw;
};

void AddListShortcuts(QWidget& page, const ListCommands& commands);

}  // namespace harlune
