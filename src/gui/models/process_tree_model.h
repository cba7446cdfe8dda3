#pragma once

// The connection page's process view as Qt models. ProcessTreeModel shows
// the core's process groups, in their natural order, with each group's
// connections below it in key order, and brings them up to date in place
// each refresh: a process or a connection that stays keeps its row, so the
// view keeps what is expanded and selected. ProcessSortModel puts processes,
// and the connections of each, in the order the user chose with the core's
// column comparisons; ties keep the natural order.

#include <QAbstractItemModel>
#include <QSortFilterProxyModel>
#include <memory>
#include <vector>

#include "core/monitor/connection_rows.h"
#include "core/monitor/process_groups.h"

namespace harlune {

class ProcessTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  explicit ProcessTreeModel(QObject* parent = nullptr);
  ~ProcessTreeModel() override;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Takes the groups of a redraw in natural order (GroupByProcess);
  // `resolveHost` (RESOLVE_HOST) chooses the text of an unresolved host.
  void Update(const std::vector<ProcessGroup>& groups, bool resolveHost);

  // The group of a process row, or of the process above a connection row.
  const ProcessGroup& GroupOf(const QModelIndex& index) const;
  // The connection of a connection row; null for a process row.
  const ConnectionRow* ConnectionOf(const QModelIndex& index) const;

 private:
  struct GroupNode;

  GroupNode* NodeAbove(const QModelIndex& index) const;
  void RemoveGroups(std::size_t first, std::size_t count);
  void InsertGroups(std::size_t at, const ProcessGroup* from, std::size_t count);
  void Renumber();
  bool UpdateGroup(GroupNode& node, const ProcessGroup& fresh, bool textsChanged);
  void UpdateConnections(GroupNode& node, const std::vector<ConnectionRow>& fresh,
                         bool textsChanged);

  std::vector<std::unique_ptr<GroupNode>> groups_;
  bool resolveHost_ = true;
};

class ProcessSortModel final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ProcessSortModel(QObject* parent = nullptr);

  // Sorts as the order says (its columns are ProcessColumn's); before the
  // first header click the rows stay in natural order.
  void Apply(const ConnectionSortOrder& order);

  const ProcessGroup& GroupOf(const QModelIndex& index) const;
  const ConnectionRow* ConnectionOf(const QModelIndex& index) const;

 protected:
  bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

 private:
  const ProcessTreeModel& Source() const;

  bool ascending_ = true;
};

}  // namespace harlune
