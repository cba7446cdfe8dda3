#include "gui/pages/htb_page.h"

#include <QAction>
#include <QCheckBox>
#include <QColor>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "core/app/harlune_engine.h"
#include "core/htb/htb_rows.h"
#include "gui/base/qt_text.h"
#include "gui/editors/edit_htb_class_dialog.h"
#include "gui/models/htb_list_model.h"
#include "gui/models/htb_tree_model.h"
#include "gui/widgets/list_shortcuts.h"
#include "gui/widgets/rate_graph.h"

namespace harlune {
namespace {

constexpr int kColumnSaveDelayMs = 30;
constexpr int kColumnCount = static_cast<int>(kHtbColumnCount);

// Whether the stored order names every column exactly once.
bool IsPermutation(const ColumnValues<kHtbColumnCount>& order) {
  std::array<bool, kHtbColumnCount> seen{};
  for (const std::int32_t column : order) {
    if (column < 0 || column >= kColumnCount || seen[static_cast<std::size_t>(column)]) {
      return false;
    }
    seen[static_cast<std::size_t>(column)] = true;
  }
  return true;
}

struct HtbButton {
  const char* caption;
  const char* tooltip;
};

// One button per command of the tree's menu, in the menu's order, acting on
// the class selected in the tree as the menu does.
constexpr std::array<HtbButton, 5> kHtbButtons = {{
    {"新規作成", "選択しているクラスの下にクラスを新規作成する"},
    {"編集", "選択しているクラスを編集する"},
    {"削除", "選択しているクラスを削除する"},
    {"複製", "選択しているクラスを複製する"},
    {"有効/無効", "選択しているクラスの有効、無効を切り替える"},
}};

}  // namespace

HtbPage::HtbPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      dialogs_(dialogs),
      commands_(
          engine.settings().htb, dialogs, engine.rateRestorer(),
          [&engine](std::int32_t id) { return engine.settings().filters.FindById(id); },
          [this] { OnChanged(); }),
      runEditor_([](CEditHtbClassDlg& editor) { return editor.exec() == QDialog::Accepted; }) {
  BuildWidgets();
  BuildMenus();
  RestoreColumns();
  SyncSwitches();
  ConnectSignals();
  tree_->expandAll();
  Redraw();
}

HtbPage::~HtbPage() = default;

void HtbPage::BuildWidgets() {
  doHtbBox_ = new QCheckBox(QStringLiteral("HTBを使う"), this);
  doHtbBox_->setObjectName("doHtbBox");
  showAllBox_ = new QCheckBox(QStringLiteral("常に全てのクラスを表示"), this);
  showAllBox_->setObjectName("showAllBox");
  auto* switches = new QHBoxLayout;
  switches->addWidget(doHtbBox_);
  switches->addWidget(showAllBox_);
  switches->addStretch();

  // Until a root has a rate the HTB limits nothing; the note says so above
  // the classes, on the colour of the root's row.
  rootNote_ = new QLabel(this);
  rootNote_->setObjectName("htbRootNote");
  rootNote_->setWordWrap(true);
  rootNote_->setStyleSheet(
      QStringLiteral("QLabel { background-color: %1; padding: 4px; }")
          .arg(QColor(static_cast<QRgb>(kRootWithoutRateBackgroundRgb)).name()));
  rootNote_->hide();

  treeModel_ = new HtbTreeModel(engine_.settings().htb, this);
  tree_ = new QTreeView(this);
  tree_->setObjectName("htbTree");
  tree_->setModel(treeModel_);
  tree_->setHeaderHidden(true);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  // A class is dropped onto another class, never between two.
  tree_->setDragDropMode(QAbstractItemView::InternalMove);
  tree_->setDragDropOverwriteMode(true);
  tree_->setDefaultDropAction(Qt::MoveAction);
  tree_->setDropIndicatorShown(true);

  listModel_ = new HtbListModel(this);
  list_ = new QTableView(this);
  list_->setObjectName("htbList");
  list_->setModel(listModel_);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->setShowGrid(false);
  list_->setWordWrap(false);
  list_->verticalHeader()->hide();
  list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
  list_->horizontalHeader()->setSectionsMovable(true);
  list_->horizontalHeader()->setHighlightSections(false);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->addWidget(tree_);
  splitter->addWidget(list_);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({200, 600});

  buttonBar_ = new QHBoxLayout;
  buttonBar_->addWidget(new QLabel(QStringLiteral("操作："), this));

  // The graph stays under the classes: the page shows one class's rate at
  // a time, and like the lists it is drawn only while the page is in view.
  graph_ = new RateGraph(this);
  graph_->setObjectName("htbGraph");
  auto* classesAndGraph = new QSplitter(Qt::Vertical, this);
  classesAndGraph->setChildrenCollapsible(false);
  classesAndGraph->addWidget(splitter);
  classesAndGraph->addWidget(graph_);
  classesAndGraph->setStretchFactor(0, 3);
  classesAndGraph->setStretchFactor(1, 2);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(buttonBar_);
  layout->addLayout(switches);
  layout->addWidget(rootNote_);
  layout->addWidget(classesAndGraph, 1);

  widthTimer_ = new QTimer(this);
  widthTimer_->setSingleShot(true);
  widthTimer_->setInterval(kColumnSaveDelayMs);
  orderTimer_ = new QTimer(this);
  orderTimer_->setSingleShot(true);
  orderTimer_->setInterval(kColumnSaveDelayMs);
}

QMenu* HtbPage::BuildMenu(const char* name,
                          const std::function<std::optional<std::int32_t>()>& selected,
                          bool withDuplicate) {
  auto* menu = new QMenu(this);
  menu->setObjectName(name);
  const auto add = [&](const char* text, std::function<void(std::int32_t)> command) {
    connect(menu->addAction(QString::fromUtf8(text)), &QAction::triggered, this,
            [selected, command = std::move(command)] {
              if (const auto id = selected()) {
                command(*id);
              }
            });
  };
  add("ここにクラスを新規作成(&N)", [this](std::int32_t id) { NewClassUnder(id); });
  add("編集(&E)", [this](std::int32_t id) { EditClass(id); });
  add("削除(&D)", [this](std::int32_t id) { commands_.Delete(id); });
  if (withDuplicate) {
    add("複製(&C)", [this](std::int32_t id) { commands_.Duplicate(id); });
  }
  add("有効/無効(&A)", [this](std::int32_t id) { commands_.ToggleAvailable(id); });
  return menu;
}

void HtbPage::BuildMenus() {
  treeMenu_ = BuildMenu(
      "htbTreeMenu", [this] { return TreeSelectedId(); }, true);
  listMenu_ = BuildMenu(
      "htbListMenu", [this] { return ListSelectedId(); }, false);
  BuildButtons();
}

void HtbPage::BuildButtons() {
  const QList<QAction*> commands = treeMenu_->actions();
  for (std::size_t i = 0; i < kHtbButtons.size(); ++i) {
    auto* button = new QPushButton(QString::fromUtf8(kHtbButtons[i].caption), this);
    button->setToolTip(QString::fromUtf8(kHtbButtons[i].tooltip));
    QAction* command = commands.at(static_cast<qsizetype>(i));
    connect(button, &QPushButton::clicked, command, &QAction::trigger);
    buttonBar_->addWidget(button);
    buttons_.push_back(button);
  }
  buttonBar_->addStretch();
  EnableButtons();
  const auto run = [commands](int index) {
    return [commands, index] { commands[index]->trigger(); };
  };
  AddListShortcuts(*this, {run(0), run(1), run(2), [this] { Redraw(); }});
  AddCopyAndSelectAll(*tree_);
  AddCopyAndSelectAll(*list_);
}

// Like the menu, which opens only on a class, the buttons work only while a
// class is selected in the tree.
void HtbPage::EnableButtons() {
  const bool selected = TreeSelectedId().has_value();
  for (QPushButton* button : buttons_) {
    button->setEnabled(selected);
  }
}

void HtbPage::ConnectSignals() {
  treeModel_->SetMoveHandler([this](std::int32_t id, std::int32_t newParentId) {
    return commands_.Move(id, newParentId);
  });
  connect(tree_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    EnableButtons();
    Redraw();
  });
  connect(tree_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = tree_->indexAt(at);
    if (index.isValid()) {
      tree_->setCurrentIndex(index);
      treeMenu_->popup(tree_->viewport()->mapToGlobal(at));
    }
  });
  connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (graph_->isVisible()) {
      DrawGraph();
    }
  });
  connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    const QModelIndex index = list_->indexAt(at);
    if (index.isValid()) {
      list_->selectRow(index.row());
      listMenu_->popup(list_->viewport()->mapToGlobal(at));
    }
  });
  connect(doHtbBox_, &QCheckBox::toggled, this, [this](bool on) {
    engine_.settings().general.DO_HTB = on ? 1 : 0;
    engine_.MarkChanged();
  });
  connect(showAllBox_, &QCheckBox::toggled, this, [this](bool on) {
    engine_.settings().general.SHOW_ALL_HTB_CLASSES = on ? 1 : 0;
    engine_.MarkChanged();
    Redraw();
  });
  QHeaderView* header = list_->horizontalHeader();
  connect(header, &QHeaderView::sectionResized, widthTimer_, qOverload<>(&QTimer::start));
  connect(header, &QHeaderView::sectionMoved, orderTimer_, qOverload<>(&QTimer::start));
  connect(widthTimer_, &QTimer::timeout, this, [this, header] {
    auto& sizes = engine_.settings().general.LCHTB_COLUMN_SIZE;
    for (int column = 0; column < kColumnCount; ++column) {
      sizes[static_cast<std::size_t>(column)] = header->sectionSize(column);
    }
  });
  connect(orderTimer_, &QTimer::timeout, this, [this, header] {
    auto& order = engine_.settings().general.LCHTB_COLUMN_ORDER;
    for (int position = 0; position < kColumnCount; ++position) {
      order[static_cast<std::size_t>(position)] = header->logicalIndex(position);
    }
  });
}

