#pragma once

// The rows of the TCP connection page as Qt models. ConnectionModel holds the
// shown connections in key order and brings them up to date in place, row by
// row, so that a once-a-second refresh of thousands of connections never
// resets the view. ConnectionSortModel puts them in the order the user chose
// with the core's column comparison; ties keep key order, as the core's
// stable sort does, so rows do not swap places between refreshes. It also
// hides the rows that do not match the user's search text.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <cstddef>
#include <vector>

#include "core/monitor/connection_rows.h"
#include "gui/models/row_search.h"

namespace harlune {

class ConnectionModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ConnectionModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Takes the rows of a redraw, in key order (unsorted). Rows of connections
  // still shown are updated where they are, gone ones removed and new ones
  // inserted; `resolveHost` (RESOLVE_HOST) chooses the text of an unresolved
  // host name.
  void Update(std::vector<ConnectionRow> rows, bool resolveHost);

  // The copy of the record a row showed at the latest update.
  const ConnectionRow& RowAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }

 private:
  // Removes the rows of gone connections and inserts those of new ones, so
  // that the rows have the keys of `rows` in the same order.
  void Reshape(const std::vector<ConnectionRow>& rows);
  void RemoveRows(int first, int count);
  void InsertRows(int at, std::vector<ConnectionRow>::const_iterator from, int count);

  std::vector<ConnectionRow> rows_;
  bool resolveHost_ = true;
};

class ConnectionSortModel final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ConnectionSortModel(QObject* parent = nullptr);

  // Sorts as the core's order says; before the first header click the rows
  // stay in key order.
  void Apply(const ConnectionSortOrder& order);

  // The record of a row of this model.
  const ConnectionRow& RowAt(int row) const;

  // Shows only the rows with the text in a column; an empty text shows all
  // rows and compares none.
  void SetSearchText(const QString& text);
  const RowTextSearch& search() const { return search_; }

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  const ConnectionModel& Source() const;

  bool ascending_ = true;
  RowTextSearch search_;
};

}  // namespace harlune
