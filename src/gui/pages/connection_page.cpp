#include "gui/pages/connection_page.h"

#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "core/command/external_command.h"
#include "core/monitor/connection_filter.h"
#include "core/monitor/host_resolver.h"
#include "gui/base/qt_text.h"
#include "gui/editors/edit_filter_dialog.h"
#include "gui/models/connection_model.h"
#include "gui/pages/connection_menu_texts.h"
#include "gui/pages/connection_process_view.h"
#include "gui/pages/ipv6_address_width.h"
#include "gui/widgets/clipboard.h"
#include "gui/widgets/list_rows.h"
#include "gui/widgets/list_search.h"
#include "gui/widgets/list_shortcuts.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr int kFilterPage = 0;
constexpr int kCommandPage = 5;

constexpr std::string_view kActiveOnlyText = "アクティブな状態のコネクションのみ表示";
constexpr std::string_view kPauseText = "描画を停止";
constexpr std::string_view kListeningText = "Listeningを表示";
constexpr std::string_view kHostNameText = "ホスト名を表示";
constexpr std::string_view kConnectionsViewText = "接続";
constexpr std::string_view kProcessesViewText = "プロセス";

constexpr std::string_view kCopyAddressText = "リモートIPアドレスをコピー(&A)";
constexpr std::string_view kCopyHostText = "リモートホスト名をコピー(&H)";
constexpr std::string_view kDisconnectText = "このコネクションを切断(&D)";
constexpr std::string_view kCommandMenuText = "外部コマンド(&E)";

QCheckBox* OptionBox(std::string_view text, bool checked) {
  auto* box = new QCheckBox(ToQString(text));
  box->setChecked(checked);
  return box;
}

ConnectionMacroValues MacroValuesOf(const ConnectionRow& row) {
  const ConnectionInfo& c = row.connection;
  ConnectionMacroValues values;
  values.localAddr = c.localAddr;
  values.localPort = static_cast<std::uint16_t>(c.localPort & 0xFFFFU);
  values.remoteAddr = c.remoteAddr;
  values.remotePort = static_cast<std::uint16_t>(c.remotePort & 0xFFFFU);
  values.remoteHost = c.remoteHost;
  values.remoteDomain = DomainOfHost(c.remoteHost);
  values.processName = row.processName;
  values.processPath = row.processPath;
  values.processId = c.processId;
  return values;
}

}  // namespace

ConnectionPage::ConnectionPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent)
    : QWidget(parent), engine_(engine), dialogs_(dialogs) {
  runMenu_ = [](QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); };
  editFilter_ = [this](PacketFilterSetting& record) {
    CEditFilterDlg editor(engine_.adapters(), dialogs_, this);
    // Not new: the editor keeps the adapter that owns the connection.
    if (!editor.LoadFromSetting(false, record) || editor.exec() != QDialog::Accepted) {
      return false;
    }
    editor.SaveToSetting(record);
    return true;
  };
  auto* layout = new QVBoxLayout(this);
  MakeList();
  MakeOptionBoxes();
  MakeViewSwitch(*layout);
  auto* options = new QHBoxLayout;
  for (QCheckBox* box : {activeOnly_, pause_, listening_, hostNames_}) {
    options->addWidget(box);
  }
  options->addStretch();
  layout->addLayout(options);
  RedrawRows(true);
}

ConnectionPage::~ConnectionPage() = default;

