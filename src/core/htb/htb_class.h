#pragma once

// The classes of an HTB tree. Inner classes group other classes; a leaf
// stands for one filter, whose driver-side rate the HTB rewrites on every
// statistics tick. A parent owns its children through shared pointers, and
// every list built from a tree holds shared pointers too, so a class taken
// out of its tree stays valid while such a list still holds it. The pointer
// back to the parent does not own it and is cleared when the class leaves
// its parent or the parent is destroyed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/filter/packet_filter_setting.h"

namespace harlune {

class HTB_LeafClass;

inline constexpr std::string_view kNewClassName = "NewClass";

// Gives a filter back the rate of its own token-bucket class when a leaf
// that drove it leaves the tree. The filtering session implements it.
class FilterRateRestorer {
 public:
  virtual ~FilterRateRestorer() = default;
  virtual void RestoreOwnRate(PacketFilterSetting& filter) = 0;
};

// The record of the filter list with that ID, or nullptr when there is none.
using FilterLookup = std::function<PacketFilterSetting*(std::int32_t id)>;

class HTB_Class {
 public:
  HTB_Class() = default;
  HTB_Class& operator=(const HTB_Class&) = delete;
  virtual ~HTB_Class();

  // A copy that is not yet in any tree: ID -1, no parent, and for an inner
  // class a clone of every child in order.
  virtual std::shared_ptr<HTB_Class> Clone() const = 0;

  // Appends the class to the first class, this one or a descendant in
  // depth-first order, whose ID is parentId and which takes children.
  // Returns whether the class was placed.
  virtual bool AddUnder(std::int32_t parentId, std::shared_ptr<HTB_Class> child);

  // Removes the first descendant with that ID, depth-first, together with its
  // subtree. Every leaf of the removed subtree that drives a filter gives the
  // filter back its own rate before the subtree leaves the tree. Returns
  // whether a class was removed.
  virtual bool Remove(std::int32_t id, FilterRateRestorer& restorer);

  // Sets marks[ID] for this class and its descendants. IDs outside the span
  // (-1 included) mark nothing; the children of such a class are still
  // visited so that their identifiers are never handed out twice.
  virtual void MarkIdentifiers(std::span<bool> marks) const;

  // Makes this class the child's parent and appends it. Refused by a leaf,
  // and for a child that already has a parent or that this class lies under.
  virtual bool AppendChild(std::shared_ptr<HTB_Class> child);

  // The first descendant with that ID, depth-first in child order.
  virtual std::shared_ptr<HTB_Class> Find(std::int32_t id) const;

  // Appends every leaf below this class whose FilterID is filterId,
  // depth-first in child order.
  virtual void CollectLeaves(std::int32_t filterId,
                             std::vector<std::shared_ptr<HTB_LeafClass>>& leaves) const;

  // Removes every descendant. Filters keep the rates they run at.
  virtual void Clear();

  // Points every leaf of this subtree at the record of its filter.
  virtual void LinkFilters(const FilterLookup& filters) = 0;

  // Takes the child out of Children and clears its parent. Returns it, or
  // nullptr when it is not a child of this class.
  std::shared_ptr<HTB_Class> DetachChild(const HTB_Class& child);

  // Gives every filter that a leaf of this subtree (this class included)
  // drives back its own rate, depth-first in child order.
  void RestoreFilterRates(FilterRateRestorer& restorer) const;

  // Calls visit for this class and then every descendant, depth-first in
  // child order, so parents come before their children.
  void VisitSubtree(const std::function<void(HTB_Class&)>& visit);
  void VisitSubtree(const std::function<void(const HTB_Class&)>& visit) const;

  // This class and all its descendants.
  std::size_t SubtreeSize() const;

  // Whether this class lies in the subtree of ancestor (itself included).
  bool IsInSubtreeOf(const HTB_Class& ancestor) const;

