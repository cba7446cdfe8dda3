#pragma once

// HtbPage: the HTB tab. The class tree (send and receive root) on the left,
// the class list on the right, the switches "HTBを使う" and
// "常に全てのクラスを表示" above them, a note while a root has no rate, a
// graph under them of the selected class's rate against its assured rate
// and ceiling, and the context menus with the commands on the selected
// class. Every decision is the core's
// (HtbPageCommands, htb_rows); the page draws and forwards.

#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/htb/htb_page_commands.h"

class QCheckBox;
class QHBoxLayout;
class QPushButton;
class QLabel;
class QMenu;
class QTableView;
class QTimer;
class QTreeView;

namespace harlune {

class CEditHtbClassDlg;
class HarluneEngine;
class HtbListModel;
class HtbTreeModel;
class RateGraph;

class HtbPage : public QWidget {
  Q_OBJECT

 public:
  // Runs the class editor the page has loaded; true when the user chose OK.
  // The page runs it modally unless a runner is set (tests script it).
  using ClassEditorRunner = std::function<bool(CEditHtbClassDlg& editor)>;

  HtbPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);
  ~HtbPage() override;

  // The statistics redraw: the list rows and the look of the tree items,
  // changed in place.
  void Redraw();
  // The tree built anew from the classes (session start, every command),
  // keeping the selected class selected while it exists.
  void RebuildTree();

  void SetClassEditorRunner(ClassEditorRunner runner) { runEditor_ = std::move(runner); }

  RateGraph* graph() const { return graph_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildWidgets();
  void BuildMenus();
  void BuildButtons();
  void EnableButtons();
  QMenu* BuildMenu(const char* name, const std::function<std::optional<std::int32_t>()>& selected,
                   bool withDuplicate);
  void ConnectSignals();
  void RestoreColumns();
  void SyncSwitches();
  void ShowRootNotes();
  // The class the graph shows: the one selected in the list, else in the tree.
  std::optional<std::int32_t> GraphedClassId() const;
  void DrawGraph();
  void OnChanged();

  void NewClassUnder(std::int32_t parentId);
  void EditClass(std::int32_t id);

  std::optional<std::int32_t> TreeSelectedId() const;
  std::optional<std::int32_t> ListSelectedId() const;
  void SelectTreeClass(std::optional<std::int32_t> id);
  void KeepListSelection(std::optional<std::int32_t> id);
  bool ShowAll() const;

  HarluneEngine& engine_;
  UserDialogs& dialogs_;
  HtbPageCommands commands_;
  ClassEditorRunner runEditor_;

  HtbTreeModel* treeModel_ = nullptr;
  HtbListModel* listModel_ = nullptr;
  QTreeView* tree_ = nullptr;
  QTableView* list_ = nullptr;
  QCheckBox* doHtbBox_ = nullptr;
  QCheckBox* showAllBox_ = nullptr;
  QLabel* rootNote_ = nullptr;
  RateGraph* graph_ = nullptr;
  QHBoxLayout* buttonBar_ = nullptr;
  std::vector<QPushButton*> buttons_;
  QMenu* treeMenu_ = nullptr;
  QMenu* listMenu_ = nullptr;
  QTimer* widthTimer_ = nullptr;
  QTimer* orderTimer_ = nullptr;
};

}  // namespace harlune
