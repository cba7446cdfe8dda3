#include "gui/widgets/droppable_edit.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace harlune {

DroppableEdit::DroppableEdit(QWidget* parent) : QLineEdit(parent) { setAcceptDrops(true); }

QString DroppableEdit::PathOfDrop(const QList<QUrl>& urls) {
  for (const QUrl& url : urls) {
    if (url.isLocalFile()) {
      return url.toLocalFile();
    }
  }
  return {};
}

void DroppableEdit::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && !PathOfDrop(event->mimeData()->urls()).isEmpty()) {
    event->acceptProposedAction();
    return;
  }
  QLineEdit::dragEnterEvent(event);
}

void DroppableEdit::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) {
    event->acceptProposedAction();
    return;
  }
  QLineEdit::dragMoveEvent(event);
}

void DroppableEdit::dropEvent(QDropEvent* event) {
  const QString path =
      event->mimeData()->hasUrls() ? PathOfDrop(event->mimeData()->urls()) : QString();
  if (path.isEmpty()) {
    QLineEdit::dropEvent(event);
    return;
  }
  setText(path);
  event->acceptProposedAction();
}

}  // namespace harlune
