#include "gui/pages/filter_page.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "core/filter/packet_filter_manager.h"
#include "gui/base/qt_text.h"
#include "gui/editors/edit_filter_dialog.h"
#include "gui/models/filter_list_model.h"
#include "gui/widgets/list_rows.h"
#include "gui/widgets/list_shortcuts.h"
#include "gui/widgets/rate_graph.h"

namespace harlune {
namespace {

struct Command {
  std::string_view button;
  std::string_view tooltip;
  std::string_view menuItem;  // empty: not in the context menu
  void (FilterPage::*slot)();
};

constexpr std::array<Command, 7> kCommands = {{
    {"新規作成", "フィルタを新規作成する", "", &FilterPage::NewFilter},
    {"編集 ", "選択しているフィルタを編集する", "編集(&E)...", &FilterPage::EditFilter},
    {"削除 ", "選択しているフィルタを削除する", "削除(&D)", &FilterPage::DeleteFilters},
    {"上へ ", "選択しているフィルタの優先度を上げる", "上へ(&U)", &FilterPage::Up},
    {"下へ ", "選択しているフィルタの優先度を下げる", "下へ(&W)", &FilterPage::Down},
    {"複製 ", "選択しているフィルタを複製する", "複製(&C)", &FilterPage::Copy},
    {"有効/無効 ", "選択しているフィルタの有効、無効を切り替える", "有効/無効(&A)",
     &FilterPage::ToggleAvailable},
}};

// Whether the stored order names every column exactly once; any other
// array (a damaged file) would scramble the header and is not applied.
bool IsColumnOrder(const ColumnValues<kFilterColumnCount>& order) {
  std::array<bool, kFilterColumnCount> seen{};
  for (const std::int32_t column : order) {
    if (column < 0 || static_cast<std::size_t>(column) >= kFilterColumnCount ||
        seen[static_cast<std::size_t>(column)]) {
      return false;
    }
    seen[static_cast<std::size_t>(column)] = true;
  }
  return true;
}

QTimer* ColumnSaveTimer(QObject* parent) {
  auto* timer = new QTimer(parent);
  timer->setSingleShot(true);
  timer->setInterval(FilterPage::kColumnSaveDelayMs);
  return timer;
}

}  // namespace

FilterPage::FilterPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      dialogs_(dialogs),
      editor_([this](bool isNew, PacketFilterSetting& record) {
        return RunDefaultEditor(isNew, record);
      }) {
  BuildList();
  BuildMenu();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(5, 5, 5, 0);
  layout->addWidget(BuildButtons());
  layout->addWidget(BuildListAndGraph());
  RestoreColumns();
  WatchColumns();
  AddListShortcuts(*this, {[this] { NewFilter(); }, [this] { EditFilter(); },
                           [this] { DeleteFilters(); }, [this] { Redraw(); }});
  // Ctrl+C copies the rows as text; duplicating stays with "複製".
  AddCopyAndSelectAll(*view_);
}

QWidget* FilterPage::BuildButtons() {
  auto* bar = new QWidget;
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new QLabel(QStringLiteral("操作：")));
  for (const Command& command : kCommands) {
    auto* button = new QPushButton(ToQString(command.button));
    button->setToolTip(ToQString(command.tooltip));
    connect(button, &QPushButton::clicked, this, command.slot);
    layout->addWidget(button);
  }
  layout->addStretch();
  layout->addWidget(BuildGraphButton());
  return bar;
}

QPushButton* FilterPage::BuildGraphButton() {
  graphButton_ = new QPushButton(QStringLiteral("グラフ"));
  graphButton_->setObjectName("filterGraphButton");
  graphButton_->setToolTip(QStringLiteral("帯域のグラフを表示する"));
  graphButton_->setCheckable(true);
  return graphButton_;
}

