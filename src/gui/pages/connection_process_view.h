#pragma once

// The connection page's view by process: a tree of the processes that own
// the shown connections, with their summed rates and totals, each holding
// its connections. A header click sorts, a second click the other way; the
// right-click menu makes filters from the process (and, on a connection,
// from its addresses) through the page's own commands.

#include <QModelIndex>
#include <QWidget>
#include <functional>
#include <vector>

#include "core/monitor/connection_rows.h"

class QAction;
class QMenu;
class QTreeView;

namespace harlune {

class ProcessSortModel;
class ProcessTreeModel;

class ConnectionProcessView final : public QWidget {
  Q_OBJECT

 public:
  // Shows a menu and returns the chosen action, null when none was chosen.
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;
  // A menu command on a copy of a connection row.
  using RowCommand = std::function<void(const ConnectionRow& row)>;

  explicit ConnectionProcessView(QWidget* parent = nullptr);

  // The rows of a redraw, in key order, grouped and shown in place.
  void Update(std::vector<ConnectionRow> rows, bool resolveHost);

  void ClickHeader(int column);

  // The menu on the selected row; nothing without a selection.
  void ShowContextMenu(const QPoint& globalPos);

  void SetMenuRunner(MenuRunner runner) { runMenu_ = std::move(runner); }
  void SetFilterCommands(RowCommand fromAddresses, RowCommand fromProcess);

  QTreeView* tree() const { return tree_; }
  const ProcessSortModel& rows() const { return *sorted_; }

 private:
  void MakeTree();
  // The selected row, invalid without one.
  QModelIndex MenuIndex() const;

  ProcessTreeModel* model_ = nullptr;
  ProcessSortModel* sorted_ = nullptr;
  QTreeView* tree_ = nullptr;
  ConnectionSortOrder order_;
  MenuRunner runMenu_;
  RowCommand fromAddresses_;
  RowCommand fromProcess_;
};

}  // namespace harlune
