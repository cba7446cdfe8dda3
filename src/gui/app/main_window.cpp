#include "gui/app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <utility>

#include "core/app/status_hints.h"
#include "core/driver/traffic_statistics.h"
#include "gui/app/application_icon.h"
#include "gui/app/connection_take_worker.h"
#include "gui/app/read_me.h"
#include "gui/app/window_placement.h"
#include "gui/base/qt_text.h"
#include "gui/editors/about_dialog.h"
#include "gui/editors/options_dialog.h"
#include "gui/pages/command_page.h"
#include "gui/pages/connection_page.h"
#include "gui/pages/control_page.h"
#include "gui/pages/filter_page.h"
#include "gui/pages/htb_page.h"
#include "gui/pages/packet_page.h"

namespace harlune {
namespace {

// Command ids of the menus, as the settings and the user know them.
enum CommandId : int {
  kSaveSettings = 57603,
  kExit = 57665,
  kNewFilter = 1007,
  kEditFilter = 1033,
  kDeleteFilter = 1004,
  kFilterUp = 1028,
  kFilterDown = 1029,
  kCopyFilter = 1005,
  kToggleFilter = 1032,
  kStartFiltering = 1111,
  kStopFiltering = 113,
  kResetTotals = 32779,
  kOptions = 144,
  kReadMe = 32775,
  kWebSite = 169,
  kAbout = 111,
  kOpen = 135,
};

constexpr const char* kStartCaption = "フィルタリングを開始する";
constexpr const char* kStopCaption = "フィルタリングを停止する";
constexpr int kTabStripMinimumWidth = 600;
// How often the program asks whether the desktop has a notification area.
constexpr int kTrayPollMilliseconds = 3000;

QList<QRect> AvailableScreenAreas() {
  QList<QRect> areas;
  for (const QScreen* screen : QGuiApplication::screens()) {
    areas.append(screen->availableGeometry());
  }
  return areas;
}

}  // namespace

CNetSieveDlg::CNetSieveDlg(const std::filesystem::path& settingsFolder, EngineServices& services,
                           UserDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent),
      dialogs_(dialogs),
      scheduler_([this](EngineTimer timer) { OnTimer(timer); }, this),
      engine_(
          std::make_unique<HarluneEngine>(settingsFolder, services, dialogs, scheduler_, *this)) {
  setWindowTitle(ToQString(kInstanceName));
  setWindowIcon(ApplicationIcon());
  trayAvailable_ = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  connectionTakes_ = new ConnectionTakeWorker(
      [this] { return engine_->ConnectionTickTake(); },
      [this](ConnectionTake take) { ApplyConnectionTake(std::move(take)); }, this);
  auto* trayPoll = new QTimer(this);
  connect(trayPoll, &QTimer::timeout, this, [this] { UpdateTrayIcon(); });
  trayPoll->start(kTrayPollMilliseconds);
}

CNetSieveDlg::~CNetSieveDlg() {
  // A take still running reads through the engine, which goes before the
  // window's children.
  connectionTakes_->Stop();
  // The pages hold references into the engine: they go first.
  delete takeCentralWidget();
}

bool CNetSieveDlg::Initialise() {
  ready_ = true;
  engine_->LoadSettings();
  BuildMenus();
  BuildCaptionBar();
  BuildPages();
  BuildStatusBar();
  restoredFrame_ = SavedFrame();
  RestorePlacement();
  UpdateTrayIcon();
  FilteringChanged(false);
  UpdateFilterMenu();
  return engine_->Start();
}

QAction* CNetSieveDlg::AddCommand(QMenu* menu, const char* text, int commandId) {
  QAction* added = menu->addAction(QString::fromUtf8(text));
  actions_[commandId] = added;
  return added;
}

QAction* CNetSieveDlg::action(int commandId) const {
  const auto found = actions_.find(commandId);
  return found == actions_.end() ? nullptr : found->second;
}

void CNetSieveDlg::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("ファイル(&F)"));
  connect(AddCommand(file, "設定を保存(&S)", kSaveSettings), &QAction::triggered, this,
          [this] { engine_->SaveAllSettings(); });
  file->addSeparator();
  connect(AddCommand(file, "アプリケーションの終了(&X)", kExit), &QAction::triggered, this,
          [this] { RunCloseProcedure(); });

  QMenu* filter = menuBar()->addMenu(QStringLiteral("フィルタ(&I)"));
  AddCommand(filter, "新規作成(&N)...", kNewFilter);
  filter->addSeparator();
  AddCommand(filter, "編集(&E)...", kEditFilter);
  AddCommand(filter, "削除(&D)", kDeleteFilter);
  AddCommand(filter, "上へ(&U)", kFilterUp);
  AddCommand(filter, "下へ(&W)", kFilterDown);
  AddCommand(filter, "複製(&C)", kCopyFilter);
  AddCommand(filter, "有効/無効(&V)", kToggleFilter);

  QMenu* operation = menuBar()->addMenu(QStringLiteral("操作(&A)"));
  connect(AddCommand(operation, "フィルタリング開始(&S)", kStartFiltering), &QAction::triggered,
          this, [this] { engine_->ToggleFiltering(); });
  connect(AddCommand(operation, "フィルタリング終了(&E)", kStopFiltering), &QAction::triggered,
          this, [this] { engine_->StopFiltering(); });
  connect(AddCommand(operation, "総転送量を初期化(&T)", kResetTotals), &QAction::triggered, this,
          [this] { engine_->ResetTotals(); });

  QMenu* tools = menuBar()->addMenu(QStringLiteral("ツール(&T)"));
  connect(AddCommand(tools, "オプション(&O)...", kOptions), &QAction::triggered, this,
          [this] { OpenOptions(); });
  BuildHelpMenu();
}

