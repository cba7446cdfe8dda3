#pragma once

// FilterPage: the filter list page. It shows the filter list, forwards the
// user's list commands to the engine (which applies them to the driver
// first) and selects the rows the engine names afterwards. Column widths
// and order are restored from the general settings and stored back shortly
// after the user changes them. A rate graph under the list, shown and
// hidden with the page's "グラフ" button, draws the total rates and those of
// the selected filters over the last ten minutes.

#include <QWidget>
#include <cstddef>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "core/app/harlune_engine.h"
#include "core/base/user_dialogs.h"
#include "core/filter/packet_filter_setting.h"

class QMenu;
class QPushButton;
class QTableView;
class QTimer;

namespace harlune {

class FilterListModel;
class RateGraph;

class FilterPage final : public QWidget {
  Q_OBJECT

 public:
  // Opens the filter editor on the record (a new one when `isNew`); true
  // when the user accepted and the record holds the edited values.
  using FilterEditor = std::function<bool(bool isNew, PacketFilterSetting& record)>;

  // Saving of column widths and order waits this long after the last change.
  static constexpr int kColumnSaveDelayMs = 30;

  FilterPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);

  // Brings every row up to date with the filter list, in place, and the
  // graph too while it is shown.
  void Redraw();
  bool HasSelection() const;
  // Replaces the editor the new and edit commands open (tests script it).
  void SetFilterEditor(FilterEditor editor) { editor_ = std::move(editor); }

  QTableView* view() const { return view_; }
  FilterListModel* model() const { return model_; }
  QMenu* contextMenu() const { return menu_; }
  RateGraph* graph() const { return graph_; }
  QPushButton* graphButton() const { return graphButton_; }

 public slots:
  void NewFilter();
  void EditFilter();
  void DeleteFilters();
  void Up();
  void Down();
  void Copy();
  void ToggleAvailable();

 signals:
  // The selection changed, so the main window updates its filter menu.
  void selectionChanged();

 private:
  QWidget* BuildButtons();
  QPushButton* BuildGraphButton();
  void BuildList();
  QWidget* BuildListAndGraph();
  // The user showed or hid the graph: the choice is kept in the settings.
  void ShowGraph(bool shown);
  void DrawGraph();
  void BuildMenu();
  void RestoreColumns();
  void WatchColumns();
  void StoreColumnWidths();
  void StoreColumnOrder();
  void ShowContextMenu(const QPoint& position);

  std::vector<std::size_t> SelectedRows() const;
  void Select(const std::vector<std::size_t>& rows);
  // Shows the list after a command and selects what the engine names.
  void Apply(const FilterListChange& change);
  bool RunDefaultEditor(bool isNew, PacketFilterSetting& record);

  HarluneEngine& engine_;
  UserDialogs& dialogs_;
  FilterEditor editor_;
  FilterListModel* model_ = nullptr;
  QTableView* view_ = nullptr;
  RateGraph* graph_ = nullptr;
  QPushButton* graphButton_ = nullptr;
  QMenu* menu_ = nullptr;
  QTimer* widthTimer_ = nullptr;
  QTimer* orderTimer_ = nullptr;
  std::set<int> resizedColumns_;
};

}  // namespace harlune
