#include "core/htb/htb_rules.h"

#include <memory>

namespace harlune {

namespace {

bool IsLeaf(const HTB_Class& cls) { return dynamic_cast<const HTB_LeafClass*>(&cls) != nullptr; }

}  // namespace

std::optional<std::string_view> CheckNewClass(const HTB_Manager& manager, std::int32_t parentId) {
  const auto parent = manager.Find(parentId);
  if (parent == nullptr) {
    return kClassNotFoundText;
  }
  if (IsLeaf(*parent)) {
    return kLeafCannotHaveChildrenText;
  }
  if (manager.FreeIdentifier() == -1) {
    return kNoFreeIdentifierText;
  }
  return std::nullopt;
}

std::optional<std::string_view> CheckMove(const HTB_Manager& manager, std::int32_t id,
                                          std::int32_t newParentId) {
  const auto cls = manager.Find(id);
  const auto newParent = manager.Find(newParentId);
  if (cls == nullptr || newParent == nullptr) {
    return kClassNotFoundText;
  }
  if (manager.IsRoot(*cls)) {
    return kCannotMoveRootText;
  }
  if (IsLeaf(*newParent)) {
    return kCannotMoveUnderLeafText;
  }
  if (newParent->IsInSubtreeOf(*cls)) {
    return kCannotMoveUnderItselfText;
  }
  return std::nullopt;
}

std::optional<std::string_view> CheckRemove(const HTB_Manager& manager, std::int32_t id) {
  const auto cls = manager.Find(id);
  if (cls == nullptr) {
    return kClassNotFoundText;
  }
  if (manager.IsRoot(*cls)) {
    return kCannotRemoveRootText;
  }
  return std::nullopt;
}

std::optional<std::string_view> RemoveQuestion(const HTB_Manager& manager, std::int32_t id) {
  const auto cls = manager.Find(id);
  if (cls == nullptr || cls->Children.empty()) {
    return std::nullopt;
  }
  return kRemoveWithChildrenQuestion;
}

std::optional<std::string_view> CheckDuplicate(const HTB_Manager& manager, std::int32_t id) {
  const auto cls = manager.Find(id);
  if (cls == nullptr) {
    return kClassNotFoundText;
  }
  if (manager.IsRoot(*cls)) {
    return kCannotDuplicateRootText;
  }
  if (cls->SubtreeSize() > manager.FreeIdentifierCount()) {
    return kNoFreeIdentifierText;
  }
  return std::nullopt;
}

std::optional<std::string_view> CheckRates(std::uint32_t assuredRate, std::uint32_t ceilRate) {
  if (assuredRate > ceilRate) {
    return kAssuredAboveCeilText;
  }
  return std::nullopt;
}

std::optional<std::string_view> LeafTargetNotice(const HTB_LeafClass& leaf) {
  if (leaf.FilterID == -1) {
    return kLeafWithoutFilterNotice;
  }
  return std::nullopt;
}

}  // namespace harlune
