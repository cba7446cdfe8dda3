#pragma once

// The HTB page's commands on the selected class, without the widgets: each
// checks the tree's rules, tells the user why it refuses, changes the trees
// through HTB_Manager and then calls `changed`, on which the page rebuilds
// its tree and the main window marks the settings as changed. The class
// editor itself belongs to the page; these commands take its result.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "core/base/user_dialogs.h"
#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"

namespace harlune {

inline constexpr std::string_view kHtbQuestionCaption = "Harlune";

class HtbPageCommands {
 public:
  // `restorer` gives a filter its own rate back when a leaf driving it is
  // deleted; `filters` finds a filter by ID for linking leaves.
  HtbPageCommands(HTB_Manager& manager, UserDialogs& dialogs, FilterRateRestorer& restorer,
                  FilterLookup filters, std::function<void()> changed);

  // "ここにクラスを新規作成": whether the editor may open for a new class under
  // the selected one. A leaf (or a full tree) refuses with its message.
  bool MayCreateUnder(std::int32_t parentId);
  // The editor's result: a copy of the template the user filled in goes
  // under the parent with a new identifier. Returns it, or nullptr.
  std::shared_ptr<HTB_Class> AddNew(std::int32_t parentId, const HTB_Class& filledTemplate);

  // "編集": the editor changed the class in place; its leaves may now drive
  // other filters.
  void Edited();

  // "削除": roots refuse; a class with children only after the user agreed.
  bool Delete(std::int32_t id);

  // "複製": roots refuse. Returns the copy, or nullptr.
  std::shared_ptr<HTB_Class> Duplicate(std::int32_t id);

  // "有効/無効".
  bool ToggleAvailable(std::int32_t id);

  // Dragging the class onto another: roots and leaf targets refuse.
  bool Move(std::int32_t id, std::int32_t newParentId);

 private:
  // Shows the refusal, if any; returns whether the command may go on.
  bool Allowed(const std::optional<std::string_view>& refusal);

  HTB_Manager& manager_;
  UserDialogs& dialogs_;
  FilterRateRestorer& restorer_;
  FilterLookup filters_;
  std::function<void()> changed_;
};

}  // namespace harlune
