#include "core/htb/htb_class.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

namespace harlune {

namespace {

// rate × percentage / 100, widened so that a fast link's rate cannot wrap
// around before the division; a percentage above 100 saturates.
std::uint32_t PercentOf(std::uint32_t rate, std::uint32_t percentage) {
  const std::uint64_t derived = std::uint64_t{rate} * percentage / 100;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(derived, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

HTB_Class::HTB_Class(const HTB_Class& other)
    : AssuredRate(other.AssuredRate),
      AssuredRatePercentage(other.AssuredRatePercentage),
      CeilRate(other.CeilRate),
      CeilRatePercentage(other.CeilRatePercentage),
      AssuredRateOrder(other.AssuredRateOrder),
      CeilRateOrder(other.CeilRateOrder),
      Priority(other.Priority),
      Available(other.Available),
      Name(other.Name),
      Comment(other.Comment),
      CurrentRate(other.CurrentRate),
      AllottedRate(other.AllottedRate),
      Applied(other.Applied),
      Active(other.Active) {}

HTB_Class::~HTB_Class() {
  // A child that a list keeps alive must not point at a freed parent.
  for (const auto& child : Children) {
    child->Parent = nullptr;
  }
}

bool HTB_Class::AddUnder(std::int32_t parentId, std::shared_ptr<HTB_Class> child) {
  if (ID == parentId && AppendChild(child)) {
    return true;
  }
  return std::any_of(Children.begin(), Children.end(),
                     [&](const auto& own) { return own->AddUnder(parentId, child); });
}

bool HTB_Class::Remove(std::int32_t id, FilterRateRestorer& restorer) {
  for (const auto& child : Children) {
    if (child->ID == id) {
      child->RestoreFilterRates(restorer);
      DetachChild(*child);
      return true;
    }
    if (child->Remove(id, restorer)) {
      return true;
    }
  }
  return false;
}

void HTB_Class::MarkIdentifiers(std::span<bool> marks) const {
  if (ID >= 0 && static_cast<std::size_t>(ID) < marks.size()) {
    marks[static_cast<std::size_t>(ID)] = true;
  }
  for (const auto& child : Children) {
    child->MarkIdentifiers(marks);
  }
}

bool HTB_Class::AppendChild(std::shared_ptr<HTB_Class> child) {
  // A class already in a tree, or one this class lies under, would end up
  // with two owners or in a cycle cut off from its tree.
  if (child == nullptr || child->Parent != nullptr || IsInSubtreeOf(*child)) {
    return false;
  }
  child->Parent = this;
  Children.push_back(std::move(child));
  return true;
}

std::shared_ptr<HTB_Class> HTB_Class::Find(std::int32_t id) const {
  for (const auto& child : Children) {
    if (child->ID == id) {
      return child;
    }
    if (auto found = child->Find(id)) {
      return found;
    }
  }
  return nullptr;
}

void HTB_Class::CollectLeaves(std::int32_t filterId,
                              std::vector<std::shared_ptr<HTB_LeafClass>>& leaves) const {
  for (const auto& child : Children) {
    if (auto leaf = std::dynamic_pointer_cast<HTB_LeafClass>(child);
        leaf != nullptr && leaf->FilterID == filterId) {
      leaves.push_back(std::move(leaf));
    }
    child->CollectLeaves(filterId, leaves);
  }
}

void HTB_Class::Clear() {
  for (const auto& child : Children) {
    child->Parent = nullptr;
  }
  Children.clear();
}

std::shared_ptr<HTB_Class> HTB_Class::DetachChild(const HTB_Class& child) {
  const auto position = std::find_if(Children.begin(), Children.end(),
                                     [&](const auto& own) { return own.get() == &child; });
  if (position == Children.end()) {
    return nullptr;
  }
  std::shared_ptr<HTB_Class> detached = std::move(*position);
  Children.erase(position);
  detached->Parent = nullptr;
  return detached;
}

void HTB_Class::RestoreFilterRates(FilterRateRestorer& restorer) const {
  VisitSubtree([&](const HTB_Class& member) {
    const auto* leaf = dynamic_cast<const HTB_LeafClass*>(&member);
    if (leaf != nullptr && leaf->Filter != nullptr) {
      restorer.RestoreOwnRate(*leaf->Filter);
    }
  });
}

void HTB_Class::VisitSubtree(const std::function<void(HTB_Class&)>& visit) {
  visit(*this);
  for (const auto& child : Children) {
    child->VisitSubtree(visit);
  }
}

void HTB_Class::VisitSubtree(const std::function<void(const HTB_Class&)>& visit) const {
  visit(*this);
  for (const auto& child : Children) {
    std::as_const(*child).VisitSubtree(visit);
  }
}

std::size_t HTB_Class::SubtreeSize() const {
  std::size_t size = 1;
  for (const auto& child : Children) {
    size += child->SubtreeSize();
  }
  return size;
}

bool HTB_Class::IsInSubtreeOf(const HTB_Class& ancestor) const {
  for (const HTB_Class* current = this; current != nullptr; current = current->Parent) {
    if (current == &ancestor) {
      return true;
    }
  }
  return false;
}

void HTB_Class::DeriveRates() {
  if (Parent == nullptr) {
    return;
  }
  if (CeilRateOrder == 1) {
    CeilRate = PercentOf(Parent->CeilRate, CeilRatePercentage);
  }
  if (AssuredRateOrder == 1) {
    AssuredRate = PercentOf(Parent->AssuredRate, AssuredRatePercentage);
  }
  AssuredRate = std::min(AssuredRate, CeilRate);
}

void HTB_Class::ResetTickAssurance() {
  TickAssuredRate = AssuredRate;
  TickAssuredRatePercentage = AssuredRatePercentage;
}

void HTB_Class::LowerTickAssurance(std::uint32_t assuredRate, std::uint32_t percentage) {
  TickAssuredRate = assuredRate;
  TickAssuredRatePercentage = percentage;
}

std::shared_ptr<HTB_Class> HTB_InnerClass::Clone() const {
  std::shared_ptr<HTB_InnerClass> copy(new HTB_InnerClass(*this));
  for (const auto& child : Children) {
    copy->AppendChild(child->Clone());
  }
  return copy;
}

void HTB_InnerClass::LinkFilters(const FilterLookup& filters) {
  for (const auto& child : Children) {
    child->LinkFilters(filters);
  }
}

std::string_view AvailableTypeText(std::int32_t availableType) {
  if (availableType < 0 || static_cast<std::size_t>(availableType) >= kAvailableTypeTexts.size()) {
    return kAvailableTypeTexts[kAvailableAlways];
  }
  return kAvailableTypeTexts[static_cast<std::size_t>(availableType)];
}

std::shared_ptr<HTB_Class> HTB_LeafClass::Clone() const {
  return std::shared_ptr<HTB_LeafClass>(new HTB_LeafClass(*this));
}

bool HTB_LeafClass::AppendChild(std::shared_ptr<HTB_Class> /*child*/) { return false; }

void HTB_LeafClass::LinkFilters(const FilterLookup& filters) {
  Filter = (FilterID != -1 && filters) ? filters(FilterID) : nullptr;
}

}  // namespace harlune
