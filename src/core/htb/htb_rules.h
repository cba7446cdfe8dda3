#pragma once

// The rules every change of the HTB trees keeps, as the checks the HTB page
// and the class editor run before a change. Each check returns the message
// to show, or nothing when the change may go ahead.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune {

inline constexpr std::string_view kLeafCannotHaveChildrenText =
    "リーフクラスには子を追加できません。";
inline constexpr std::string_view kCannotMoveUnderLeafText = "リーフクラスの子にはできません。";
inline constexpr std::string_view kCannotMoveRootText = "ルートクラスは移動できません。";
inline constexpr std::string_view kCannotRemoveRootText = "ルートクラスは削除できません。";
inline constexpr std::string_view kCannotDuplicateRootText = "ルートクラスは複製できません。";
inline constexpr std::string_view kRemoveWithChildrenQuestion =
    "子クラスも削除されますがよろしいですか？";
inline constexpr std::string_view kAssuredAboveCeilText =
    "最低保証帯域は上限帯域以下にしてください。";
inline constexpr std::string_view kLeafWithoutFilterNotice =
    "注意:対象フィルタを選択しない限り何も影響しません。";
inline constexpr std::string_view kCannotMoveUnderItselfText =
    "自分自身やその子孫クラスの子にはできません。";
inline constexpr std::string_view kClassNotFoundText = "指定されたクラスが見つかりません。";
inline constexpr std::string_view kNoFreeIdentifierText = "これ以上クラスを作成できません。";

// A new class under parentId.
std::optional<std::string_view> CheckNewClass(const HTB_Manager& manager, std::int32_t parentId);

// Dragging the class id onto the class newParentId.
std::optional<std::string_view> CheckMove(const HTB_Manager& manager, std::int32_t id,
                                          std::int32_t newParentId);

// Deleting the class id. A class with children may still be deleted after
// RemoveQuestion has been answered with OK.
std::optional<std::string_view> CheckRemove(const HTB_Manager& manager, std::int32_t id);

// The question to ask before deleting the class id: only a class with
// children asks, since its whole subtree goes with it.
std::optional<std::string_view> RemoveQuestion(const HTB_Manager& manager, std::int32_t id);

// Duplicating the class id with its subtree.
std::optional<std::string_view> CheckDuplicate(const HTB_Manager& manager, std::int32_t id);

// The rates the class editor is about to store (bytes/s).
std::optional<std::string_view> CheckRates(std::uint32_t assuredRate, std::uint32_t ceilRate);

// The notice the class editor shows for a leaf without a target filter; the
// leaf may still be stored.
std::optional<std::string_view> LeafTargetNotice(const HTB_LeafClass& leaf);

}  // namespace harlune
