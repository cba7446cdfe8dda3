#include "core/control/connection_rule_rows.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/control/connection_control_rule_file.h"

namespace harlune {

std::string_view HostListFileName(std::string_view storedPath) {
  const std::size_t separator = storedPath.find_last_of("\\/");
  return separator == std::string_view::npos ? storedPath : storedPath.substr(separator + 1);
}

std::string RuleCellText(const OperateConnectionRule& rule, std::size_t row, int column) {
  switch (column) {
    case 0:
      return std::to_string(row + 1) + " " + rule.Name;
    case 1:
      return rule.ConditionText();
    case 2:
      return std::string(ActionText(rule.Action));
    case 3:
      return rule.TargetProcessName;
    case 4:
      return std::string(HostListFileName(rule.RemoteHostListPath));
    case 5:
      return rule.BLimitConnectionNum ? std::to_string(rule.AllowConnectionNum) : "なし";
    case 6:
      return rule.BLimitConnectionNum ? std::string(PriorConditionText(rule.PriorCondition))
                                      : std::string();
    case 7:
      return rule.Comment;
    default:
      return {};
  }
}

int RuleImageIndex(const OperateConnectionRule& rule) {
  return rule.Available ? kRuleImageAvailable : kRuleImageUnavailable;
}

ConnectionRuleRows::ConnectionRuleRows(ConnectionControlEngine& engine, UserDialogs& dialogs,
                                       std::function<void()> changed)
    : engine_(engine), dialogs_(dialogs), changed_(std::move(changed)) {}

std::size_t ConnectionRuleRows::RowCount() const { return engine_.Rules().size(); }

const OperateConnectionRule& ConnectionRuleRows::RuleAt(std::size_t row) const {
  return engine_.Rules().Rules()[row];
}

std::string ConnectionRuleRows::CellText(std::size_t row, int column) const {
  return row < RowCount() ? RuleCellText(RuleAt(row), row, column) : std::string();
}

int ConnectionRuleRows::ImageIndex(std::size_t row) const {
  return row < RowCount() ? RuleImageIndex(RuleAt(row)) : kRuleImageUnavailable;
}

bool ConnectionRuleRows::DisconnectsFail(std::size_t row) const {
  return engine_.RuleDisconnectFailure(row).has_value();
}

std::string ConnectionRuleRows::FailureNote(std::size_t row) const {
  const std::optional<DisconnectFailure> failure = engine_.RuleDisconnectFailure(row);
  return failure ? RuleFailureNote(*failure) : std::string();
}

bool ConnectionRuleRows::BeginNew() {
  if (RowCount() >= OperateConnectionRuleIni::kMaxRules) {
    dialogs_.ShowMessage(kTooManyRulesToAddMessage);
    return false;
  }
  return true;
}

std::optional<RuleListSelection> ConnectionRuleRows::FinishNew(
    const OperateConnectionRule& edited) {
  if (!engine_.AppendRule(edited, dialogs_)) {
    return std::nullopt;
  }
  const std::size_t last = RowCount() - 1;
  engine_.AttachExisting(last);
  Changed();
  return RuleListSelection{{last}, last};
}

std::optional<std::size_t> ConnectionRuleRows::RowToEdit(
    std::span<const std::size_t> selected) const {
  const std::vector<std::size_t> rows = ValidRows(selected);
  return rows.empty() ? std::nullopt : std::optional<std::size_t>(rows.front());
}

std::optional<RuleListSelection> ConnectionRuleRows::FinishEdit(
    std::size_t row, const OperateConnectionRule& edited) {
  if (!engine_.ReplaceRule(row, edited)) {
    return std::nullopt;
  }
  engine_.AttachExisting(row);
  Changed();
  return RuleListSelection{{row}, row};
}

RuleListSelection ConnectionRuleRows::Delete(std::span<const std::size_t> selected) {
  const std::vector<std::size_t> rows = ValidRows(selected);
  // From the highest index down, so the indices still to go stay right.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    engine_.RemoveRule(*row, dialogs_);
  }
  if (!rows.empty()) {
    Changed();
  }
  return {};
}

RuleListSelection ConnectionRuleRows::MoveUp(std::span<const std::size_t> selected) {
  std::vector<std::size_t> rows = ValidRows(selected);
  if (rows.empty() || rows.front() == 0) {
    return {rows, std::nullopt};
  }
  for (std::size_t& row : rows) {
    engine_.SwapRules(row - 1, row);
    --row;
  }
  Changed();
  return {rows, std::nullopt};
}

RuleListSelection ConnectionRuleRows::MoveDown(std::span<const std::size_t> selected) {
  std::vector<std::size_t> rows = ValidRows(selected);
  if (rows.empty() || rows.back() + 1 >= RowCount()) {
    return {rows, std::nullopt};
  }
  // From the lowest row up, so a block of selected rows moves as one.
  for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
    engine_.SwapRules(*row, *row + 1);
    ++*row;
  }
  Changed();
  return {rows, std::nullopt};
}

RuleListSelection ConnectionRuleRows::Duplicate(std::span<const std::size_t> selected) {
  const std::vector<std::size_t> rows = ValidRows(selected);
  if (!rows.empty() && engine_.DuplicateRules(rows, dialogs_)) {
    Changed();
  }
  return {rows, std::nullopt};
}

RuleListSelection ConnectionRuleRows::ToggleAvailable(std::span<const std::size_t> selected) {
  const std::vector<std::size_t> rows = ValidRows(selected);
  const std::span<OperateConnectionRule> rules = engine_.EditableRules();
  for (const std::size_t row : rows) {
    rules[row].Available = !rules[row].Available;
  }
  if (!rows.empty()) {
    Changed();
  }
  return {rows, std::nullopt};
}

std::vector<std::size_t> ConnectionRuleRows::ValidRows(
    std::span<const std::size_t> selected) const {
  std::vector<std::size_t> rows;
  const std::size_t count = RowCount();
  std::ranges::copy_if(selected, std::back_inserter(rows),
                       [count](std::size_t row) { return row < count; });
  std::ranges::sort(rows);
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

void ConnectionRuleRows::Changed() {
  if (changed_) {
    changed_();
  }
}

}  // namespace harlune
