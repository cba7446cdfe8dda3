#include "gui/models/htb_tree_model.h"

#include <QColor>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <utility>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

QIcon MakeAvailabilityIcon(bool available) {
  constexpr int kSize = 16;
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  if (available) {
    painter.setPen(QColor(0x2E7D32));
    painter.setBrush(QColor(0x43A047));
  } else {
    painter.setPen(QColor(0x757575));
    painter.setBrush(QColor(0xE0E0E0));
  }
  painter.drawEllipse(2, 2, kSize - 5, kSize - 5);
  if (!available) {
    painter.setPen(QPen(QColor(0xC62828), 2));
    painter.drawLine(4, kSize - 4, kSize - 4, 4);
  }
  painter.end();
  return QIcon(pixmap);
}

// Two items look alike when every drawn property matches.
bool SameLook(const HtbTreeItem& a, const HtbTreeItem& b) {
  return a.text == b.text && a.available == b.available && a.textRgb == b.textRgb &&
         a.backgroundRgb == b.backgroundRgb && a.note == b.note;
}

bool SameShape(const std::vector<HtbTreeItem>& a, const std::vector<HtbTreeItem>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || a[i].parentId != b[i].parentId || a[i].leaf != b[i].leaf) {
      return false;
    }
  }
  return true;
}

}  // namespace

QIcon HtbAvailabilityIcon(bool available) {
  static const QIcon on = MakeAvailabilityIcon(true);
  static const QIcon off = MakeAvailabilityIcon(false);
  return available ? on : off;
}

HtbTreeModel::HtbTreeModel(const HTB_Manager& manager, QObject* parent)
    : QAbstractItemModel(parent), manager_(manager) {
  SetItems(HtbTreeItems(manager_));
}

void HtbTreeModel::Rebuild() {
  beginResetModel();
  SetItems(HtbTreeItems(manager_));
  endResetModel();
}

bool HtbTreeModel::UpdateInPlace() {
  std::vector<HtbTreeItem> items = HtbTreeItems(manager_);
  std::vector<HtbTreeItem> current;
  current.reserve(nodes_.size());
  for (const Node& node : nodes_) {
    current.push_back(node.item);
  }
  if (!SameShape(current, items)) {
    return false;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!SameLook(nodes_[i].item, items[i])) {
      nodes_[i].item = std::move(items[i]);
      const QModelIndex changed = IndexOfNode(i);
      emit dataChanged(changed, changed);
    }
  }
  return true;
}

void HtbTreeModel::SetItems(std::vector<HtbTreeItem> items) {
  nodes_.clear();
  tops_.clear();
  nodes_.reserve(items.size());
  // The items come depth-first: an item's parent is the latest item one
  // level up. Identifiers play no part, since a settings file may hold any.
  std::vector<std::size_t> latestAtDepth;
  for (HtbTreeItem& item : items) {
    Node node;
    node.item = std::move(item);
    const std::size_t position = nodes_.size();
    const std::size_t depth = std::min(node.item.depth, latestAtDepth.size());
    if (depth > 0) {
      node.parent = latestAtDepth[depth - 1];
      node.row = static_cast<int>(nodes_[node.parent].children.size());
      nodes_[node.parent].children.push_back(position);
    } else {
      node.row = static_cast<int>(tops_.size());
      tops_.push_back(position);
    }
    latestAtDepth.resize(depth);
    latestAtDepth.push_back(position);
    nodes_.push_back(std::move(node));
  }
}

const HtbTreeModel::Node* HtbTreeModel::NodeOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || index.internalId() >= nodes_.size()) {
    return nullptr;
  }
  return &nodes_[index.internalId()];
}

QModelIndex HtbTreeModel::IndexOfNode(std::size_t position) const {
  return createIndex(nodes_[position].row, 0, static_cast<quintptr>(position));
}

const std::vector<std::size_t>& HtbTreeModel::ChildrenOf(const QModelIndex& parent) const {
  const Node* node = NodeOf(parent);
  return node != nullptr ? node->children : tops_;
}

QModelIndex HtbTreeModel::IndexOfClass(std::int32_t id) const {
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].item.id == id) {
      return IndexOfNode(i);
    }
  }
  return {};
}