QWidget* FilterPage::BuildListAndGraph() {
  graph_ = new RateGraph;
  graph_->setObjectName("filterGraph");
  auto* splitter = new QSplitter(Qt::Vertical);
  splitter->setChildrenCollapsible(false);
  splitter->addWidget(view_);
  splitter->addWidget(graph_);
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 2);
  const bool shown = engine_.settings().general.SHOW_FILTER_GRAPH.value_or(0) == 1;
  graph_->setVisible(shown);
  graphButton_->setChecked(shown);
  // Connected after the restore: only the user's own choice is stored.
  connect(graphButton_, &QPushButton::toggled, this, &FilterPage::ShowGraph);
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (graph_->isVisible()) {
      DrawGraph();
    }
  });
  return splitter;
}

void FilterPage::ShowGraph(bool shown) {
  engine_.settings().general.SHOW_FILTER_GRAPH = shown ? 1 : 0;
  graph_->setVisible(shown);
  if (shown) {
    DrawGraph();
  }
}

void FilterPage::DrawGraph() {
  const RateGraphHistory& history = engine_.graphHistory();
  std::vector<RateGraphSeries> series;
  series.push_back(SeriesOf(QStringLiteral("TOTAL Send"), &history.Send()));
  series.push_back(SeriesOf(QStringLiteral("TOTAL Receive"), &history.Receive()));
  const PacketFilterManager& filters = engine_.settings().filters;
  for (const std::size_t row : SelectedRows()) {
    if (row < filters.Size()) {
      const PacketFilterSetting& filter = filters.At(row);
      series.push_back(SeriesOf(ToQString(filter.Name), history.Filter(filter.ID)));
    }
  }
  graph_->SetSeries(std::move(series));
}

void FilterPage::BuildList() {
  model_ = new FilterListModel(engine_.settings().filters, engine_.settings().htb, this);
  model_->SetSilentAdapters([this] { return engine_.SilentAdapters(); });
  view_ = new QTableView;
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setShowGrid(false);
  view_->setWordWrap(false);
  UseListRows(*view_);
  view_->horizontalHeader()->setSectionsMovable(true);
  view_->horizontalHeader()->setStretchLastSection(false);
  view_->horizontalHeader()->setHighlightSections(false);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(view_, &QTableView::doubleClicked, this, &FilterPage::EditFilter);
  connect(view_, &QTableView::customContextMenuRequested, this, &FilterPage::ShowContextMenu);
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &FilterPage::selectionChanged);
}

void FilterPage::BuildMenu() {
  menu_ = new QMenu(this);
  for (const Command& command : kCommands) {
    if (!command.menuItem.empty()) {
      QAction* action = menu_->addAction(ToQString(command.menuItem));
      connect(action, &QAction::triggered, this, command.slot);
    }
  }
}

void FilterPage::RestoreColumns() {
  const IniFileObject& general = engine_.settings().general;
  QHeaderView* header = view_->horizontalHeader();
  for (std::size_t column = 0; column < kFilterColumnCount; ++column) {
    header->resizeSection(static_cast<int>(column),
                          std::max(general.LCFILTER_COLUMN_SIZE[column], 0));
  }
  if (!IsColumnOrder(general.LCFILTER_COLUMN_ORDER)) {
    return;
  }
  for (int visual = 0; visual < static_cast<int>(kFilterColumnCount); ++visual) {
    const int column = general.LCFILTER_COLUMN_ORDER[static_cast<std::size_t>(visual)];
    header->moveSection(header->visualIndex(column), visual);
  }
}

void FilterPage::WatchColumns() {
  widthTimer_ = ColumnSaveTimer(this);
  orderTimer_ = ColumnSaveTimer(this);
  connect(widthTimer_, &QTimer::timeout, this, &FilterPage::StoreColumnWidths);
  connect(orderTimer_, &QTimer::timeout, this, &FilterPage::StoreColumnOrder);
  QHeaderView* header = view_->horizontalHeader();
  connect(header, &QHeaderView::sectionResized, this, [this](int column) {
    resizedColumns_.insert(column);
    widthTimer_->start();
  });
  connect(header, &QHeaderView::sectionMoved, this, [this] { orderTimer_->start(); });
}

