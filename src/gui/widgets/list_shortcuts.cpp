#include "gui/widgets/list_shortcuts.h"

#include <QAbstractItemView>
#include <QKeySequence>
#include <QLineEdit>
#include <QShortcut>
#include <QWidget>

#include "gui/widgets/clipboard.h"

namespace harlune {
namespace {

void Bind(QWidget& page, const QKeySequence& keys, const std::function<void()>& command,
          Qt::ShortcutContext context = Qt::WidgetWithChildrenShortcut) {
  if (!command) {
    return;
  }
  auto* shortcut = new QShortcut(keys, &page);
  shortcut->setContext(context);
  QObject::connect(shortcut, &QShortcut::activated, &page, command);
}

}  // namespace

void AddListShortcuts(QWidget& page, const ListCommands& commands) {
  Bind(page, QKeySequence(Qt::Key_Delete), commands.remove);
  // Return on the main keyboard, Enter on the keypad.
  Bind(page, QKeySequence(Qt::Key_Return), commands.edit);
  Bind(page, QKeySequence(Qt::Key_Enter), commands.edit);
  Bind(page, QKeySequence(Qt::CTRL | Qt::Key_N), commands.newItem);
  Bind(page, QKeySequence(Qt::Key_F5), commands.redraw);
}

void AddCopyAndSelectAll(QAbstractItemView& view) {
  Bind(
      view, QKeySequence::Copy, [&view] { CopySelectedRows(view); }, Qt::WidgetShortcut);
  Bind(
      view, QKeySequence::SelectAll, [&view] { view.selectAll(); }, Qt::WidgetShortcut);
}

void AddFindShortcut(QWidget& page, QLineEdit& searchBox) {
  Bind(page, QKeySequence::Find, [&searchBox] {
    searchBox.setFocus(Qt::ShortcutFocusReason);
    searchBox.selectAll();
  });
}

}  // namespace harlune