void CNetSieveDlg::BuildHelpMenu() {
  QMenu* help = menuBar()->addMenu(QStringLiteral("ヘルプ(&H)"));
  connect(AddCommand(help, "ReadMeを読む(&R)", kReadMe), &QAction::triggered, this, [this] {
    OpenReadMe(InstalledDocumentationFolder(), dialogs_,
               [](const QUrl& url) { return QDesktopServices::openUrl(url); });
  });
  connect(AddCommand(help, "開発元Webサイトへ行く(&O)", kWebSite), &QAction::triggered, this,
          [] { QDesktopServices::openUrl(QUrl(ToQString(kMakerWebPage))); });
  help->addSeparator();
  connect(AddCommand(help, "バージョン情報(&A)...", kAbout), &QAction::triggered, this, [this] {
    CAboutDlg about(this);
    about.exec();
  });
}

void CNetSieveDlg::BuildCaptionBar() {
  QToolBar* bar = addToolBar(QStringLiteral("caption"));
  bar->setMovable(false);
  filteringButton_ = new QToolButton(bar);
  filteringButton_->setCheckable(true);
  filteringButton_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  bar->addWidget(filteringButton_);
  connect(filteringButton_, &QToolButton::clicked, this, [this] { engine_->ToggleFiltering(); });
}

void CNetSieveDlg::BuildPages() {
  HarluneEngine& engine = *engine_;
  tabs_ = new QTabWidget(this);
  tabs_->tabBar()->setMinimumWidth(kTabStripMinimumWidth);
  filterPage_ = new FilterPage(engine, dialogs_);
  htbPage_ = new HtbPage(engine, dialogs_);
  connectionPage_ = new ConnectionPage(engine, dialogs_);
  controlPage_ = new ControlPage(engine, dialogs_);
  packetPage_ = new PacketPage(engine, dialogs_);
  commandPage_ = new CommandPage(engine, dialogs_);
  tabs_->addTab(filterPage_, QStringLiteral("  フィルタ  "));
  tabs_->addTab(htbPage_, QStringLiteral("  HTB  "));
  tabs_->addTab(connectionPage_, QStringLiteral("  TCPコネクションモニタ  "));
  tabs_->addTab(controlPage_, QStringLiteral("  TCPコネクション操作  "));
  tabs_->addTab(packetPage_, QStringLiteral("  パケットモニタ  "));
  tabs_->addTab(commandPage_, QStringLiteral("  外部コマンド  "));
  setCentralWidget(tabs_);

  const auto showPage = [this](int index) { tabs_->setCurrentIndex(index); };
  const auto runCommand = [this](const CommandTemplate& command) {
    tabs_->setCurrentIndex(kCommandPageIndex);
    commandPage_->RunTemplate(command);
  };
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) { RedrawIfStale(index); });
  connect(connectionPage_, &ConnectionPage::showPageRequested, this, showPage);
  connect(connectionPage_, &ConnectionPage::runCommandRequested, this, runCommand);
  connect(packetPage_, &PacketPage::showPageRequested, this, showPage);
  connect(packetPage_, &PacketPage::runCommandRequested, this, runCommand);

  connect(action(kNewFilter), &QAction::triggered, filterPage_, &FilterPage::NewFilter);
  connect(action(kEditFilter), &QAction::triggered, filterPage_, &FilterPage::EditFilter);
  connect(action(kDeleteFilter), &QAction::triggered, filterPage_, &FilterPage::DeleteFilters);
  connect(action(kFilterUp), &QAction::triggered, filterPage_, &FilterPage::Up);
  connect(action(kFilterDown), &QAction::triggered, filterPage_, &FilterPage::Down);
  connect(action(kCopyFilter), &QAction::triggered, filterPage_, &FilterPage::Copy);
  connect(action(kToggleFilter), &QAction::triggered, filterPage_, &FilterPage::ToggleAvailable);
  connect(filterPage_, &FilterPage::selectionChanged, this, [this] { UpdateFilterMenu(); });
}