void FilterPage::StoreColumnWidths() {
  ColumnValues<kFilterColumnCount>& widths = engine_.settings().general.LCFILTER_COLUMN_SIZE;
  for (const int column : resizedColumns_) {
    if (column >= 0 && static_cast<std::size_t>(column) < kFilterColumnCount) {
      widths[static_cast<std::size_t>(column)] = view_->horizontalHeader()->sectionSize(column);
    }
  }
  resizedColumns_.clear();
}

void FilterPage::StoreColumnOrder() {
  ColumnValues<kFilterColumnCount>& order = engine_.settings().general.LCFILTER_COLUMN_ORDER;
  for (std::size_t visual = 0; visual < kFilterColumnCount; ++visual) {
    order[visual] = view_->horizontalHeader()->logicalIndex(static_cast<int>(visual));
  }
}

void FilterPage::ShowContextMenu(const QPoint& position) {
  if (!HasSelection()) {
    return;
  }
  emit selectionChanged();
  menu_->popup(view_->viewport()->mapToGlobal(position));
}

void FilterPage::Redraw() {
  model_->Refresh();
  // A hidden graph costs nothing: it is drawn anew when shown.
  if (graph_->isVisible()) {
    DrawGraph();
  }
}

bool FilterPage::HasSelection() const { return view_->selectionModel()->hasSelection(); }

std::vector<std::size_t> FilterPage::SelectedRows() const {
  std::vector<std::size_t> rows;
  for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
    rows.push_back(static_cast<std::size_t>(index.row()));
  }
  std::ranges::sort(rows);
  return rows;
}

void FilterPage::Select(const std::vector<std::size_t>& rows) {
  QItemSelection selection;
  const int lastColumn = model_->columnCount() - 1;
  for (const std::size_t row : rows) {
    const int r = static_cast<int>(row);
    if (r < model_->rowCount()) {
      selection.select(model_->index(r, 0), model_->index(r, lastColumn));
    }
  }
  QItemSelectionModel* selectionModel = view_->selectionModel();
  selectionModel->select(selection,
                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  if (!selection.isEmpty()) {
    const QModelIndex first = selection.first().topLeft();
    selectionModel->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
    view_->scrollTo(first);
  }
}

void FilterPage::Apply(const FilterListChange& change) {
  model_->Refresh();
  if (change.changed) {
    Select(change.selection);
    emit selectionChanged();
  }
}

bool FilterPage::RunDefaultEditor(bool isNew, PacketFilterSetting& record) {
  CEditFilterDlg dialog(engine_.adapters(), dialogs_, this);
  if (!dialog.LoadFromSetting(isNew, record) || dialog.exec() != QDialog::Accepted) {
    return false;
  }
  dialog.SaveToSetting(record);
  return true;
}

void FilterPage::NewFilter() {
  if (engine_.settings().filters.IsFull()) {
    dialogs_.ShowMessage(kFilterLimitMessage);
    return;
  }
  PacketFilterSetting record;
  if (editor_(true, record)) {
    Apply(engine_.NewFilter(record));
  }
}

void FilterPage::EditFilter() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (rows.empty() || rows.front() >= engine_.settings().filters.Size()) {
    return;
  }
  // The editor works on a copy: the list changes only when the driver
  // took the edited record.
  PacketFilterSetting edited = engine_.settings().filters.At(rows.front());
  if (editor_(false, edited)) {
    Apply(engine_.EditFilter(rows.front(), edited));
  }
}

void FilterPage::DeleteFilters() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (!rows.empty()) {
    Apply(engine_.DeleteFilters(rows));
  }
}

void FilterPage::Up() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (!rows.empty()) {
    Apply(engine_.FiltersUp(rows));
  }
}

void FilterPage::Down() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (!rows.empty()) {
    Apply(engine_.FiltersDown(rows));
  }
}

void FilterPage::Copy() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (!rows.empty()) {
    Apply(engine_.CopyFilters(rows));
  }
}

void FilterPage::ToggleAvailable() {
  const std::vector<std::size_t> rows = SelectedRows();
  if (!rows.empty()) {
    Apply(engine_.ToggleFilters(rows));
  }
}

}  // namespace harlune
