#include "gui/pages/connection_process_view.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>
#include <QVBoxLayout>
#include <utility>

#include "core/monitor/process_groups.h"
#include "gui/base/qt_text.h"
#include "gui/models/process_tree_model.h"
#include "gui/pages/connection_menu_texts.h"
#include "gui/widgets/list_rows.h"

namespace harlune {
namespace {

// Wide enough for a usual program name and path at first; the user's
// widths are not stored.
constexpr int kNameColumnWidth = 160;
constexpr int kPathColumnWidth = 280;

}  // namespace

ConnectionProcessView::ConnectionProcessView(QWidget* parent) : QWidget(parent) {
  runMenu_ = [](QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); };
  MakeTree();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(tree_);
}

void ConnectionProcessView::MakeTree() {
  model_ = new ProcessTreeModel(this);
  sorted_ = new ProcessSortModel(this);
  sorted_->setSourceModel(model_);
  tree_ = new QTreeView;
  tree_->setModel(sorted_);
  tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree_->setSelectionMode(QAbstractItemView::SingleSelection);
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree_->setContextMenuPolicy(Qt::CustomContextMenu);
  UseListRows(*tree_);
  tree_->setWordWrap(false);
  tree_->setAllColumnsShowFocus(true);
  // The view's own sorting would sort again by itself; the header only
  // reports clicks, and the sort model sorts as the core compares.
  tree_->setSortingEnabled(false);
  QHeaderView& header = *tree_->header();
  header.setSectionsMovable(true);
  header.setSectionsClickable(true);
  header.setSortIndicatorShown(true);
  header.setSortIndicator(-1, Qt::AscendingOrder);
  header.resizeSection(static_cast<int>(ProcessColumn::kProcessName), kNameColumnWidth);
  header.resizeSection(static_cast<int>(ProcessColumn::kProcessPath), kPathColumnWidth);
  connect(&header, &QHeaderView::sectionClicked, this, &ConnectionProcessView::ClickHeader);
  connect(tree_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { ShowContextMenu(tree_->viewport()->mapToGlobal(pos)); });
}

void ConnectionProcessView::Update(std::vector<ConnectionRow> rows, bool resolveHost) {
  model_->Update(GroupByProcess(std::move(rows)), resolveHost);
}

void ConnectionProcessView::ClickHeader(int column) {
  order_.ClickHeader(column);
  sorted_->Apply(order_);
  tree_->header()->setSortIndicator(column,
                                    order_.Ascending() ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void ConnectionProcessView::SetFilterCommands(RowCommand fromAddresses, RowCommand fromProcess) {
  fromAddresses_ = std::move(fromAddresses);
  fromProcess_ = std::move(fromProcess);
}

QModelIndex ConnectionProcessView::MenuIndex() const {
  const QModelIndexList selected = tree_->selectionModel()->selectedRows();
  return selected.isEmpty() ? QModelIndex{} : selected.front();
}

void ConnectionProcessView::ShowContextMenu(const QPoint& globalPos) {
  const QModelIndex index = MenuIndex();
  if (!index.isValid()) {
    return;
  }
  // A copy, as the list's menu works on: the rows may change meanwhile.
  const ConnectionRow* connection = sorted_->ConnectionOf(index);
  const ConnectionRow row =
      connection != nullptr ? *connection : RepresentativeConnection(sorted_->GroupOf(index));
  QMenu menu(this);
  QAction* fromAddresses =
      connection != nullptr ? menu.addAction(ToQString(kFilterFromAddressesText)) : nullptr;
  QAction* fromProcess = menu.addAction(ToQString(kFilterFromProcessText));
  QAction* chosen = runMenu_(menu, globalPos);
  if (chosen == nullptr) {
    return;
  }
  if (chosen == fromAddresses && fromAddresses_) {
    fromAddresses_(row);
  } else if (chosen == fromProcess && fromProcess_) {
    fromProcess_(row);
  }
}

}  // namespace harlune