void CNetSieveDlg::BuildStatusBar() {
  const TrafficStatistics& statistics = engine_->statistics();
  const StatusPaneTexts texts = statistics.PaneTexts();
  const std::array<std::string, 5> initial = {
      std::string(kTotalPaneText), texts.sendRate, texts.receiveRate,
      std::string(kInitialSentTotalPaneText), std::string(kInitialReceivedTotalPaneText)};
  for (std::size_t i = 0; i < panes_.size(); ++i) {
    panes_[i] = new QLabel(ToQString(initial[i]), this);
    panes_[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    statusBar()->addWidget(panes_[i], i == 0 ? 0 : 1);
  }
  // Beside the panes rather than a temporary message, which would hide
  // the rates while it shows.
  failurePane_ = new QLabel(this);
  failurePane_->setStyleSheet(QStringLiteral("color: #b00000;"));
  failurePane_->hide();
  statusBar()->addPermanentWidget(failurePane_);
  driverPane_ = new QLabel(this);
  driverPane_->setStyleSheet(QStringLiteral("color: #b00000;"));
  driverPane_->hide();
  statusBar()->addPermanentWidget(driverPane_);
  filteringOffPane_ = new QLabel(this);
  filteringOffPane_->hide();
  statusBar()->addPermanentWidget(filteringOffPane_);
}

// Looked at after every statistics tick and every switch of filtering, so
// the note follows filters and HTB classes made or removed within a tick.
void CNetSieveDlg::ShowFilteringOff() {
  if (filteringOffPane_ == nullptr) {
    return;
  }
  const Settings& settings = engine_->settings();
  const QString text = ToQString(
      FilteringOffNote(engine_->filtering(), settings.filters.Size(), HasHtbClasses(settings.htb)));
  if (text != filteringOffPane_->text()) {
    filteringOffPane_->setText(text);
    filteringOffPane_->setVisible(!text.isEmpty());
  }
}

QString CNetSieveDlg::filteringOffText() const {
  return filteringOffPane_ == nullptr ? QString() : filteringOffPane_->text();
}

// Looked at after every statistics tick, so that the note comes within a
// tick of the driver going silent and goes when the session is healed.
void CNetSieveDlg::ShowDriverSilence() {
  const QString text = ToQString(DriverSilentNote(engine_->SilentAdapters()));
  if (text == driverPane_->text()) {
    return;
  }
  driverPane_->setText(text);
  driverPane_->setVisible(!text.isEmpty());
  RedrawPage(kFilterPageIndex);
}

QString CNetSieveDlg::driverSilenceText() const {
  return driverPane_ == nullptr ? QString() : driverPane_->text();
}

// Looked at after every connection tick, and redrawn only when the last
// refused disconnection changed: the note stays while it stands and goes
// when a disconnection of its rule succeeds, so a refusal repeated every
// second is shown once.
void CNetSieveDlg::ShowDisconnectFailure() {
  controlPage_->ShowDisconnectFailures();
  const DisconnectFailureReport& report = engine_->control().LastDisconnectFailure();
  if (report.changeCount == shownFailureChange_) {
    return;
  }
  shownFailureChange_ = report.changeCount;
  if (!report.last) {
    failurePane_->clear();
    failurePane_->hide();
    return;
  }
  const QString text = ToQString(DisconnectFailureText(*report.last));
  failurePane_->setText(text);
  failurePane_->setToolTip(text);
  failurePane_->show();
}

QString CNetSieveDlg::disconnectFailureText() const {
  return failurePane_ == nullptr ? QString() : failurePane_->text();
}

QString CNetSieveDlg::paneText(int pane) const {
  return pane >= 0 && pane < static_cast<int>(panes_.size())
             ? panes_[static_cast<std::size_t>(pane)]->text()
             : QString();
}

void CNetSieveDlg::SetTrayAvailability(std::function<bool()> available) {
  trayAvailable_ = std::move(available);
  UpdateTrayIcon();
}

// Hiding needs an icon to come back by; without one the window only
// minimises, so the window manager keeps listing it.
bool CNetSieveDlg::HidesToTray() const { return tray_ != nullptr && trayAvailable_(); }

void CNetSieveDlg::UpdateTrayIcon() {
  const bool wanted = engine_->settings().general.NOICON != 1 && trayAvailable_();
  if (!wanted) {
    RemoveTrayIcon();
  } else if (tray_ == nullptr) {
    CreateTrayIcon();
  }
}

void CNetSieveDlg::RemoveTrayIcon() {
  if (tray_ == nullptr) {
    return;
  }
  tray_->hide();
  tray_->deleteLater();
  tray_ = nullptr;
  // A window hidden in a tray that went would be lost: it comes back
  // minimised, where the window manager lists it.
  if (ready_ && !finished_ && !isVisible()) {
    ShowMinimisedStart();
  }
}

void CNetSieveDlg::CreateTrayIcon() {
  tray_ = new QSystemTrayIcon(ApplicationIcon(), this);
  tray_->setToolTip(QStringLiteral("Harlune"));
  auto* menu = new QMenu(this);
  QAction* start = menu->addAction(QStringLiteral("フィルタリング開始(&S)"));
  QAction* stop = menu->addAction(QStringLiteral("フィルタリング終了(&E)"));
  QAction* open = menu->addAction(QStringLiteral("開く(&O)"));
  menu->addSeparator();
  QAction* exit = menu->addAction(QStringLiteral("終了(&E)"));
  actions_[kOpen] = open;
  connect(start, &QAction::triggered, this, [this] { engine_->StartFiltering(); });
  connect(stop, &QAction::triggered, this, [this] { engine_->StopFiltering(); });
  connect(open, &QAction::triggered, this, [this] { ShowFromTray(); });
  connect(exit, &QAction::triggered, this, [this] { RunCloseProcedure(); });
  connect(menu, &QMenu::aboutToShow, this, [this, start, stop] {
    start->setEnabled(!engine_->filtering());
    stop->setEnabled(engine_->filtering());
  });
  tray_->setContextMenu(menu);
  // The icon comes again when a tray reappears: its menu goes with it.
  connect(tray_, &QObject::destroyed, menu, &QObject::deleteLater);
  connect(tray_, &QSystemTrayIcon::activated, this, &CNetSieveDlg::OnTrayActivated);
  tray_->show();
}

void CNetSieveDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger) {
    return;
  }
  // Asked of the window itself, not only of the engine's note, which a
  // minimised start or a pending hide can leave behind the window.
  if (!isVisible() || isMinimized() || engine_->windowHidden() || engine_->startHidden()) {
    ShowFromTray();
  } else {
    showMinimized();
  }
}