void HtbPage::RestoreColumns() {
  const IniFileObject& general = engine_.settings().general;
  QHeaderView* header = list_->horizontalHeader();
  for (int column = 0; column < kColumnCount; ++column) {
    const int width = general.LCHTB_COLUMN_SIZE[static_cast<std::size_t>(column)];
    if (width > 0) {
      header->resizeSection(column, width);
    }
  }
  // An order that does not name every column once would lose columns.
  if (IsPermutation(general.LCHTB_COLUMN_ORDER)) {
    for (int position = 0; position < kColumnCount; ++position) {
      const int column = general.LCHTB_COLUMN_ORDER[static_cast<std::size_t>(position)];
      header->moveSection(header->visualIndex(column), position);
    }
  }
}

void HtbPage::SyncSwitches() {
  const IniFileObject& general = engine_.settings().general;
  const QSignalBlocker blockDoHtb(doHtbBox_);
  const QSignalBlocker blockShowAll(showAllBox_);
  doHtbBox_->setChecked(general.DO_HTB == 1);
  showAllBox_->setChecked(general.SHOW_ALL_HTB_CLASSES == 1);
}

void HtbPage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Redraw();
}

bool HtbPage::ShowAll() const { return engine_.settings().general.SHOW_ALL_HTB_CLASSES == 1; }

