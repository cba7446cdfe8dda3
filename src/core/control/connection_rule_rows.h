#pragma once

// The connection control page without its widgets: the rule list's columns
// and cell texts, and the list commands (new, edit, delete, up, down,
// duplicate, available on/off) on the selected rows. The page draws the
// rows, opens the rule editor and shows the selection each command returns;
// every change of the rules goes through the engine, which keeps its
// connection lists in step with them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/control/connection_control_engine.h"
#include "core/control/operate_connection_rule.h"

namespace harlune {

inline constexpr std::string_view kConnectionControlCheckText = "コネクション操作を行う";
inline constexpr std::string_view kRuleCommandsLabel = "操作：";

// A command of the page: its button caption, the button's tool tip and its
// context menu text (empty: not in the menu).
struct RuleCommandText {
  std::string_view button;
  std::string_view toolTip;
  std::string_view menu;
};

enum class RuleCommand : int { kNew, kEdit, kDelete, kUp, kDown, kDuplicate, kAvailable };
inline constexpr std::array<RuleCommandText, 7> kRuleCommandTexts = {{
    {"新規作成", "ルールを新規作成する", ""},
    {"編集 ", "選択しているルールを編集する", "編集(&E)..."},
    {"削除 ", "選択しているルールを削除する", "削除(&D)"},
    {"上へ ", "選択しているルールの優先度を上げる", "上へ(&U)"},
    {"下へ ", "選択しているルールの優先度を下げる", "下へ(&W)"},
    {"複製 ", "選択しているルールを複製する", "複製(&C)"},
    {"有効/無効 ", "選択しているルールの有効、無効を切り替える", "有効/無効(&A)"},
}};

struct RuleColumnInfo {
  std::string_view header;
  bool alignRight = false;
};

inline constexpr std::size_t kRuleColumnCount = 8;
inline constexpr std::array<RuleColumnInfo, kRuleColumnCount> kRuleColumns = {{
    {"優先度 ルール名"},
    {"条件"},
    {"動作"},
    {"対象プロセス名"},
    {"ホストリストファイル"},
    {"制限数", true},
    {"優先して切断するもの"},
    {"コメント"},
}};

// Item images of the first column.
inline constexpr int kRuleImageAvailable = 0;
inline constexpr int kRuleImageUnavailable = 1;

// The cell of one rule at 0-based list position `row`; empty outside the
// columns.
std::string RuleCellText(const OperateConnectionRule& rule, std::size_t row, int column);
int RuleImageIndex(const OperateConnectionRule& rule);

// The file name part of a stored host list path: after its last folder
// separator ('\', or '/' that stored paths may use as well).
std::string_view HostListFileName(std::string_view storedPath);

// The rows the page shows selected after a command, ascending, and the row
// to focus and scroll to.
struct RuleListSelection {
  std::vector<std::size_t> rows;
  std::optional<std::size_t> focus;

  friend bool operator==(const RuleListSelection&, const RuleListSelection&) = default;
};

class ConnectionRuleRows {
 public:
  // `changed` is called after every change of the rules (the front end
  // marks the settings unsaved and restarts the auto-save timer).
  ConnectionRuleRows(ConnectionControlEngine& engine, UserDialogs& dialogs,
                     std::function<void()> changed);

  std::size_t RowCount() const;
  std::string CellText(std::size_t row, int column) const;
  int ImageIndex(std::size_t row) const;
  const OperateConnectionRule& RuleAt(std::size_t row) const;

  // A rule whose latest disconnection the system refused is marked until
  // one of its disconnections succeeds: its note says why, and is empty for
  // every other row.
  bool DisconnectsFail(std::size_t row) const;
  std::string FailureNote(std::size_t row) const;
  // Grows whenever a mark appears, changes or clears.
  std::uint64_t FailuresChangeCount() const { return engine_.RuleFailuresChangeCount(); }

  // Commands take the page's selected rows in any order; rows outside the
  // list are ignored.

  // New: whether the editor may open; false, with the message, when the
  // list is full. The editor starts on a default OperateConnectionRule.
  bool BeginNew();
  // The editor's OK: appends the rule, attaches the existing connections and
  // selects and focuses the new last row; nothing when refused.
  std::optional<RuleListSelection> FinishNew(const OperateConnectionRule& edited);

  // Edit: the row whose rule the editor opens on, the first one selected.
  std::optional<std::size_t> RowToEdit(std::span<const std::size_t> selected) const;
  // The editor's OK: the edited copy takes the rule's place and the
  // existing connections are attached anew; the row is selected.
  std::optional<RuleListSelection> FinishEdit(std::size_t row, const OperateConnectionRule& edited);

  // Removes every selected rule, without asking; nothing stays selected.
  RuleListSelection Delete(std::span<const std::size_t> selected);
  // Moves the selected rules one place up (down) with the selection; nothing
  // when the topmost (lowest) of them is already first (last).
  RuleListSelection MoveUp(std::span<const std::size_t> selected);
  RuleListSelection MoveDown(std::span<const std::size_t> selected);
  // Appends a clone of every selected rule; the selection stays.
  RuleListSelection Duplicate(std::span<const std::size_t> selected);
  // Toggles Available of every selected rule; the selection stays.
  RuleListSelection ToggleAvailable(std::span<const std::size_t> selected);

 private:
  std::vector<std::size_t> ValidRows(std::span<const std::size_t> selected) const;
  void Changed();

  ConnectionControlEngine& engine_;
  UserDialogs& dialogs_;
  std::function<void()> changed_;
};

}  // namespace harlune