void CNetSieveDlg::UpdateFilterMenu() {
  const bool selected = filterPage_ != nullptr && filterPage_->HasSelection();
  for (const int id :
       {kEditFilter, kDeleteFilter, kFilterUp, kFilterDown, kCopyFilter, kToggleFilter}) {
    action(id)->setEnabled(selected);
  }
}

void CNetSieveDlg::OnTimer(EngineTimer timer) {
  switch (timer) {
    case EngineTimer::kCapture:
      return engine_->CaptureTick();
    case EngineTimer::kStatistics:
      engine_->StatisticsTick();
      ShowFilteringOff();
      return ShowDriverSilence();
    case EngineTimer::kStartHidden:
      return engine_->StartHiddenTick(isVisible());
    case EngineTimer::kConnections:
      // The read runs on the worker; a tick while it still runs is skipped.
      connectionTakes_->Start();
      return;
    case EngineTimer::kAdapters:
      return engine_->AdapterTick();
    case EngineTimer::kAutoSave:
      return engine_->AutoSaveTick();
    case EngineTimer::kLogFlush:
      return engine_->LogFlushTick();
  }
}

void CNetSieveDlg::ApplyConnectionTake(ConnectionTake take) {
  if (finished_) {
    return;
  }
  engine_->ConnectionTickApply(std::move(take));
  ShowDisconnectFailure();
}