void HtbPage::ShowRootNotes() {
  const std::vector<std::string> notes = HtbRootNotes(engine_.settings().htb);
  QStringList lines;
  for (const std::string& note : notes) {
    lines.append(ToQString(note));
  }
  rootNote_->setText(lines.join(QLatin1Char('\n')));
  rootNote_->setVisible(!notes.empty());
}

void HtbPage::Redraw() {
  ShowRootNotes();
  treeModel_->UpdateInPlace();
  const auto listSelected = ListSelectedId();
  listModel_->Update(HtbListRows(engine_.settings().htb, ShowAll(), TreeSelectedId()));
  KeepListSelection(listSelected);
  if (graph_->isVisible()) {
    DrawGraph();
  }
}

std::optional<std::int32_t> HtbPage::GraphedClassId() const {
  const std::optional<std::int32_t> listed = ListSelectedId();
  return listed.has_value() ? listed : TreeSelectedId();
}

// The assured rate and ceiling as the last HTB step derived them from the
// parents, which is what it shared the rates out with.
void HtbPage::DrawGraph() {
  const std::optional<std::int32_t> id = GraphedClassId();
  const auto cls = id.has_value() ? engine_.settings().htb.Find(*id) : nullptr;
  if (cls == nullptr) {
    graph_->SetSeries({});
    graph_->SetLines({});
    return;
  }
  graph_->SetSeries({SeriesOf(ToQString(cls->Name), engine_.graphHistory().Class(cls->ID))});
  graph_->SetLines({{QStringLiteral("最低保証帯域"), cls->AssuredRate},
                    {QStringLiteral("上限帯域"), cls->CeilRate}});
}

