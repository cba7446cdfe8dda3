#include "gui/pages/control_page.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "core/app/ini_file_object.h"
#include "gui/base/qt_text.h"
#include "gui/editors/edit_rule_dialog.h"
#include "gui/models/rule_list_model.h"
#include "gui/pages/connection_page.h"
#include "gui/widgets/header_columns.h"
#include "gui/widgets/list_rows.h"
#include "gui/widgets/list_shortcuts.h"

namespace harlune {
namespace {

// The first column's images: a lit lamp for an available rule, a dark one
// for a rule switched off.
QIcon Lamp(const QColor& colour) {
  QPixmap pixmap(12, 12);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(colour.darker());
  painter.setBrush(colour);
  painter.drawEllipse(1, 1, 10, 10);
  return QIcon(pixmap);
}

}  // namespace

ControlPage::ControlPage(HarluneEngine& engine, UserDialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      engine_(engine),
      dialogs_(dialogs),
      rules_(engine.control(), dialogs, [this] { engine_.MarkChanged(); }) {
  editRule_ = [this](OperateConnectionRule& rule) { return RunEditor(rule); };
  runMenu_ = [](QMenu& menu, const QPoint& globalPos) { return menu.exec(globalPos); };
  controlBox_ = new QCheckBox(ToQString(kConnectionControlCheckText));
  connect(controlBox_, &QCheckBox::clicked, this, [this](bool on) {
    engine_.settings().general.CONNECTION_CONTROL = on ? 1 : 0;
    engine_.MarkChanged();
  });
  MakeList();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(controlBox_);
  bottom->addStretch();
  bottom->addLayout(MakeButtons());
  layout->addLayout(bottom);
  const auto run = [this](RuleCommand command) { return [this, command] { RunCommand(command); }; };
  AddListShortcuts(*this, {run(RuleCommand::kNew), run(RuleCommand::kEdit),
                           run(RuleCommand::kDelete), [this] { Redraw(); }});
  AddCopyAndSelectAll(*view_);
  Redraw();
}

ControlPage::~ControlPage() = default;

void ControlPage::MakeList() {
  model_ = new RuleListModel(rules_, Lamp(QColor(0, 170, 0)), Lamp(QColor(150, 150, 150)), this);
  view_ = new QTableView;
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setContextMenuPolicy(Qt::CustomContextMenu);
  view_->setWordWrap(false);
  UseListRows(*view_);
  QHeaderView& header = *view_->horizontalHeader();
  header.setSectionsMovable(true);
  const IniFileObject& settings = engine_.settings().general;
  // The widths the settings start with cut the longer headers; until the
  // user sets widths of their own, each column is made wide enough for its
  // header.
  ColumnValues<8> widths = settings.LCCONNECTIONCONTROLRULE_COLUMN_SIZE;
  if (widths == IniFileObject{}.LCCONNECTIONCONTROLRULE_COLUMN_SIZE) {
    WidenToHeaderTexts(header, widths);
  }
  RestoreHeaderColumns(header, widths, settings.LCCONNECTIONCONTROLRULE_COLUMN_ORDER);
  SaveHeaderColumnsLater(header, [this] { SaveColumns(); });
  connect(view_, &QAbstractItemView::doubleClicked, this,
          [this] { RunCommand(RuleCommand::kEdit); });
  connect(view_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { ShowContextMenu(view_->viewport()->mapToGlobal(pos)); });
}

QLayout* ControlPage::MakeButtons() {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(ToQString(kRuleCommandsLabel)));
  for (std::size_t i = 0; i < kRuleCommandTexts.size(); ++i) {
    auto* button = new QPushButton(ToQString(kRuleCommandTexts[i].button));
    button->setToolTip(ToQString(kRuleCommandTexts[i].toolTip));
    const auto command = static_cast<RuleCommand>(i);
    connect(button, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
    row->addWidget(button);
    buttons_.push_back(button);
  }
  return row;
}

QPushButton* ControlPage::button(RuleCommand command) const {
  return buttons_[static_cast<std::size_t>(command)];
}

void ControlPage::Redraw() {
  controlBox_->setChecked(engine_.settings().general.CONNECTION_CONTROL == 1);
  shownFailures_ = rules_.FailuresChangeCount();
  model_->Refresh();
}

void ControlPage::ShowDisconnectFailures() {
  if (rules_.FailuresChangeCount() == shownFailures_) {
    return;
  }
  shownFailures_ = rules_.FailuresChangeCount();
  model_->Refresh();
}

std::vector<std::size_t> ControlPage::SelectedRows() const {
  std::vector<std::size_t> rows;
  for (const QModelIndex& index : view_->selectionModel()->selectedRows()) {
    rows.push_back(static_cast<std::size_t>(index.row()));
  }
  std::ranges::sort(rows);
  return rows;
}

void ControlPage::Show(const RuleListSelection& selection) {
  model_->Refresh();
  QItemSelectionModel& model = *view_->selectionModel();
  model.clearSelection();
  for (const std::size_t row : selection.rows) {
    model.select(model_->index(static_cast<int>(row), 0),
                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  if (selection.focus) {
    const QModelIndex focus = model_->index(static_cast<int>(*selection.focus), 0);
    model.setCurrentIndex(focus, QItemSelectionModel::NoUpdate);
    view_->scrollTo(focus);
  }
}

void ControlPage::RunCommand(RuleCommand command) {
  const std::vector<std::size_t> selected = SelectedRows();
  switch (command) {
    case RuleCommand::kNew:
      NewRule();
      return;
    case RuleCommand::kEdit:
      EditRule();
      return;
    case RuleCommand::kDelete:
      Show(rules_.Delete(selected));
      return;
    case RuleCommand::kUp:
      Show(rules_.MoveUp(selected));
      return;
    case RuleCommand::kDown:
      Show(rules_.MoveDown(selected));
      return;
    case RuleCommand::kDuplicate:
      Show(rules_.Duplicate(selected));
      return;
    case RuleCommand::kAvailable:
      Show(rules_.ToggleAvailable(selected));
      return;
  }
}

void ControlPage::NewRule() {
  if (!rules_.BeginNew()) {
    return;
  }
  OperateConnectionRule rule;
  if (!editRule_(rule)) {
    return;
  }
  if (const auto selection = rules_.FinishNew(rule)) {
    Show(*selection);
  }
}

void ControlPage::EditRule() {
  const std::optional<std::size_t> row = rules_.RowToEdit(SelectedRows());
  if (!row) {
    return;
  }
  OperateConnectionRule rule = rules_.RuleAt(*row);
  if (!editRule_(rule)) {
    return;
  }
  if (const auto selection = rules_.FinishEdit(*row, rule)) {
    Show(*selection);
  }
}

bool ControlPage::RunEditor(OperateConnectionRule& rule) {
  CEditOperateConnectionRuleDlg editor(dialogs_, this);
  editor.LoadFrom(rule);
  if (editor.exec() != QDialog::Accepted) {
    return false;
  }
  editor.StoreTo(rule);
  return true;
}

void ControlPage::ShowContextMenu(const QPoint& globalPos) {
  QMenu menu(this);
  std::vector<std::pair<QAction*, RuleCommand>> actions;
  for (std::size_t i = 0; i < kRuleCommandTexts.size(); ++i) {
    if (!kRuleCommandTexts[i].menu.empty()) {
      actions.emplace_back(menu.addAction(ToQString(kRuleCommandTexts[i].menu)),
                           static_cast<RuleCommand>(i));
    }
  }
  QAction* chosen = runMenu_(menu, globalPos);
  for (const auto& [action, command] : actions) {
    if (chosen == action) {
      RunCommand(command);
    }
  }
}

void ControlPage::SaveColumns() {
  IniFileObject& settings = engine_.settings().general;
  SaveHeaderColumns(*view_->horizontalHeader(), settings.LCCONNECTIONCONTROLRULE_COLUMN_SIZE,
                    settings.LCCONNECTIONCONTROLRULE_COLUMN_ORDER);
}

}  // namespace harlune
