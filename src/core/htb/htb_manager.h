#pragma once

// HTB_Manager: the send tree and the receive tree, with the operations the
// HTB page and the settings file use on them. Identifiers are unique over
// both trees; the roots are 0 (send) and 1 (receive).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/htb/htb_class.h"
#include "core/htb/htb_tree.h"

namespace harlune {

inline constexpr std::string_view kSendRootText = "送信ルート";
inline constexpr std::string_view kReceiveRootText = "受信ルート";

class HTB_Manager {
 public:
  static constexpr std::int32_t kSendRootID = 0;
  static constexpr std::int32_t kReceiveRootID = 1;
  static constexpr std::size_t kMaxClasses = 512;  // identifiers 0..511

  HTB_Manager();
  HTB_Manager(const HTB_Manager&) = delete;
  HTB_Manager& operator=(const HTB_Manager&) = delete;

  HTB_Tree& SendTree() { return send_; }
  const HTB_Tree& SendTree() const { return send_; }
  HTB_Tree& ReceiveTree() { return receive_; }
  const HTB_Tree& ReceiveTree() const { return receive_; }

  // Whether the class is the root of one of the two trees.
  bool IsRoot(const HTB_Class& cls) const;

  // The smallest identifier in 0..511 that no class of either tree holds,
  // or -1 when all are taken.
  std::int32_t FreeIdentifier() const;
  // How many identifiers in 0..511 no class holds.
  std::size_t FreeIdentifierCount() const;

  // The class with that ID in the send tree, else in the receive tree.
  std::shared_ptr<HTB_Class> Find(std::int32_t id) const;

  // Places a class that is in no tree under the class parentId. A class
  // with ID -1 first gets the free identifier. Refused (false, the class
  // unchanged) for an unknown or leaf parent, a root, a class that already
  // has a parent, an identifier some class already holds, or when no
  // identifier is free.
  bool Add(std::int32_t parentId, std::shared_ptr<HTB_Class> cls);

  // Adds a copy of an inner or leaf template under parentId; a leaf copy
  // is first linked to its filter. Returns the placed copy, or nullptr.
  std::shared_ptr<HTB_Class> AddCopy(const HTB_Class& classTemplate, std::int32_t parentId,
                                     const FilterLookup& filters);

  // Moves the class with its subtree to the end of newParentId's children;
  // identifiers and filter links stay. Refused (false, nothing changed) for
  // unknown classes, a root, a leaf as the new parent, and a new parent that
  // is the class itself or one of its descendants.
  bool Move(std::int32_t id, std::int32_t newParentId);

  // Places a clone of the class and its subtree beside it, at the end of
  // the same parent's children, with fresh identifiers given parents before
  // children. Returns the copy; nullptr for an unknown class, a root, or
  // when too few identifiers are free for the whole copy.
  std::shared_ptr<HTB_Class> Duplicate(std::int32_t id);

  // Removes the class with its subtree; every filter a leaf of the subtree
  // drives gets its own rate back first. Refused for a root or unknown ID.
  bool Remove(std::int32_t id, FilterRateRestorer& restorer);

  // The class with that ID followed by all its descendants, depth-first in
  // child order; empty for an unknown ID.
  std::vector<std::shared_ptr<HTB_Class>> List(std::int32_t id) const;

  // Every leaf of the send tree, then of the receive tree, that drives the
  // filter.
  std::vector<std::shared_ptr<HTB_LeafClass>> LeavesOfFilter(std::int32_t filterId) const;

  // Points every leaf of both trees at its filter's record.
  void LinkFilters(const FilterLookup& filters);

  // Derives the rates given as percentages of the parent's, top-down over
  // both trees; the roots keep their rates. Run at the start of every tick.
  void DeriveRates();

 private:
  using Marks = std::array<bool, kMaxClasses>;

  Marks MarkedIdentifiers() const;

  HTB_Tree send_;
  HTB_Tree receive_;
};

}  // namespace harlune