void HtbPage::RebuildTree() {
  const auto selected = TreeSelectedId();
  SyncSwitches();
  {
    const QSignalBlocker block(tree_->selectionModel());
    treeModel_->Rebuild();
    tree_->expandAll();
    SelectTreeClass(selected);
  }
  Redraw();
}

void HtbPage::OnChanged() {
  engine_.MarkChanged();
  RebuildTree();
}

void HtbPage::NewClassUnder(std::int32_t parentId) {
  if (!commands_.MayCreateUnder(parentId)) {
    return;
  }
  CEditHtbClassDlg editor(engine_.settings().filters, dialogs_, this);
  editor.LoadNew();
  if (!runEditor_(editor)) {
    return;
  }
  HTB_InnerClass inner;
  HTB_LeafClass leaf;
  HTB_Class& filled = editor.IsLeaf() ? static_cast<HTB_Class&>(leaf) : inner;
  if (editor.StoreTo(filled)) {
    commands_.AddNew(parentId, filled);
  }
}

void HtbPage::EditClass(std::int32_t id) {
  const auto cls = engine_.settings().htb.Find(id);
  if (cls == nullptr) {
    return;
  }
  CEditHtbClassDlg editor(engine_.settings().filters, dialogs_, this);
  editor.LoadFrom(*cls);
  if (runEditor_(editor) && editor.StoreTo(*cls)) {
    commands_.Edited();
  }
}

std::optional<std::int32_t> HtbPage::TreeSelectedId() const {
  const auto selected = tree_->selectionModel()->selectedIndexes();
  if (selected.isEmpty()) {
    return std::nullopt;
  }
  return treeModel_->ClassIdOf(selected.front());
}

std::optional<std::int32_t> HtbPage::ListSelectedId() const {
  const auto rows = list_->selectionModel()->selectedRows();
  if (rows.isEmpty()) {
    return std::nullopt;
  }
  return listModel_->ClassIdAt(rows.front().row());
}

void HtbPage::SelectTreeClass(std::optional<std::int32_t> id) {
  const QModelIndex index = id.has_value() ? treeModel_->IndexOfClass(*id) : QModelIndex();
  if (index.isValid()) {
    tree_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
  } else {
    tree_->selectionModel()->clearSelection();
  }
}

void HtbPage::KeepListSelection(std::optional<std::int32_t> id) {
  if (!id.has_value() || ListSelectedId() == id) {
    return;
  }
  const int row = listModel_->RowOfClass(*id);
  if (row >= 0) {
    list_->selectRow(row);
  } else {
    list_->clearSelection();
  }
}

}  // namespace harlune