void CNetSieveDlg::OpenOptions() {
  IniFileObject& settings = engine_->settings().general;
  COptionsDlg options(settings, dialogs_, this);
  options.performance()->ShowPortMappingOption(engine_->PortMappingApplies());
  if (options.exec() != QDialog::Accepted) {
    return;
  }
  engine_->ApplyGeneralSettings();
  UpdateTrayIcon();
  engine_->SaveGeneralSettings();
}

bool CNetSieveDlg::PageShown(int pageIndex) const {
  return tabs_ != nullptr && !engine_->windowHidden() && !isMinimized() &&
         tabs_->currentIndex() == pageIndex;
}

void CNetSieveDlg::RedrawPage(int pageIndex) {
  if (pageIndex < 0 || pageIndex >= static_cast<int>(stalePages_.size())) {
    return;
  }
  if (!PageShown(pageIndex)) {
    stalePages_[static_cast<std::size_t>(pageIndex)] = true;
    return;
  }
  stalePages_[static_cast<std::size_t>(pageIndex)] = false;
  DrawPage(pageIndex);
}

void CNetSieveDlg::RedrawIfStale(int pageIndex) {
  if (pageIndex >= 0 && pageIndex < static_cast<int>(stalePages_.size()) &&
      stalePages_[static_cast<std::size_t>(pageIndex)]) {
    RedrawPage(pageIndex);
  }
}

// Nothing was drawn while the window was hidden: the page in view catches
// up at once, the others when they come into view.
void CNetSieveDlg::CatchUpShownPage() {
  if (tabs_ == nullptr) {
    return;
  }
  stalePages_.fill(true);
  RedrawIfStale(tabs_->currentIndex());
}

void CNetSieveDlg::DrawPage(int pageIndex) {
  switch (pageIndex) {
    case kFilterPageIndex:
      return filterPage_->Redraw();
    case kHtbPageIndex:
      return htbPage_->Redraw();
    case kConnectionPageIndex:
      return connectionPage_->Redraw();
    case kPacketPageIndex:
      return packetPage_->Redraw();
    default:
      return;  // the rule and command pages draw on their own changes
  }
}

void CNetSieveDlg::RedrawStatistics() {
  RedrawPage(kFilterPageIndex);
  RedrawPage(kHtbPageIndex);
  const StatusPaneTexts texts = engine_->statistics().PaneTexts();
  panes_[1]->setText(ToQString(texts.sendRate));
  panes_[2]->setText(ToQString(texts.receiveRate));
  panes_[3]->setText(ToQString(texts.sentTotal));
  panes_[4]->setText(ToQString(texts.receivedTotal));
}

void CNetSieveDlg::RedrawConnections() {
  if (connectionPage_ != nullptr) {
    RedrawPage(kConnectionPageIndex);
  }
}

void CNetSieveDlg::RedrawPackets() {
  if (packetPage_ != nullptr) {
    RedrawPage(kPacketPageIndex);
  }
}

void CNetSieveDlg::FilteringChanged(bool on) {
  if (filteringButton_ == nullptr) {
    return;
  }
  filteringButton_->setChecked(on);
  filteringButton_->setText(QString::fromUtf8(on ? kStopCaption : kStartCaption));
  action(kStartFiltering)->setEnabled(!on);
  action(kStopFiltering)->setEnabled(on);
  ShowFilteringOff();
}

void CNetSieveDlg::SessionStarted() {
  if (htbPage_ != nullptr) {
    htbPage_->RebuildTree();
    packetPage_->RebuildLists();
    filterPage_->Redraw();
  }
}

void CNetSieveDlg::CloseRequested() {
  // The engine is inside a tick: the procedure runs once the tick is over.
  QTimer::singleShot(0, this, [this] { RunCloseProcedure(); });
}

bool CNetSieveDlg::RunCloseProcedure() {
  if (finished_ || !engine_->Close()) {
    return finished_;
  }
  connectionTakes_->Stop();
  if (tray_ != nullptr) {
    tray_->hide();
  }
  commandPage_->CloseAndWait();
  finished_ = true;
  QMainWindow::setVisible(false);
  emit finished();
  return true;
}

void CNetSieveDlg::ShowFromTray() {
  engine_->StartHiddenTick(true);
  showNormal();
  raise();
  activateWindow();
  engine_->SetWindowHidden(false);
  CatchUpShownPage();
}

