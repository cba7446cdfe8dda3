#pragma once

// The HTB page's class tree: the send root and the receive root with their
// classes below them, as the core lays them out (HtbTreeItems). A class can
// be dragged onto another class; the model refuses silently a drop with no
// target, onto the class itself or onto one of its own descendants, and
// hands every other drop to the move handler, which applies the tree's
// rules and tells the user when it refuses.

#include <QAbstractItemModel>
#include <QIcon>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/htb/htb_manager.h"
#include "core/htb/htb_rows.h"

namespace harlune {

// The icon of a class by its Available flag, shared by the tree and the list.
QIcon HtbAvailabilityIcon(bool available);

// The MIME type of a dragged class: its ID as decimal text.
inline constexpr char kHtbClassMimeType[] = "application/x-harlune-htb-class";

class HtbTreeModel : public QAbstractItemModel {
  Q_OBJECT

 public:
  // The class ID of an item (int).
  static constexpr int kClassIdRole = Qt::UserRole + 1;
  // Whether the item is a root without a rate (bool).
  static constexpr int kRootWithoutRateRole = Qt::UserRole + 2;

  // Moves the class onto the new parent; returns whether it moved.
  using MoveHandler = std::function<bool(std::int32_t id, std::int32_t newParentId)>;

  explicit HtbTreeModel(const HTB_Manager& manager, QObject* parent = nullptr);

  void SetMoveHandler(MoveHandler handler) { moveHandler_ = std::move(handler); }

  // Builds the items anew from the trees (a model reset).
  void Rebuild();
  // Takes over the texts, icons and colours of the classes when the trees
  // still have the same shape, changing only the items that differ; returns
  // false, changing nothing, when the shape differs and a Rebuild is due.
  bool UpdateInPlace();

  QModelIndex IndexOfClass(std::int32_t id) const;
  std::optional<std::int32_t> ClassIdOf(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  Qt::DropActions supportedDropActions() const override;
  Qt::DropActions supportedDragActions() const override;
  bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                    const QModelIndex& parent) override;

 private:
  static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

  struct Node {
    HtbTreeItem item;
    std::size_t parent = kNoParent;  // position in nodes_
    int row = 0;                     // position among its parent's children
    std::vector<std::size_t> children;
  };

  void SetItems(std::vector<HtbTreeItem> items);
  const Node* NodeOf(const QModelIndex& index) const;
  QModelIndex IndexOfNode(std::size_t position) const;
  const std::vector<std::size_t>& ChildrenOf(const QModelIndex& parent) const;
  // Whether the item lies inside the branch of the class (itself included).
  bool InBranchOf(std::size_t position, std::int32_t ancestorId) const;

  const HTB_Manager& manager_;
  MoveHandler moveHandler_;
  std::vector<Node> nodes_;        // depth-first, as HtbTreeItems gives them
  std::vector<std::size_t> tops_;  // the two roots
};

}  // namespace harlune
