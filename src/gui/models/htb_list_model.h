#pragma once

// The HTB page's class list: one row per class with the ten columns of the
// core's rows (HtbListRows). A redraw changes the rows in place, telling
// the view only about the cells that changed, and removes surplus rows, so
// the selection and the scroll position stay.

#include <QAbstractTableModel>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/htb/htb_rows.h"

namespace harlune {

class HtbListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The class ID of a row (int).
  static constexpr int kClassIdRole = Qt::UserRole + 1;
  // Whether the row is a root without a rate (bool).
  static constexpr int kRootWithoutRateRole = Qt::UserRole + 2;

  explicit HtbListModel(QObject* parent = nullptr);

  void Update(std::vector<HtbListRow> rows);

  std::optional<std::int32_t> ClassIdAt(int row) const;
  // The row of the class, or -1.
  int RowOfClass(std::int32_t id) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  // Replaces the row and tells the view which of its cells changed.
  void ReplaceRow(int row, HtbListRow next);

  std::vector<HtbListRow> rows_;
};

}  // namespace harlune