std::optional<std::int32_t> HtbTreeModel::ClassIdOf(const QModelIndex& index) const {
  const Node* node = NodeOf(index);
  if (node == nullptr) {
    return std::nullopt;
  }
  return node->item.id;
}

bool HtbTreeModel::InBranchOf(std::size_t position, std::int32_t ancestorId) const {
  for (std::size_t at = position; at != kNoParent; at = nodes_[at].parent) {
    if (nodes_[at].item.id == ancestorId) {
      return true;
    }
  }
  return false;
}

QModelIndex HtbTreeModel::index(int row, int column, const QModelIndex& parent) const {
  const auto& children = ChildrenOf(parent);
  if (column != 0 || row < 0 || static_cast<std::size_t>(row) >= children.size() ||
      (parent.isValid() && NodeOf(parent) == nullptr)) {
    return {};
  }
  return IndexOfNode(children[static_cast<std::size_t>(row)]);
}

QModelIndex HtbTreeModel::parent(const QModelIndex& child) const {
  const Node* node = NodeOf(child);
  if (node == nullptr || node->parent == kNoParent) {
    return {};
  }
  return IndexOfNode(node->parent);
}

int HtbTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && (NodeOf(parent) == nullptr || parent.column() != 0)) {
    return 0;
  }
  return static_cast<int>(ChildrenOf(parent).size());
}

int HtbTreeModel::columnCount(const QModelIndex& /*parent*/) const { return 1; }

QVariant HtbTreeModel::data(const QModelIndex& index, int role) const {
  const Node* node = NodeOf(index);
  if (node == nullptr) {
    return {};
  }
  const HtbTreeItem& item = node->item;
  switch (role) {
    case Qt::DisplayRole:
      return ToQString(item.text);
    case Qt::DecorationRole:
      return HtbAvailabilityIcon(item.available);
    case Qt::ForegroundRole:
      return item.textRgb.has_value() ? QVariant(QColor(static_cast<QRgb>(*item.textRgb)))
                                      : QVariant();
    case Qt::BackgroundRole:
      return QColor(static_cast<QRgb>(item.backgroundRgb));
    case Qt::ToolTipRole:
      return item.note.empty() ? QVariant() : QVariant(ToQString(item.note));
    case kClassIdRole:
      return item.id;
    case kRootWithoutRateRole:
      return item.rootWithoutRate;
    default:
      return {};
  }
}

Qt::ItemFlags HtbTreeModel::flags(const QModelIndex& index) const {
  if (NodeOf(index) == nullptr) {
    return Qt::NoItemFlags;  // no drop beside the items
  }
  // Roots can be dragged too: the drop tells the user they cannot move.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
}

QStringList HtbTreeModel::mimeTypes() const { return {QString::fromLatin1(kHtbClassMimeType)}; }

QMimeData* HtbTreeModel::mimeData(const QModelIndexList& indexes) const {
  for (const QModelIndex& index : indexes) {
    if (const Node* node = NodeOf(index)) {
      auto* data = new QMimeData;
      data->setData(QString::fromLatin1(kHtbClassMimeType), QByteArray::number(node->item.id));
      return data;
    }
  }
  return nullptr;
}

Qt::DropActions HtbTreeModel::supportedDropActions() const { return Qt::MoveAction; }

Qt::DropActions HtbTreeModel::supportedDragActions() const { return Qt::MoveAction; }

bool HtbTreeModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row,
                                int /*column*/, const QModelIndex& parent) {
  const Node* target = NodeOf(parent);
  // Only a drop onto an item has a target; between items there is none.
  if (data == nullptr || action != Qt::MoveAction || target == nullptr || row != -1 ||
      !data->hasFormat(QString::fromLatin1(kHtbClassMimeType))) {
    return false;
  }
  bool ok = false;
  const int draggedId = data->data(QString::fromLatin1(kHtbClassMimeType)).toInt(&ok);
  if (!ok || IndexOfClass(draggedId) == QModelIndex() ||
      InBranchOf(static_cast<std::size_t>(parent.internalId()), draggedId)) {
    return false;  // onto itself or its own branch: refused without a word
  }
  return moveHandler_ && moveHandler_(draggedId, target->item.id);
}

}  // namespace harlune
