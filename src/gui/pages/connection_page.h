#pragma once

// The TCP connection page: the live connection table with its four option
// boxes, sorting by header clicks, and the right-click menu (filters made
// from a connection, copies of its address and host name, disconnection,
// external commands with the connection's macros). The menu's commands work
// on the rows' copies of the records, taken at the latest redraw. A switch
// shows the same rows grouped by process instead; only the view shown is
// redrawn. A search box beside the switch shows only the rows with its text
// in a column.

#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/app/harlune_engine.h"
#include "core/base/user_dialogs.h"
#include "core/monitor/connection_filter.h"
#include "core/monitor/connection_rows.h"
#include "gui/base/command_template_metatype.h"
#include "gui/widgets/header_columns.h"

class QAction;
class QCheckBox;
class QHeaderView;
class QLineEdit;
class QMenu;
class QRadioButton;
class QStackedWidget;
class QTableView;
class QTimer;
class QVBoxLayout;

namespace harlune {

class ConnectionModel;
class ConnectionProcessView;
class ConnectionSortModel;

class ConnectionPage : public QWidget {
  Q_OBJECT

 public:
  // Opens the filter editor on a record; true (record edited) on OK.
  using FilterEditor = std::function<bool(PacketFilterSetting& record)>;
  // Shows a menu and returns the chosen action, null when none was chosen.
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;

  // The engine's settings are loaded (Initialise) before a page is made.
  ConnectionPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);
  ~ConnectionPage() override;

  // The redraw after a refresh of the table; skipped while the window is
  // hidden and while drawing is stopped. The first time an address column
  // shows an IPv6 address it is widened, when narrower, to fit the longest
  // IPv6 text; later widths are the user's. Columns of IPv4 rows keep the
  // stored widths.
  void Redraw();

  // The width an address column needs for any IPv6 text in the view's font.
  int FullAddressWidth() const;

  // A click on a column header: sorts by it, a second click the other way.
  void ClickHeader(int column);

  // The menu on the selected rows; nothing without a selection.
  void ShowContextMenu(const QPoint& globalPos);

  // The menu's commands.
  void NewFilterFromAddresses(const ConnectionRow& row);
  void NewFilterFromProcess(const ConnectionRow& row);
  void DisconnectSelected();
  void RunExternalCommand(const ConnectionRow& row, std::size_t commandIndex);

  void SetFilterEditor(FilterEditor editor) { editFilter_ = std::move(editor); }
  void SetMenuRunner(MenuRunner runner) { runMenu_ = std::move(runner); }

  QTableView* view() const { return view_; }
  const ConnectionSortModel& rows() const { return *sorted_; }
  QCheckBox* activeOnlyBox() const { return activeOnly_; }
  QCheckBox* pauseBox() const { return pause_; }
  QCheckBox* listeningBox() const { return listening_; }
  QCheckBox* hostNameBox() const { return hostNames_; }
  QLineEdit* searchBox() const { return search_; }
  QRadioButton* connectionsButton() const { return connectionsButton_; }
  QRadioButton* processesButton() const { return processesButton_; }
  ConnectionProcessView* processView() const { return processView_; }

 signals:
  void showPageRequested(int pageIndex);
  void runCommandRequested(harlune::CommandTemplate command);

 private:
  void MakeOptionBoxes();
  void MakeList();
  QLineEdit* MakeSearch();
  void Search(const QString& text);
  void MakeViewSwitch(QVBoxLayout& layout);
  void MakeProcessView();
  void ShowProcesses(bool on);
  bool ShowsProcesses() const;
  QAction* RunMenuHeldStill(QMenu& menu, const QPoint& globalPos);
  void RedrawRows(bool forced);
  void KeepSearchedRows(std::vector<ConnectionRow>& rows, bool resolveHost) const;
  void FitAddressColumns(const std::vector<ConnectionRow>& rows);
  bool Paused() const;
  std::vector<ConnectionRow> SelectedRows() const;
  std::optional<ConnectionRow> MenuRow() const;
  void AddCommandMenu(QMenu& menu, std::vector<std::pair<QAction*, std::size_t>>& commands);
  void OpenMadeFilter(ConnectionFilterResult made);
  void OpenFilterEditor(PacketFilterSetting record);
  void SaveColumns();

  HarluneEngine& engine_;
  UserDialogs& dialogs_;
  ConnectionModel* model_ = nullptr;
  ConnectionSortModel* sorted_ = nullptr;
  QTableView* view_ = nullptr;
  QCheckBox* activeOnly_ = nullptr;
  QCheckBox* pause_ = nullptr;
  QCheckBox* listening_ = nullptr;
  QCheckBox* hostNames_ = nullptr;
  QLineEdit* search_ = nullptr;
  QRadioButton* connectionsButton_ = nullptr;
  QRadioButton* processesButton_ = nullptr;
  QStackedWidget* views_ = nullptr;
  ConnectionProcessView* processView_ = nullptr;
  ConnectionSortOrder order_;
  bool menuOpen_ = false;
  // The address columns already widened for IPv6 text, local then remote.
  std::array<bool, 2> addressColumnFitted_{};
  FilterEditor editFilter_;
  MenuRunner runMenu_;
};

}  // namespace harlune
