#pragma once

// The search of a list: a row matches when the shown text of any of its
// columns contains the search text, whatever the case (Qt's case folding,
// which covers Japanese and ASCII text alike). RowSearchModel hides the rows
// that do not match; models that already filter or sort for other reasons
// hold a RowTextSearch of their own.

#include <QSortFilterProxyModel>
#include <QString>
#include <cstddef>

namespace harlune {

class RowTextSearch {
 public:
  // What is searched for when `typed` is typed: blanks around the text are
  // not, so a text of blanks alone is no search at all.
  static QString Searched(const QString& typed) { return typed.trimmed(); }

  // Returns whether the searched text changed.
  bool SetText(const QString& text);
  const QString& Text() const { return text_; }
  // Whether rows are to be compared at all.
  bool Active() const { return !text_.isEmpty(); }

  // Whether a cell's text holds the searched text.
  bool Contains(const QString& cell) const { return cell.contains(text_, Qt::CaseInsensitive); }
  // Whether any of `columns` cells, whose texts `cellText(column)` gives,
  // holds the searched text: the rule for rows of a model and rows that no
  // model shows alike.
  template <class CellText>
  bool AnyCellContains(int columns, const CellText& cellText) const {
    for (int column = 0; column < columns; ++column) {
      if (Contains(cellText(column))) {
        return true;
      }
    }
    return false;
  }
  // Whether row `row` under `parent` of `model` shows the text in a column.
  bool Matches(const QAbstractItemModel& model, int row, const QModelIndex& parent) const;

  // How many rows have been compared so far; what a refresh cost is seen
  // in how far this moves.
  std::size_t ComparedRows() const { return compared_; }

 private:
  QString text_;
  mutable std::size_t compared_ = 0;
};

// Shows the rows of its source that match the search text, in the source's
// order. A row added to or changed in the source is compared on its own, so
// a refresh costs only its new and changed rows.
class RowSearchModel final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit RowSearchModel(QObject* parent = nullptr);

  void SetText(const QString& text);
  const RowTextSearch& search() const { return search_; }

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  RowTextSearch search_;
};

}  // namespace harlune
