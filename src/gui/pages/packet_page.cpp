#include "gui/pages/packet_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <utility>

#include "gui/base/qt_text.h"
#include "gui/pages/ipv6_address_width.h"
#include "gui/widgets/list_rows.h"
#include "gui/widgets/list_search.h"
#include "gui/widgets/list_shortcuts.h"

namespace harlune {
namespace {

constexpr std::chrono::milliseconds kColumnSaveDelay{30};
constexpr int kCommandPageIndex = 5;

Qt::CheckState ToQt(CheckState state) {
  switch (state) {
    case CheckState::kChecked:
      return Qt::Checked;
    case CheckState::kIndeterminate:
      return Qt::PartiallyChecked;
    case CheckState::kUnchecked:
      break;
  }
  return Qt::Unchecked;
}

CheckState FromQt(Qt::CheckState state) {
  switch (state) {
    case Qt::Checked:
      return CheckState::kChecked;
    case Qt::PartiallyChecked:
      return CheckState::kIndeterminate;
    case Qt::Unchecked:
      break;
  }
  return CheckState::kUnchecked;
}

QTableView* MakeTable() {
  auto* table = new QTableView;
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setWordWrap(false);
  table->setContextMenuPolicy(Qt::CustomContextMenu);
  UseListRows(*table);
  table->horizontalHeader()->setSectionsMovable(true);
  table->horizontalHeader()->setMinimumSectionSize(0);
  table->horizontalHeader()->setHighlightSections(false);
  return table;
}

}  // namespace

PacketPage::PacketPage(HarluneEngine& engine, UserDialogs& /*dialogs*/, QWidget* parent)
    : QWidget(parent), monitor_(engine.packets()) {
  BuildControls();
  widthTimer_.setSingleShot(true);
  widthTimer_.setInterval(kColumnSaveDelay);
  connect(&widthTimer_, &QTimer::timeout, this, [this] { StoreResizedColumn(); });
  orderTimer_.setSingleShot(true);
  orderTimer_.setInterval(kColumnSaveDelay);
  connect(&orderTimer_, &QTimer::timeout, this, [this] { StoreColumnOrder(); });
  monitor_.SetObserver(this);
  RebuildLists();
  FreezeBoxChanged(monitor_.FreezeBox());
}

PacketPage::~PacketPage() { monitor_.SetObserver(nullptr); }

void PacketPage::BuildControls() {
  header_ = new QLabel(QStringLiteral("フィルタの説明"));
  freezeBox_ = new QCheckBox(ToQString(kFreezeBoxText));
  captureBox_ = new QCheckBox(ToQString(kCaptureBoxText));
  captureBox_->setChecked(monitor_.Capturing());
  tabs_ = new QTabBar;
  tabs_->setExpanding(false);
  tabs_->setUsesScrollButtons(true);
  stack_ = new QStackedWidget;

  auto* top = new QHBoxLayout;
  top->addWidget(header_, 1);
  top->addWidget(BuildSearchBox());
  top->addWidget(freezeBox_);
  top->addWidget(captureBox_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(5, 5, 5, 0);
  layout->addLayout(top);
  layout->addWidget(tabs_);
  layout->addWidget(stack_, 1);

  // A user's click only ever checks or unchecks; the indeterminate state is
  // the context menu's.
  connect(freezeBox_, &QCheckBox::clicked, this, [this](bool checked) {
    monitor_.ClickFreezeBox(checked ? CheckState::kChecked : CheckState::kUnchecked);
  });
  connect(captureBox_, &QCheckBox::clicked, this,
          [this] { monitor_.ClickCaptureBox(FromQt(captureBox_->checkState())); });
  connect(tabs_, &QTabBar::currentChanged, this, [this](int index) { ShowList(index); });
}

QLineEdit* PacketPage::BuildSearchBox() {
  search_ = MakeSearchBox();
  AddFindShortcut(*this, *search_);
  connect(search_, &QLineEdit::textChanged, this, [this] {
    if (monitor_.SelectedList() < lists_.size()) {
      ApplySearch(monitor_.SelectedList());
    }
  });
  return search_;
}

// The search runs on the shown list only: hidden lists keep their own rows
// and cost nothing until they are shown.
void PacketPage::ApplySearch(std::size_t index) {
  ListView& list = lists_[index];
  const QString text = RowTextSearch::Searched(search_->text());
  if (text.isEmpty()) {
    EndSearch(index);
    return;
  }
  if (list.search) {
    list.search->SetText(text);
    ScrollToCurrent(*list.view);
    return;
  }
  list.search = std::make_unique<RowSearchModel>();
  list.search->SetText(text);
  list.search->setSourceModel(list.model.get());
  ShowRowsOf(index, *list.search);
}

void PacketPage::EndSearch(std::size_t index) {
  ListView& list = lists_[index];
  if (list.search) {
    ShowRowsOf(index, *list.model);
    list.search.reset();
  }
}

void PacketPage::ShowRowsOf(std::size_t index, QAbstractItemModel& rows) {
  // Both models have the same columns, so the header keeps its widths and
  // order, also a change of the user's not stored yet; nothing it reports
  // meanwhile is the user's.
  applyingColumns_ = true;
  ShowModelKeepingSelection(*lists_[index].view, rows);
  applyingColumns_ = false;
}

void PacketPage::Redraw() { monitor_.RedrawAll(); }

void PacketPage::RebuildLists() {
  widthTimer_.stop();
  orderTimer_.stop();
  resizedColumn_ = -1;
  movedPending_ = false;
  const QSignalBlocker blockTabs(tabs_);
  DropViews();
  for (std::size_t i = 0; i < monitor_.ListCount(); ++i) {
    AddView(i);
    tabs_->addTab(ToQString(monitor_.TabText(i)));
  }
  tabs_->setCurrentIndex(0);
  ShowList(0);
}

void PacketPage::ListsRebuilt() {
  // The old lists are gone already: the models must not reach them.
  for (ListView& list : lists_) {
    list.model->Detach();
  }
  RebuildLists();
}

void PacketPage::DropViews() {
  for (ListView& list : lists_) {
    stack_->removeWidget(list.view);
    delete list.view;
  }
  lists_.clear();
  while (tabs_->count() > 0) {
    tabs_->removeTab(tabs_->count() - 1);
  }
}

void PacketPage::AddView(std::size_t index) {
  ListView list;
  list.view = MakeTable();
  list.model = std::make_unique<PacketListModel>(monitor_.List(index));
  list.view->setModel(list.model.get());
  QHeaderView* header = list.view->horizontalHeader();
  connect(header, &QHeaderView::sectionResized, this,
          [this, index](int column) { ColumnResizedByUser(index, column); });
  connect(header, &QHeaderView::sectionMoved, this, [this, index] { ColumnMovedByUser(index); });
  connect(list.model.get(), &PacketListModel::columnsChanged, this,
          [this, index] { ApplyColumns(index); });
  connect(list.model.get(), &PacketListModel::firstIpv6RowShown, this,
          [this, index] { FitAddressColumns(index); });
  connect(list.view, &QWidget::customContextMenuRequested, this, [this, index](QPoint at) {
    ShowContextMenu(static_cast<int>(index), lists_[index].view->viewport()->mapToGlobal(at));
  });
  AddCopyAndSelectAll(*list.view);
  stack_->addWidget(list.view);
  lists_.push_back(std::move(list));
  ApplyColumns(index);
}

void PacketPage::ShowList(int index) {
  if (index < 0 || !monitor_.SelectList(static_cast<std::size_t>(index))) {
    return;
  }
  for (std::size_t other = 0; other < lists_.size(); ++other) {
    if (other != static_cast<std::size_t>(index)) {
      EndSearch(other);
    }
  }
  ApplySearch(static_cast<std::size_t>(index));
  stack_->setCurrentIndex(index);
  header_->setText(ToQString(monitor_.HeaderText(static_cast<std::size_t>(index))));
}

void PacketPage::ApplyColumns(std::size_t index) {
  const PacketList& list = monitor_.List(index);
  QHeaderView* header = lists_[index].view->horizontalHeader();
  applyingColumns_ = true;
  const auto& widths = list.ColumnWidths();
  for (std::size_t column = 0; column < widths.size(); ++column) {
    header->resizeSection(static_cast<int>(column), widths[column]);
  }
  const auto& order = list.ColumnOrder();
  for (std::size_t visual = 0; visual < order.size(); ++visual) {
    const int from = header->visualIndex(order[visual]);
    if (from != static_cast<int>(visual)) {
      header->moveSection(from, static_cast<int>(visual));
    }
  }
  applyingColumns_ = false;
}

void PacketPage::ColumnResizedByUser(std::size_t index, int column) {
  if (applyingColumns_) {
    return;
  }
  // The header reports every step of a drag: the width is taken once the
  // steps have stopped.
  resizedList_ = index;
  resizedColumn_ = column;
  widthTimer_.start();
}

void PacketPage::ColumnMovedByUser(std::size_t index) {
  if (applyingColumns_) {
    return;
  }
  movedList_ = index;
  movedPending_ = true;
  orderTimer_.start();
}

void PacketPage::StoreResizedColumn() {
  if (resizedColumn_ < 0 || resizedList_ >= lists_.size()) {
    return;
  }
  const int column = std::exchange(resizedColumn_, -1);
  const int width = lists_[resizedList_].view->horizontalHeader()->sectionSize(column);
  monitor_.ColumnResized(resizedList_, static_cast<std::size_t>(column), width);
}

void PacketPage::StoreColumnOrder() {
  if (!std::exchange(movedPending_, false) || movedList_ >= lists_.size()) {
    return;
  }
  const QHeaderView* header = lists_[movedList_].view->horizontalHeader();
  std::vector<std::int32_t> order;
  for (int visual = 0; visual < header->count(); ++visual) {
    order.push_back(header->logicalIndex(visual));
  }
  monitor_.ColumnsReordered(movedList_, order);
}

void PacketPage::FitAddressColumns(std::size_t index) {
  const PacketView view = monitor_.List(index).View();
  bool& fitted = addressColumnsFitted_[view == PacketView::kTcp ? 0 : 1];
  if (fitted || index >= lists_.size()) {
    return;
  }
  fitted = true;
  const int full = FullIpv6AddressWidth(*lists_[index].view);
  for (const PacketColumn column :
       {PacketColumn::kSourceAddress, PacketColumn::kDestinationAddress}) {
    const auto at = static_cast<std::size_t>(column);
    // Through the monitor, so that every list of the view and the settings
    // follow, as after the user's resize.
    if (monitor_.List(index).ColumnWidths()[at] < full) {
      monitor_.ColumnResized(index, at, full);
    }
  }
}

void PacketPage::FreezeBoxChanged(CheckState state) {
  const QSignalBlocker block(freezeBox_);
  // Tri-state only while indeterminate, so that a click never lands there.
  freezeBox_->setTristate(state == CheckState::kIndeterminate);
  freezeBox_->setCheckState(ToQt(state));
}

std::optional<std::uint32_t> PacketPage::SelectedSerial(std::size_t index) const {
  const ListView& list = lists_[index];
  QModelIndexList rows = list.view->selectionModel()->selectedRows();
  if (rows.isEmpty()) {
    return std::nullopt;
  }
  // The search keeps the list's order: the top row seen is the top row.
  const auto first = std::min_element(
      rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.row() < b.row(); });
  const int row = list.search ? list.search->mapToSource(*first).row() : first->row();
  return list.model->SerialAt(row);
}

QAction* PacketPage::TrackMenu(QMenu& menu, const QPoint& globalPosition) {
  return menu.exec(globalPosition);
}

void PacketPage::ShowContextMenu(int index, const QPoint& globalPosition) {
  if (index < 0 || static_cast<std::size_t>(index) >= lists_.size()) {
    return;
  }
  const auto list = static_cast<std::size_t>(index);
  if (!monitor_.OpenContextMenu(list, SelectedSerial(list))) {
    return;
  }
  QMenu menu(this);
  QMenu* commands = menu.addMenu(ToQString(kExternalCommandMenuText));
  const std::vector<PacketMenuCommand> offered = monitor_.MenuCommands();
  for (const PacketMenuCommand& command : offered) {
    commands->addAction(ToQString(command.name))->setData(command.id);
  }
  commands->menuAction()->setEnabled(!offered.empty());

  const QAction* chosen = menuRunner_(menu, globalPosition);
  std::optional<CommandTemplate> command;
  if (chosen != nullptr && chosen->data().isValid()) {
    command = monitor_.MenuCommand(chosen->data().toInt());
  }
  monitor_.CloseContextMenu();
  if (command) {
    emit showPageRequested(kCommandPageIndex);
    emit runCommandRequested(*command);
  }
}

}  // namespace harlune
