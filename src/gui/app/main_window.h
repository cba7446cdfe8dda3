#pragma once

// CNetSieveDlg: the main window. It owns the engine and the six pages,
// routes the engine's timers to its ticks, draws what the engine says to
// draw, and carries the menus, the filtering button, the status panes and
// the notification-area icon. It decides nothing the core decides.

#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QToolButton>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/app/engine_services.h"
#include "core/app/harlune_engine.h"
#include "gui/base/qt_tick_scheduler.h"

namespace harlune {

class ConnectionTakeWorker;
class FilterPage;
class HtbPage;
class ConnectionPage;
class ControlPage;
class PacketPage;
class CommandPage;

inline constexpr std::string_view kInstanceName = "Harlune2 Beta";

// Page indexes in tab order.
enum PageIndex : int {
  kFilterPageIndex = 0,
  kHtbPageIndex,
  kConnectionPageIndex,
  kControlPageIndex,
  kPacketPageIndex,
  kCommandPageIndex,
};

class CNetSieveDlg final : public QMainWindow, public EngineView {
  Q_OBJECT

 public:
  CNetSieveDlg(const std::filesystem::path& settingsFolder, EngineServices& services,
               UserDialogs& dialogs, QWidget* parent = nullptr);
  ~CNetSieveDlg() override;

  // The start: loads the settings, builds the pages and starts the engine.
  // False when the program must end (the driver is of the wrong version).
  bool Initialise();

  HarluneEngine& engine() { return *engine_; }
  QTabWidget& tabs() { return *tabs_; }
  FilterPage& filterPage() { return *filterPage_; }
  HtbPage& htbPage() { return *htbPage_; }
  ConnectionPage& connectionPage() { return *connectionPage_; }
  ControlPage& controlPage() { return *controlPage_; }
  PacketPage& packetPage() { return *packetPage_; }
  CommandPage& commandPage() { return *commandPage_; }
  QSystemTrayIcon* trayIcon() { return tray_; }
  QString paneText(int pane) const;
  // The status bar's note of the last refused disconnection; empty while
  // none stands.
  QString disconnectFailureText() const;
  // The status bar's note of drivers that stopped answering; empty while
  // every driver answers.
  QString driverSilenceText() const;
  // The status bar's note that filtering is off while filters or HTB
  // classes are set; empty when none is shown.
  QString filteringOffText() const;
  // The program ends because another driver answered (exit status 1).
  bool EndedForWrongDriver() const { return engine_->EndedForWrongDriver(); }
  QAction* action(int commandId) const;
  QToolButton& filteringButton() { return *filteringButton_; }

  // The close procedure; true when the program is to end.
  bool RunCloseProcedure();
  // Shows a hidden window (the tray's left click, "開く", a second start).
  void ShowFromTray();
  // What a click on the tray icon does: a hidden or minimised window comes
  // back and is raised at once; a shown one is minimised.
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  // Replaces the question whether the desktop has a notification area
  // (tests; the desktop's answer otherwise). It is asked again every few
  // seconds, since a panel can come and go while the program runs.
  void SetTrayAvailability(std::function<bool()> available);
  // Asks again now whether there is a notification area.
  void RecheckTray() { UpdateTrayIcon(); }
  // Whether the close procedure ended the program.
  bool Finished() const { return finished_; }
  // Whether a page is in view: the window shown and the page the current
  // tab. Only such a page is redrawn; the others wait until they come into
  // view, and are redrawn then.
  bool PageShown(int pageIndex) const;

  // EngineView.
  void RedrawStatistics() override;
  void RedrawConnections() override;
  void RedrawPackets() override;
  void FilteringChanged(bool on) override;
  void SessionStarted() override;
  void CloseRequested() override;

 public slots:
  void setVisible(bool visible) override;

 signals:
  // The close procedure ended the program.
  void finished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void BuildMenus();
  void BuildHelpMenu();
  void BuildCaptionBar();
  void BuildPages();
  void BuildStatusBar();
  void ShowDisconnectFailure();
  void ShowDriverSilence();
  void ShowFilteringOff();
  void UpdateTrayIcon();
  void CreateTrayIcon();
  void RemoveTrayIcon();
  void UpdateFilterMenu();
  void OnTimer(EngineTimer timer);
  // The periodic redraw of one page: now when it is in view, else when it
  // comes into view.
  void RedrawPage(int pageIndex);
  void DrawPage(int pageIndex);
  // A page that came into view with data newer than it shows.
  void RedrawIfStale(int pageIndex);
  void CatchUpShownPage();
  // The connection tick's second half, on this thread, with what the
  // worker read.
  void ApplyConnectionTake(ConnectionTake take);
  void OpenOptions();
  void RecordPlacement();
  void RestorePlacement();
  void CorrectForFrame();
  QRect SavedFrame() const;
  bool HidesToTray() const;
  void ShowMinimisedStart();
  QAction* AddCommand(QMenu* menu, const char* text, int commandId);

  UserDialogs& dialogs_;
  QtTickScheduler scheduler_;
  std::unique_ptr<HarluneEngine> engine_;
  // Reads the TCP table and the processes for the connection tick off this
  // thread; stopped before the engine goes.
  ConnectionTakeWorker* connectionTakes_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QToolButton* filteringButton_ = nullptr;
  std::array<QLabel*, 5> panes_{};
  QLabel* failurePane_ = nullptr;
  QLabel* driverPane_ = nullptr;
  QLabel* filteringOffPane_ = nullptr;
  std::uint64_t shownFailureChange_ = 0;
  FilterPage* filterPage_ = nullptr;
  HtbPage* htbPage_ = nullptr;
  ConnectionPage* connectionPage_ = nullptr;
  ControlPage* controlPage_ = nullptr;
  PacketPage* packetPage_ = nullptr;
  CommandPage* commandPage_ = nullptr;
  QPointer<QSystemTrayIcon> tray_;
  std::map<int, QAction*> actions_;
  std::function<bool()> trayAvailable_;
  // The frame rectangle to land on; set again once the window is shown,
  // when the window manager's frame is known.
  QRect restoredFrame_;
  bool placementRestored_ = false;
  bool frameKnown_ = false;  // the restore has seen the window manager's frame
  bool ready_ = false;
  bool finished_ = false;
  // Pages whose data changed while they were out of view.
  std::array<bool, kCommandPageIndex + 1> stalePages_{};
};

}  // namespace harlune