  // Derives AssuredRate and CeilRate from the parent's rates where the
  // orders say so, then lowers AssuredRate to CeilRate when it is larger.
  // A class without a parent (a root) keeps its rates as given.
  void DeriveRates();

  // Starts the tick's copy of the guaranteed rate from the configured one,
  // after DeriveRates. Every tick starts afresh: what one tick's shortage
  // took away is never kept for the next.
  void ResetTickAssurance();

  // The sharing step's lowering of the guaranteed rate when a parent has
  // too little bandwidth, for the rest of the tick. Only the tick's copy
  // changes; the configured AssuredRate and AssuredRatePercentage, which
  // the settings file and the class editor see, stay as the user set them.
  void LowerTickAssurance(std::uint32_t assuredRate, std::uint32_t percentage);

  // A root shares its guaranteed rate; 0 there means the line's bandwidth
  // was never set, and such a root limits nothing.
  bool IsRootWithoutRate() const { return Parent == nullptr && AssuredRate == 0; }

  HTB_Class* Parent = nullptr;
  std::vector<std::shared_ptr<HTB_Class>> Children;
  std::int32_t ID = -1;
  std::uint32_t AssuredRate = 0;            // bytes/s
  std::uint32_t AssuredRatePercentage = 0;  // of the parent's AssuredRate
  std::uint32_t CeilRate = 0;               // bytes/s
  std::uint32_t CeilRatePercentage = 0;     // of the parent's CeilRate
  std::int32_t AssuredRateOrder = 0;        // 1 = derived from the percentage
  std::int32_t CeilRateOrder = 0;           // 1 = derived from the percentage
  std::uint32_t Priority = 0;               // smaller = served first
  bool Available = true;
  std::string Name{kNewClassName};
  std::string Comment;

  // Run-time state, rewritten on every tick.
  std::uint32_t CurrentRate = 0;
  std::uint32_t AllottedRate = 0;
  bool Applied = true;
  bool Active = true;
  // The guaranteed rate (and its percentage) the tick works with; see
  // ResetTickAssurance.
  std::uint32_t TickAssuredRate = 0;
  std::uint32_t TickAssuredRatePercentage = 0;

 protected:
  // Copies the settings and run-time state, but neither the place in the
  // tree (parent, children) nor the identifier.
  HTB_Class(const HTB_Class& other);
};

class HTB_InnerClass : public HTB_Class {
 public:
  HTB_InnerClass() = default;

  std::shared_ptr<HTB_Class> Clone() const override;
  void LinkFilters(const FilterLookup& filters) override;

 protected:
  HTB_InnerClass(const HTB_InnerClass& other) = default;
};

// AvailableType values: when a leaf takes part in sharing.
inline constexpr std::int32_t kAvailableAlways = 0;
inline constexpr std::int32_t kAvailableWhileProcessRuns = 1;
inline constexpr std::int32_t kAvailableWhileConnected = 2;

// Display texts of AvailableType 0, 1 and 2.
inline constexpr std::array<std::string_view, 3> kAvailableTypeTexts = {"常に", "プロセス",
                                                                        "コネクション"};

// The display text of an AvailableType; a value outside 0..2 acts as
// "always" and is shown so.
std::string_view AvailableTypeText(std::int32_t availableType);

class HTB_LeafClass : public HTB_Class {
 public:
  HTB_LeafClass() = default;

  std::shared_ptr<HTB_Class> Clone() const override;
  bool AppendChild(std::shared_ptr<HTB_Class> child) override;
  // Filter becomes the record whose ID is FilterID; none for FilterID -1.
  void LinkFilters(const FilterLookup& filters) override;

  PacketFilterSetting* Filter = nullptr;  // not owning; set by LinkFilters
  std::int32_t FilterID = -1;             // -1 = no target filter
  std::int32_t AvailableType = kAvailableWhileConnected;
  std::uint32_t Quantum = 0;  // kept with the class; the rates do not use it

 protected:
  HTB_LeafClass(const HTB_LeafClass& other) = default;
};

}  // namespace harlune