void CNetSieveDlg::setVisible(bool visible) {
  if (visible && finished_) {
    return;
  }
  // During a minimised start the window stays hidden whatever asks, or
  // only minimised when there is no notification area to come back from.
  if (visible && engine_ != nullptr && engine_->startHidden()) {
    if (!HidesToTray()) {
      ShowMinimisedStart();
    }
    return;
  }
  QMainWindow::setVisible(visible);
}

void CNetSieveDlg::ShowMinimisedStart() {
  if (isVisible()) {
    return;
  }
  setWindowState(windowState() | Qt::WindowMinimized);
  QMainWindow::setVisible(true);
}

void CNetSieveDlg::closeEvent(QCloseEvent* event) {
  if (finished_) {
    event->accept();
    return;
  }
  event->ignore();
  if (engine_->settings().general.CLOSE_BUTTON_ACTION == 1) {
    showMinimized();
    return;
  }
  RunCloseProcedure();
}

void CNetSieveDlg::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    engine_->SetWindowHidden(true);
    // Minimised, the window leaves the task bar and lives in the tray;
    // asked again when the hide comes, as the tray may have gone.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && HidesToTray()) {
        QMainWindow::setVisible(false);
      }
    });
  } else if (event->type() == QEvent::WindowStateChange && isVisible() && !engine_->startHidden() &&
             engine_->windowHidden()) {
    // Back from a minimised window that stayed in the task bar.
    engine_->SetWindowHidden(false);
    CatchUpShownPage();
  }
}

void CNetSieveDlg::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  engine_->SetWindowHidden(engine_->startHidden() || isMinimized());
  if (ready_) {
    CatchUpShownPage();
  }
  if (!placementRestored_ && ready_) {
    // Now and once the frame has come, since the window manager may add it
    // after the window is shown.
    placementRestored_ = true;
    RestorePlacement();
    for (const int delay : {0, 100, 500}) {
      QTimer::singleShot(delay, this, [this] { CorrectForFrame(); });
    }
  }
}

void CNetSieveDlg::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  engine_->SetWindowHidden(true);
}

// The saved frame rectangle, moved onto the screens there are now; the
// first start centres the window on the screen with the pointer.
QRect CNetSieveDlg::SavedFrame() const {
  const WindowRectangle& saved = engine_->settings().general.WINDOW_SIZE;
  const QRect frame(QPoint(saved.left, saved.top), QPoint(saved.right - 1, saved.bottom - 1));
  if (saved == WindowRectangle{}) {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr) {
      screen = QGuiApplication::primaryScreen();
    }
    return screen == nullptr ? frame : CentredIn(frame.size(), screen->availableGeometry());
  }
  return FitOntoScreens(frame, AvailableScreenAreas());
}

// The saved rectangle is the frame: move() takes frame coordinates, and
// the client is the frame less what the window manager adds around it.
void CNetSieveDlg::RestorePlacement() {
  if (restoredFrame_.isEmpty() || isMinimized() || isMaximized()) {
    return;
  }
  const QSize decoration = frameGeometry().size() - geometry().size();
  frameKnown_ = frameKnown_ || !decoration.isNull();
  move(restoredFrame_.topLeft());
  resize(restoredFrame_.size() - decoration);
  // The window's minimum size can make it larger than the saved frame and
  // push it off the screen again.
  const QRect shown = frameGeometry();
  const QRect fitted = FitOntoScreens(shown, AvailableScreenAreas());
  if (fitted.topLeft() != shown.topLeft()) {
    move(fitted.topLeft());
  }
}

// The window manager adds its frame some time after the window is shown
// (seen under openbox: after the next turn of the loop). Until then the
// client was given the whole saved frame, so it is made smaller once.
void CNetSieveDlg::CorrectForFrame() {
  if (frameKnown_ || !placementRestored_ || frameGeometry().size() == geometry().size()) {
    return;
  }
  RestorePlacement();
}

void CNetSieveDlg::RecordPlacement() {
  if (!ready_ || isMinimized() || isMaximized()) {
    return;
  }
  const QRect frame = frameGeometry();
  WindowRectangle& placement = engine_->settings().general.WINDOW_SIZE;
  placement = {frame.left(), frame.top(), frame.left() + frame.width(),
               frame.top() + frame.height()};
}

void CNetSieveDlg::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  CorrectForFrame();
  const QRect frame = frameGeometry();
  if (frame.left() + frame.width() >= 0 && frame.top() >= 0) {
    RecordPlacement();
  }
}

void CNetSieveDlg::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  CorrectForFrame();
  RecordPlacement();
}

}  // namespace harlune
