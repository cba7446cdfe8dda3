#include "core/htb/htb_manager.h"

#include <algorithm>
#include <span>
#include <utility>

namespace harlune {

namespace {

std::int32_t SmallestUnmarked(std::span<const bool> marks) {
  const auto free = std::find(marks.begin(), marks.end(), false);
  return free == marks.end() ? -1 : static_cast<std::int32_t>(free - marks.begin());
}

void AppendSubtree(const std::shared_ptr<HTB_Class>& cls,
                   std::vector<std::shared_ptr<HTB_Class>>& list) {
  list.push_back(cls);
  for (const auto& child : cls->Children) {
    AppendSubtree(child, list);
  }
}

}  // namespace

HTB_Manager::HTB_Manager() {
  send_.Root()->ID = kSendRootID;
  receive_.Root()->ID = kReceiveRootID;
}

bool HTB_Manager::IsRoot(const HTB_Class& cls) const {
  return &cls == send_.Root().get() || &cls == receive_.Root().get();
}

HTB_Manager::Marks HTB_Manager::MarkedIdentifiers() const {
  Marks marks{};
  send_.Root()->MarkIdentifiers(marks);
  receive_.Root()->MarkIdentifiers(marks);
  return marks;
}

std::int32_t HTB_Manager::FreeIdentifier() const { return SmallestUnmarked(MarkedIdentifiers()); }

std::size_t HTB_Manager::FreeIdentifierCount() const {
  const Marks marks = MarkedIdentifiers();
  return static_cast<std::size_t>(std::count(marks.begin(), marks.end(), false));
}

std::shared_ptr<HTB_Class> HTB_Manager::Find(std::int32_t id) const {
  if (auto found = send_.Find(id)) {
    return found;
  }
  return receive_.Find(id);
}

bool HTB_Manager::Add(std::int32_t parentId, std::shared_ptr<HTB_Class> cls) {
  if (cls == nullptr || cls->Parent != nullptr || IsRoot(*cls)) {
    return false;
  }
  const auto parent = Find(parentId);
  if (parent == nullptr) {
    return false;
  }
  const std::int32_t givenId = cls->ID;
  if (givenId == -1) {
    cls->ID = FreeIdentifier();
    if (cls->ID == -1) {
      return false;
    }
  } else if (Find(givenId) != nullptr) {
    return false;
  }
  if (!parent->AppendChild(cls)) {
    cls->ID = givenId;
    return false;
  }
  return true;
}

std::shared_ptr<HTB_Class> HTB_Manager::AddCopy(const HTB_Class& classTemplate,
                                                std::int32_t parentId,
                                                const FilterLookup& filters) {
  auto copy = classTemplate.Clone();
  copy->LinkFilters(filters);
  if (!Add(parentId, copy)) {
    return nullptr;
  }
  return copy;
}

bool HTB_Manager::Move(std::int32_t id, std::int32_t newParentId) {
  const auto cls = Find(id);
  const auto newParent = Find(newParentId);
  if (cls == nullptr || newParent == nullptr || IsRoot(*cls) || newParent->IsInSubtreeOf(*cls) ||
      dynamic_cast<HTB_LeafClass*>(newParent.get()) != nullptr) {
    return false;
  }
  // A move is not a removal: the leaves keep driving their filters, so
  // their own rates are not restored on the way.
  cls->Parent->DetachChild(*cls);
  return newParent->AppendChild(cls);
}

std::shared_ptr<HTB_Class> HTB_Manager::Duplicate(std::int32_t id) {
  const auto original = Find(id);
  if (original == nullptr || IsRoot(*original)) {
    return nullptr;
  }
  if (original->SubtreeSize() > FreeIdentifierCount()) {
    return nullptr;
  }

  auto copy = original->Clone();
  copy->ID = FreeIdentifier();
  original->Parent->AppendChild(copy);
  // The copy's descendants all hold -1 until they get theirs here, each the
  // smallest identifier free at that moment.
  copy->VisitSubtree([&](HTB_Class& member) {
    if (&member != copy.get()) {
      member.ID = FreeIdentifier();
    }
  });
  return copy;
}

bool HTB_Manager::Remove(std::int32_t id, FilterRateRestorer& restorer) {
  const auto cls = Find(id);
  if (cls == nullptr || IsRoot(*cls)) {
    return false;
  }
  cls->RestoreFilterRates(restorer);
  cls->Parent->DetachChild(*cls);
  return true;
}

std::vector<std::shared_ptr<HTB_Class>> HTB_Manager::List(std::int32_t id) const {
  std::vector<std::shared_ptr<HTB_Class>> list;
  if (const auto cls = Find(id)) {
    AppendSubtree(cls, list);
  }
  return list;
}

std::vector<std::shared_ptr<HTB_LeafClass>> HTB_Manager::LeavesOfFilter(
    std::int32_t filterId) const {
  std::vector<std::shared_ptr<HTB_LeafClass>> leaves;
  send_.Root()->CollectLeaves(filterId, leaves);
  receive_.Root()->CollectLeaves(filterId, leaves);
  return leaves;
}

void HTB_Manager::LinkFilters(const FilterLookup& filters) {
  send_.Root()->LinkFilters(filters);
  receive_.Root()->LinkFilters(filters);
}

void HTB_Manager::DeriveRates() {
  for (const auto* tree : {&send_, &receive_}) {
    tree->Root()->VisitSubtree([](HTB_Class& cls) { cls.DeriveRates(); });
  }
}

}  // namespace harlune