void ConnectionPage::MakeList() {
  model_ = new ConnectionModel(this);
  sorted_ = new ConnectionSortModel(this);
  sorted_->setSourceModel(model_);
  view_ = new QTableView;
  view_->setModel(sorted_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->setWordWrap(false);
  UseListRows(*view_);
  QHeaderView& header = *view_->horizontalHeader();
  header.setSectionsMovable(true);
  header.setSectionsClickable(true);
  header.setSortIndicatorShown(true);
  header.setSortIndicator(-1, Qt::AscendingOrder);
  const IniFileObject& settings = engine_.settings().general;
  RestoreHeaderColumns(header, settings.LCTCPCONNECTION_COLUMN_SIZE,
                       settings.LCTCPCONNECTION_COLUMN_ORDER);
  SaveHeaderColumnsLater(header, [this] { SaveColumns(); });
  connect(&header, &QHeaderView::sectionClicked, this, &ConnectionPage::ClickHeader);
  connect(view_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { ShowContextMenu(view_->viewport()->mapToGlobal(pos)); });
}

QLineEdit* ConnectionPage::MakeSearch() {
  search_ = MakeSearchBox();
  connect(search_, &QLineEdit::textChanged, this, &ConnectionPage::Search);
  // The list's standard keys come with its search box.
  AddFindShortcut(*this, *search_);
  AddCopyAndSelectAll(*view_);
  return search_;
}

void ConnectionPage::Search(const QString& text) {
  sorted_->SetSearchText(text);
  if (ShowsProcesses()) {
    RedrawRows(true);
  }
  ScrollToCurrent(*view_);
}

void ConnectionPage::MakeViewSwitch(QVBoxLayout& layout) {
  connectionsButton_ = new QRadioButton(ToQString(kConnectionsViewText));
  processesButton_ = new QRadioButton(ToQString(kProcessesViewText));
  connectionsButton_->setChecked(true);
  auto* choice = new QButtonGroup(this);
  auto* buttons = new QHBoxLayout;
  for (QRadioButton* button : {connectionsButton_, processesButton_}) {
    choice->addButton(button);
    buttons->addWidget(button);
  }
  buttons->addStretch();
  buttons->addWidget(MakeSearch());
  layout.addLayout(buttons);
  MakeProcessView();
  views_ = new QStackedWidget;
  views_->addWidget(view_);
  views_->addWidget(processView_);
  layout.addWidget(views_);
  connect(processesButton_, &QRadioButton::toggled, this, &ConnectionPage::ShowProcesses);
}

void ConnectionPage::MakeProcessView() {
  processView_ = new ConnectionProcessView;
  AddCopyAndSelectAll(*processView_->tree());
  processView_->SetMenuRunner(
      [this](QMenu& menu, const QPoint& globalPos) { return RunMenuHeldStill(menu, globalPos); });
  processView_->SetFilterCommands([this](const ConnectionRow& row) { NewFilterFromAddresses(row); },
                                  [this](const ConnectionRow& row) { NewFilterFromProcess(row); });
}

void ConnectionPage::ShowProcesses(bool on) {
  views_->setCurrentWidget(on ? static_cast<QWidget*>(processView_) : view_);
  // The view coming into sight has not been drawn while hidden.
  RedrawRows(true);
}

bool ConnectionPage::ShowsProcesses() const { return views_->currentWidget() == processView_; }

void ConnectionPage::MakeOptionBoxes() {
  IniFileObject& settings = engine_.settings().general;
  activeOnly_ = OptionBox(kActiveOnlyText, settings.SHOW_ACTIVE_CONNECTION_ONLY == 1);
  pause_ = OptionBox(kPauseText, false);
  listening_ = OptionBox(kListeningText, settings.SHOW_LISTENING == 1);
  hostNames_ = OptionBox(kHostNameText, settings.RESOLVE_HOST == 1);
  connect(activeOnly_, &QCheckBox::toggled, this, [this, &settings](bool on) {
    settings.SHOW_ACTIVE_CONNECTION_ONLY = on ? 1 : 0;
    engine_.MarkChanged();
    RedrawRows(false);
  });
  connect(listening_, &QCheckBox::toggled, this, [this, &settings](bool on) {
    settings.SHOW_LISTENING = on ? 1 : 0;
    engine_.MarkChanged();
    RedrawRows(false);
  });
  connect(hostNames_, &QCheckBox::toggled, this, [this, &settings](bool on) {
    settings.RESOLVE_HOST = on ? 1 : 0;
    engine_.resolver().SetResolveHost(on);
    engine_.MarkChanged();
  });
}

void ConnectionPage::Redraw() { RedrawRows(false); }

bool ConnectionPage::Paused() const { return menuOpen_ || pause_->checkState() != Qt::Unchecked; }

void ConnectionPage::RedrawRows(bool forced) {
  if (engine_.windowHidden() || (Paused() && !forced)) {
    return;
  }
  const IniFileObject& settings = engine_.settings().general;
  const ConnectionViewOptions options{settings.SHOW_LISTENING == 1,
                                      settings.SHOW_ACTIVE_CONNECTION_ONLY == 1};
  // Key order here; the sort model keeps the user's order.
  std::vector<ConnectionRow> rows =
      BuildConnectionRows(engine_.connections(), options, ConnectionSortOrder{});
  if (ShowsProcesses()) {
    KeepSearchedRows(rows, settings.RESOLVE_HOST == 1);
    processView_->Update(std::move(rows), settings.RESOLVE_HOST == 1);
    return;
  }
  FitAddressColumns(rows);
  model_->Update(std::move(rows), settings.RESOLVE_HOST == 1);
}

// The process view groups only the connections the search finds, so that a
// process's sums are those of the rows the connection list shows.
void ConnectionPage::KeepSearchedRows(std::vector<ConnectionRow>& rows, bool resolveHost) const {
  const RowTextSearch& search = sorted_->search();
  if (!search.Active()) {
    return;
  }
  std::erase_if(rows, [&search, resolveHost](const ConnectionRow& row) {
    return !search.AnyCellContains(static_cast<int>(kConnectionColumnCount), [&](int column) {
      return ToQString(ConnectionCellText(row, column, resolveHost));
    });
  });
}

void ConnectionPage::FitAddressColumns(const std::vector<ConnectionRow>& rows) {
  constexpr std::array<ConnectionColumn, 2> kAddressColumns{ConnectionColumn::kLocalAddress,
                                                            ConnectionColumn::kRemoteAddress};
  const auto showsIpv6 = [&rows](int column) {
    return std::ranges::any_of(
        rows, [column](const ConnectionRow& row) { return ShowsIpv6Address(row, column); });
  };
  QHeaderView& header = *view_->horizontalHeader();
  for (std::size_t i = 0; i < kAddressColumns.size(); ++i) {
    const int column = static_cast<int>(kAddressColumns[i]);
    if (!addressColumnFitted_[i] && showsIpv6(column)) {
      addressColumnFitted_[i] = true;
      header.resizeSection(column, std::max(header.sectionSize(column), FullAddressWidth()));
    }
  }
}

int ConnectionPage::FullAddressWidth() const { return FullIpv6AddressWidth(*view_); }

void ConnectionPage::ClickHeader(int column) {
  order_.ClickHeader(column);
  sorted_->Apply(order_);
  view_->horizontalHeader()->setSortIndicator(
      column, order_.Ascending() ? Qt::AscendingOrder : Qt::DescendingOrder);
  RedrawRows(true);
}

std::vector<ConnectionRow> ConnectionPage::SelectedRows() const {
  QModelIndexList selected = view_->selectionModel()->selectedRows();
  std::ranges::sort(selected,
                    [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  std::vector<ConnectionRow> rows;
  rows.reserve(static_cast<std::size_t>(selected.size()));
  for (const QModelIndex& index : selected) {
    rows.push_back(sorted_->RowAt(index.row()));
  }
  return rows;
}

std::optional<ConnectionRow> ConnectionPage::MenuRow() const {
  const QItemSelectionModel& selection = *view_->selectionModel();
  if (!selection.hasSelection()) {
    return std::nullopt;
  }
  const QModelIndex current = view_->currentIndex();
  if (current.isValid() && selection.isRowSelected(current.row(), {})) {
    return sorted_->RowAt(current.row());
  }
  return SelectedRows().front();
}

void ConnectionPage::ShowContextMenu(const QPoint& globalPos) {
  const std::optional<ConnectionRow> row = MenuRow();
  if (!row) {
    return;
  }
  QMenu menu(this);
  QAction* fromAddresses = menu.addAction(ToQString(kFilterFromAddressesText));
  QAction* fromProcess = menu.addAction(ToQString(kFilterFromProcessText));
  QAction* copyAddress = menu.addAction(ToQString(kCopyAddressText));
  QAction* copyHost = menu.addAction(ToQString(kCopyHostText));
  QAction* disconnect = menu.addAction(ToQString(kDisconnectText));
  std::vector<std::pair<QAction*, std::size_t>> commands;
  AddCommandMenu(menu, commands);
  QAction* chosen = RunMenuHeldStill(menu, globalPos);
  if (chosen == nullptr) {
    return;
  }
  if (chosen == fromAddresses) {
    NewFilterFromAddresses(*row);
  } else if (chosen == fromProcess) {
    NewFilterFromProcess(*row);
  } else if (chosen == copyAddress) {
    CopyToClipboard(row->connection.remoteAddr.ToText());
  } else if (chosen == copyHost) {
    CopyToClipboard(row->connection.remoteHost);
  } else if (chosen == disconnect) {
    DisconnectSelected();
  }
  for (const auto& [action, index] : commands) {
    if (chosen == action) {
      RunExternalCommand(*row, index);
    }
  }
}

QAction* ConnectionPage::RunMenuHeldStill(QMenu& menu, const QPoint& globalPos) {
  // The list holds still while the menu is open; the third state of the
  // pause box tells the user why.
  const bool wasPaused = pause_->checkState() != Qt::Unchecked;
  if (!wasPaused) {
    pause_->setCheckState(Qt::PartiallyChecked);
  }
  menuOpen_ = true;
  QAction* chosen = runMenu_(menu, globalPos);
  menuOpen_ = false;
  if (!wasPaused) {
    pause_->setCheckState(Qt::Unchecked);
    pause_->setTristate(false);
  }
  return chosen;
}

void ConnectionPage::AddCommandMenu(QMenu& menu,
                                    std::vector<std::pair<QAction*, std::size_t>>& commands) {
  const ExternalCommandIni& list = engine_.settings().commands;
  QMenu* submenu = nullptr;
  for (std::size_t index = 0; index < list.size(); ++index) {
    if (!list[index].OfferedIn(kTargetConnectionMonitor)) {
      continue;
    }
    if (submenu == nullptr) {
      menu.addSeparator();
      submenu = menu.addMenu(ToQString(kCommandMenuText));
    }
    commands.emplace_back(submenu->addAction(ToQString(list[index].Name)), index);
  }
}

void ConnectionPage::NewFilterFromAddresses(const ConnectionRow& row) {
  if (engine_.settings().filters.IsFull()) {
    dialogs_.ShowMessage(kFilterLimitMessage);
    return;
  }
  OpenMadeFilter(FilterForConnectionAddresses(row.connection, engine_.adapters()));
}

void ConnectionPage::NewFilterFromProcess(const ConnectionRow& row) {
  if (engine_.settings().filters.IsFull()) {
    dialogs_.ShowMessage(kFilterLimitMessage);
    return;
  }
  OpenMadeFilter(FilterForConnectionProcess(row.connection, row.processName, engine_.adapters()));
}

void ConnectionPage::OpenMadeFilter(ConnectionFilterResult made) {
  if (!made.record) {
    dialogs_.ShowMessage(made.refusal);
    return;
  }
  OpenFilterEditor(std::move(*made.record));
}

void ConnectionPage::OpenFilterEditor(PacketFilterSetting record) {
  if (!editFilter_ || !editFilter_(record)) {
    return;
  }
  if (engine_.NewFilterFromConnection(record).changed) {
    emit showPageRequested(kFilterPage);
  }
}

void ConnectionPage::DisconnectSelected() {
  for (const ConnectionRow& row : SelectedRows()) {
    // The result is not shown: a connection that survives stays in the
    // list, which tells the user as much.
    engine_.resetter().ResetConnection(KeyOf(row.connection));
  }
  view_->clearSelection();
  RedrawRows(true);
}

void ConnectionPage::RunExternalCommand(const ConnectionRow& row, std::size_t commandIndex) {
  const ExternalCommandIni& list = engine_.settings().commands;
  if (commandIndex >= list.size()) {
    return;
  }
  CommandTemplate command = CommandTemplate::Parse(list[commandIndex].CommandLine);
  FillConnectionMacros(command, MacroValuesOf(row));
  emit showPageRequested(kCommandPage);
  emit runCommandRequested(command);
}

void ConnectionPage::SaveColumns() {
  IniFileObject& settings = engine_.settings().general;
  SaveHeaderColumns(*view_->horizontalHeader(), settings.LCTCPCONNECTION_COLUMN_SIZE,
                    settings.LCTCPCONNECTION_COLUMN_ORDER);
}

}  // namespace harlune
