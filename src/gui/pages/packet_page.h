#pragma once

// PacketPage: the packet monitor page (CTabPacketMonitor). One table per
// list of the engine's packet monitor behind a tab bar, the shown list's
// header text, "描画を停止" (a box that turns indeterminate while a row's
// context menu freezes the display) and "パケットをモニタする". Column
// widths and order follow the user into every list of the same view and
// into the settings; a row's context menu runs the packet monitor's external
// commands on the external command page. The first time a list shows an
// IPv6 packet, the address columns of its view are widened, when narrower,
// to fit any IPv6 text, as a user's resize would be; later widths are the
// user's, and IPv4 rows keep the stored widths. A search box shows only the
// shown list's rows with its text; while it is empty no list is searched.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/app/harlune_engine.h"
#include "core/base/user_dialogs.h"
#include "core/capture/packet_monitor.h"
#include "gui/base/command_template_metatype.h"
#include "gui/models/packet_list_model.h"
#include "gui/models/row_search.h"

namespace harlune {

class PacketPage final : public QWidget, private PacketMonitorObserver {
  Q_OBJECT

 public:
  PacketPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent = nullptr);
  ~PacketPage() override;
  PacketPage(const PacketPage&) = delete;
  PacketPage& operator=(const PacketPage&) = delete;

  // After a capture tick: draws the lists that stored packets undrawn,
  // unless the display is frozen.
  void Redraw();
  // The monitor's lists were built anew (a session start): one table per
  // list again, list 0 shown. The page also follows on its own when the
  // monitor tells it.
  void RebuildLists();

  // Shows a row's context menu on list `index` at a screen position, as a
  // right click does.
  void ShowContextMenu(int index, const QPoint& globalPosition);

  // Runs a context menu and returns the chosen action (null when none);
  // tests replace the default, which tracks the menu at the position.
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPosition)>;
  void SetMenuRunner(MenuRunner runner) { menuRunner_ = std::move(runner); }

  int listCount() const { return static_cast<int>(lists_.size()); }
  QTableView& listView(int index) { return *lists_.at(static_cast<std::size_t>(index)).view; }
  PacketListModel& listModel(int index) {
    return *lists_.at(static_cast<std::size_t>(index)).model;
  }
  QTabBar& tabBar() { return *tabs_; }
  QLabel& headerLabel() { return *header_; }
  QCheckBox& freezeBox() { return *freezeBox_; }
  QCheckBox& captureBox() { return *captureBox_; }
  QLineEdit& searchBox() { return *search_; }
  // The rows of list `index` that its view shows: those of the search
  // while a text is searched for, else the list's own.
  const QAbstractItemModel& shownRows(int index) { return *listView(index).model(); }

 signals:
  void showPageRequested(int pageIndex);
  void runCommandRequested(harlune::CommandTemplate command);

 private:
  struct ListView {
    QTableView* view = nullptr;
    std::unique_ptr<PacketListModel> model;
    // Only while the list is shown with a search text.
    std::unique_ptr<RowSearchModel> search;
  };

  // PacketMonitorObserver.
  void ListsRebuilt() override;
  void FreezeBoxChanged(CheckState state) override;

  void BuildControls();
  QLineEdit* BuildSearchBox();
  void ApplySearch(std::size_t index);
  void EndSearch(std::size_t index);
  void ShowRowsOf(std::size_t index, QAbstractItemModel& rows);
  void DropViews();
  void AddView(std::size_t index);
  void ShowList(int index);
  void ApplyColumns(std::size_t index);
  void ColumnResizedByUser(std::size_t index, int column);
  void ColumnMovedByUser(std::size_t index);
  void StoreResizedColumn();
  void StoreColumnOrder();
  void FitAddressColumns(std::size_t index);
  std::optional<std::uint32_t> SelectedSerial(std::size_t index) const;
  static QAction* TrackMenu(QMenu& menu, const QPoint& globalPosition);

  PacketMonitor& monitor_;
  MenuRunner menuRunner_ = &PacketPage::TrackMenu;

  QLabel* header_ = nullptr;
  QCheckBox* freezeBox_ = nullptr;
  QCheckBox* captureBox_ = nullptr;
  QLineEdit* search_ = nullptr;
  QTabBar* tabs_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  std::vector<ListView> lists_;

  // The user's last column change, stored 30 ms after it ends.
  QTimer widthTimer_;
  QTimer orderTimer_;
  std::size_t resizedList_ = 0;
  int resizedColumn_ = -1;
  std::size_t movedList_ = 0;
  bool movedPending_ = false;
  // Set while the page itself sets widths and order, which are no user's.
  bool applyingColumns_ = false;
  // The views (TCP, then UDP) whose address columns were fitted to IPv6.
  std::array<bool, 2> addressColumnsFitted_{};
};

}  // namespace harlune
