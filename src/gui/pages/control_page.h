#pragma once

// The connection control page: the rule list in priority order, the switch
// "コネクション操作を行う", and the commands on the selected rules (buttons,
// context menu, double-click to edit). Every command goes through the core's
// rule rows, which keep the engine's connection lists in step and decide the
// limits and messages; the page draws the result and the selection.

#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/app/harlune_engine.h"
#include "core/base/user_dialogs.h"
#include "core/control/connection_rule_rows.h"

class QAction;
class QCheckBox;
class QLayout;
class QMenu;
class QPushButton;
class QTableView;

namespace harlune {

class RuleListModel;

class ControlPage : public QWidget {
  Q_OBJECT

 public:
  // Opens the rule editor on a rule; true (rule edited) on OK.
  using RuleEditor = std::function<bool(OperateConnectionRule& rule)>;
  // Shows a menu and returns the chosen action, null when none was chosen.
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;

  // The engine's settings are loaded (Initialise) before a page is made.
  ControlPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);
  ~ControlPage() override;

  // Shows the rules and the switch as the engine holds them now (after the
  // settings were loaded anew, say).
  void Redraw();
  // Redraws the rows when a rule's disconnections started or stopped
  // failing since the last look; nothing otherwise (called every second).
  void ShowDisconnectFailures();

  // A command on the selected rules, as its button does it.
  void RunCommand(RuleCommand command);
  void ShowContextMenu(const QPoint& globalPos);

  void SetRuleEditor(RuleEditor editor) { editRule_ = std::move(editor); }
  void SetMenuRunner(MenuRunner runner) { runMenu_ = std::move(runner); }

  QTableView* view() const { return view_; }
  QCheckBox* controlBox() const { return controlBox_; }
  QPushButton* button(RuleCommand command) const;

 private:
  void MakeList();
  QLayout* MakeButtons();
  std::vector<std::size_t> SelectedRows() const;
  void Show(const RuleListSelection& selection);
  void NewRule();
  void EditRule();
  bool RunEditor(OperateConnectionRule& rule);
  void SaveColumns();

  HarluneEngine& engine_;
  UserDialogs& dialogs_;
  ConnectionRuleRows rules_;
  RuleListModel* model_ = nullptr;
  QTableView* view_ = nullptr;
  QCheckBox* controlBox_ = nullptr;
  std::vector<QPushButton*> buttons_;
  RuleEditor editRule_;
  MenuRunner runMenu_;
  std::uint64_t shownFailures_ = 0;
};

}  // namespace harlune
