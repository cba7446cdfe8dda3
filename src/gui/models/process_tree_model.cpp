#include "gui/models/process_tree_model.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

#include "gui/base/qt_text.h"

namespace harlune {

// A process row; the address of its node is the internal pointer of its
// connection rows, so that they find their parent wherever it moves.
struct ProcessTreeModel::GroupNode {
  ProcessGroup group;
  int row = 0;
};

namespace {

constexpr int kColumnCount = static_cast<int>(kProcessColumnCount);

// Brings `old` to the entries of `fresh`, both in the same strict order
// `less`: each run of old entries missing from `fresh` goes to remove(at,
// count), each run of new ones to insert(at, index in fresh, count); both
// change `old`. Runs keep a refresh of many connections to a few signals.
template <typename Old, typename Fresh, typename Less, typename Remove, typename Insert>
void ReshapeRuns(const std::vector<Old>& old, const std::vector<Fresh>& fresh, Less less,
                 Remove remove, Insert insert) {
  std::size_t at = 0;
  std::size_t next = 0;
  while (at < old.size() || next < fresh.size()) {
    if (next == fresh.size() || (at < old.size() && less(old[at], fresh[next]))) {
      std::size_t gone = at + 1;
      while (gone < old.size() && (next == fresh.size() || less(old[gone], fresh[next]))) {
        ++gone;
      }
      remove(at, gone - at);
    } else if (at == old.size() || less(fresh[next], old[at])) {
      std::size_t end = next + 1;
      while (end < fresh.size() && (at == old.size() || less(fresh[end], old[at]))) {
        ++end;
      }
      insert(at, next, end - next);
      at += end - next;
      next = end;
    } else {
      ++at;
      ++next;
    }
  }
}

// The natural order of processes, between kept nodes and fresh groups.
struct GroupOrder {
  static const ProcessGroup& Of(const ProcessGroup& group) { return group; }
  template <typename Node>
  static const ProcessGroup& Of(const std::unique_ptr<Node>& node) {
    return node->group;
  }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return ProcessGroupLess(Of(a), Of(b));
  }
};

struct ConnectionKeyOrder {
  bool operator()(const ConnectionRow& a, const ConnectionRow& b) const {
    return ConnectionKeyLess{}(KeyOf(a.connection), KeyOf(b.connection));
  }
};

bool SameTotals(const ProcessGroup& a, const ProcessGroup& b) {
  return a.upBandwidth == b.upBandwidth && a.downBandwidth == b.downBandwidth &&
         a.upTotal == b.upTotal && a.downTotal == b.downTotal;
}

QVariant AlignmentOf(int column) {
  const bool right = ProcessColumnOf(column).alignRight;
  return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
}

}  // namespace

ProcessTreeModel::ProcessTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

ProcessTreeModel::~ProcessTreeModel() = default;

ProcessTreeModel::GroupNode* ProcessTreeModel::NodeAbove(const QModelIndex& index) const {
  return static_cast<GroupNode*>(index.internalPointer());
}

QModelIndex ProcessTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (!hasIndex(row, column, parent)) {
    return {};
  }
  if (!parent.isValid()) {
    return createIndex(row, column, nullptr);
  }
  return createIndex(row, column, groups_[static_cast<std::size_t>(parent.row())].get());
}

QModelIndex ProcessTreeModel::parent(const QModelIndex& child) const {
  const GroupNode* node = child.isValid() ? NodeAbove(child) : nullptr;
  return node == nullptr ? QModelIndex{} : createIndex(node->row, 0, nullptr);
}

int ProcessTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) {
    return static_cast<int>(groups_.size());
  }
  if (NodeAbove(parent) != nullptr || parent.column() != 0) {
    return 0;  // connections have no rows below them
  }
  return static_cast<int>(
      groups_[static_cast<std::size_t>(parent.row())]->group.connections.size());
}

int ProcessTreeModel::columnCount(const QModelIndex&) const { return kColumnCount; }

QVariant ProcessTreeModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid)) {
    return {};
  }
  if (role == Qt::TextAlignmentRole) {
    return AlignmentOf(index.column());
  }
  if (role != Qt::DisplayRole) {
    return {};
  }
  if (const ConnectionRow* row = ConnectionOf(index)) {
    return ToQString(ProcessConnectionCellText(*row, index.column(), resolveHost_));
  }
  return ToQString(ProcessGroupCellText(GroupOf(index), index.column()));
}

QVariant ProcessTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return ToQString(ProcessColumnOf(section).header);
  }
  return role == Qt::TextAlignmentRole ? AlignmentOf(section) : QVariant{};
}

const ProcessGroup& ProcessTreeModel::GroupOf(const QModelIndex& index) const {
  const GroupNode* above = NodeAbove(index);
  return above != nullptr ? above->group : groups_[static_cast<std::size_t>(index.row())]->group;
}

const ConnectionRow* ProcessTreeModel::ConnectionOf(const QModelIndex& index) const {
  const GroupNode* above = NodeAbove(index);
  return above == nullptr ? nullptr
                          : &above->group.connections[static_cast<std::size_t>(index.row())];
}

