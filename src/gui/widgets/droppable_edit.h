#pragma once

// A line edit that takes the path of the first local file dropped on it as
// its text (host list files, programs).

#include <QLineEdit>

namespace harlune {

class DroppableEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit DroppableEdit(QWidget* parent = nullptr);

  // The text a drop of these URLs gives: the first local file's path, or
  // nothing when no URL names a local file.
  static QString PathOfDrop(const QList<QUrl>& urls);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

}  // namespace harlune
