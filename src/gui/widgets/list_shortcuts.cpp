#include "gui/widgets/list_shortcuts.h"

#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace harlune {
namespace {

void Bind(QWidget& page, const QKeySequence& keys, const std::function<void()>& command) {
  if (!command) {
    return;
  }
  auto* shortcut = new QShortcut(keys, &page);
  shortcut->setContext(Qt::WidgetWithChildrenShortcut);
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

}  // namespace harlune
