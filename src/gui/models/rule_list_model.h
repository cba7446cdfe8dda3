#pragma once

// The connection control rules as a Qt table: the page's eight columns with
// the texts of the core's rule rows, and the available / not available image
// in the first column. A rule whose disconnections fail is drawn in red on
// a light red ground, with the core's note as every cell's tool tip.

#include <QAbstractTableModel>
#include <QColor>
#include <QIcon>

#include "core/control/connection_rule_rows.h"

namespace harlune {

class RuleListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The icons are the first column's images (available, not available).
  RuleListModel(const ConnectionRuleRows& rules, QIcon available, QIcon unavailable,
                QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Brings the rows up to the rules after a command: rows added or removed at
  // the end, every shown cell redrawn (positions and texts may all move).
  void Refresh();

  // The colours of a rule whose disconnections fail.
  static QColor FailingText();
  static QColor FailingBackground();

 private:
  const ConnectionRuleRows& rules_;
  QIcon available_;
  QIcon unavailable_;
  int shownRows_ = 0;
};

}  // namespace harlune