void ProcessTreeModel::Update(const std::vector<ProcessGroup>& groups, bool resolveHost) {
  // Processes come and go first, then the kept ones take their new
  // connections and sums; the changed process rows are announced as one
  // range, as the connections of each process are.
  ReshapeRuns(
      groups_, groups, GroupOrder{},
      [this](std::size_t at, std::size_t count) { RemoveGroups(at, count); },
      [this, &groups](std::size_t at, std::size_t from, std::size_t count) {
        InsertGroups(at, &groups[from], count);
      });
  const bool textsChanged = resolveHost != resolveHost_;
  resolveHost_ = resolveHost;
  int first = -1;
  int last = -1;
  for (std::size_t at = 0; at < groups_.size(); ++at) {
    if (UpdateGroup(*groups_[at], groups[at], textsChanged)) {
      first = first < 0 ? static_cast<int>(at) : first;
      last = static_cast<int>(at);
    }
  }
  if (first >= 0) {
    emit dataChanged(index(first, 0), index(last, kColumnCount - 1), {Qt::DisplayRole});
  }
}

void ProcessTreeModel::RemoveGroups(std::size_t first, std::size_t count) {
  const auto begin = groups_.begin() + static_cast<std::ptrdiff_t>(first);
  const auto end = begin + static_cast<std::ptrdiff_t>(count);
  beginRemoveRows({}, static_cast<int>(first), static_cast<int>(first + count - 1));
  // The nodes live until the views have let go of their connection rows.
  std::vector<std::unique_ptr<GroupNode>> gone(std::make_move_iterator(begin),
                                               std::make_move_iterator(end));
  groups_.erase(begin, end);
  Renumber();
  endRemoveRows();
}

void ProcessTreeModel::InsertGroups(std::size_t at, const ProcessGroup* from, std::size_t count) {
  beginInsertRows({}, static_cast<int>(at), static_cast<int>(at + count - 1));
  std::vector<std::unique_ptr<GroupNode>> added;
  added.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    added.push_back(std::make_unique<GroupNode>(GroupNode{from[i], 0}));
  }
  groups_.insert(groups_.begin() + static_cast<std::ptrdiff_t>(at),
                 std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  Renumber();
  endInsertRows();
}

void ProcessTreeModel::Renumber() {
  for (std::size_t at = 0; at < groups_.size(); ++at) {
    groups_[at]->row = static_cast<int>(at);
  }
}

bool ProcessTreeModel::UpdateGroup(GroupNode& node, const ProcessGroup& fresh, bool textsChanged) {
  const std::size_t countBefore = node.group.connections.size();
  UpdateConnections(node, fresh.connections, textsChanged);
  if (SameTotals(node.group, fresh) && countBefore == node.group.connections.size()) {
    return false;
  }
  node.group.upBandwidth = fresh.upBandwidth;
  node.group.downBandwidth = fresh.downBandwidth;
  node.group.upTotal = fresh.upTotal;
  node.group.downTotal = fresh.downTotal;
  return true;
}

void ProcessTreeModel::UpdateConnections(GroupNode& node, const std::vector<ConnectionRow>& fresh,
                                         bool textsChanged) {
  std::vector<ConnectionRow>& rows = node.group.connections;
  const QModelIndex parent = index(node.row, 0);
  ReshapeRuns(
      rows, fresh, ConnectionKeyOrder{},
      [&](std::size_t at, std::size_t count) {
        beginRemoveRows(parent, static_cast<int>(at), static_cast<int>(at + count - 1));
        const auto begin = rows.begin() + static_cast<std::ptrdiff_t>(at);
        rows.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
        endRemoveRows();
      },
      [&](std::size_t at, std::size_t from, std::size_t count) {
        beginInsertRows(parent, static_cast<int>(at), static_cast<int>(at + count - 1));
        const auto source = fresh.begin() + static_cast<std::ptrdiff_t>(from);
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), source,
                    source + static_cast<std::ptrdiff_t>(count));
        endInsertRows();
      });
  int first = textsChanged && !rows.empty() ? 0 : -1;
  int last = textsChanged ? static_cast<int>(rows.size()) - 1 : -1;
  for (std::size_t at = 0; at < rows.size(); ++at) {
    if (!(rows[at] == fresh[at])) {
      rows[at] = fresh[at];
      first = first < 0 ? static_cast<int>(at) : first;
      last = std::max(last, static_cast<int>(at));
    }
  }
  if (first >= 0) {
    emit dataChanged(index(first, 0, parent), index(last, kColumnCount - 1, parent),
                     {Qt::DisplayRole});
  }
}

ProcessSortModel::ProcessSortModel(QObject* parent) : QSortFilterProxyModel(parent) {
  setDynamicSortFilter(true);
}

void ProcessSortModel::Apply(const ConnectionSortOrder& order) {
  ascending_ = order.Ascending();
  sort(order.Column(), ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

const ProcessGroup& ProcessSortModel::GroupOf(const QModelIndex& index) const {
  return Source().GroupOf(mapToSource(index));
}

const ConnectionRow* ProcessSortModel::ConnectionOf(const QModelIndex& index) const {
  return Source().ConnectionOf(mapToSource(index));
}

bool ProcessSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const ConnectionRow* a = Source().ConnectionOf(left);
  const ConnectionRow* b = Source().ConnectionOf(right);
  const int order =
      a != nullptr && b != nullptr
          ? CompareProcessConnections(*a, *b, sortColumn())
          : CompareProcessGroups(Source().GroupOf(left), Source().GroupOf(right), sortColumn());
  if (order != 0) {
    return order < 0;
  }
  // Qt sorts descending by asking with the operands swapped; the tie-break
  // turns with it so that equal rows keep the natural order both ways.
  return ascending_ ? left.row() < right.row() : left.row() > right.row();
}

const ProcessTreeModel& ProcessSortModel::Source() const {
  return static_cast<const ProcessTreeModel&>(*sourceModel());
}

}  // namespace harlune
