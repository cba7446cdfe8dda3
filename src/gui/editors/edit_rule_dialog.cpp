#include "gui/editors/edit_rule_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <utility>

#include "core/base/profile_file.h"
#include "core/base/string_resources.h"
#include "gui/base/qt_text.h"
#include "gui/widgets/droppable_edit.h"

namespace harlune {
namespace {

constexpr std::string_view kRangeMessage = "%1 から %2 までの整数を入力してください。";
constexpr std::string_view kHostListFilters = "ホストリストファイル (*.lst);;全てのファイル (*)";
constexpr std::string_view kTargetNote =
    "対象の各項目を指定しない場合(初期状態)、全てのコネクションが対象になります。";

QLabel* Label(std::string_view text) { return new QLabel(ToQString(text)); }

template <std::size_t N>
void FillCombo(QComboBox* combo, const std::array<std::string_view, N>& texts) {
  for (const std::string_view text : texts) {
    combo->addItem(ToQString(text));
  }
}

// A stored value outside the table (a hand-edited file) shows as the first
// item, so that the box never shows nothing.
void SelectValue(QComboBox* combo, std::int32_t value) {
  combo->setCurrentIndex(value >= 0 && value < combo->count() ? value : 0);
}

QString ChooseWithDialog(QWidget* parent, const QString& filters, const QString& preferred) {
  QString selected = preferred;
  return QFileDialog::getOpenFileName(parent, {}, {}, filters,
                                      preferred.isEmpty() ? nullptr : &selected);
}

}  // namespace

CEditOperateConnectionRuleDlg::CEditOperateConnectionRuleDlg(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), dialogs_(dialogs) {
  setWindowTitle(ToQString(kRuleEditorTitle));
  chooseFile_ = [this](const QString& filters, const QString& preferred) {
    return ChooseWithDialog(this, filters, preferred);
  };
  auto* names = new QGridLayout;
  controls_.name = new QLineEdit;
  controls_.comment = new QLineEdit;
  names->addWidget(Label("ルール名"), 0, 0);
  names->addWidget(controls_.name, 0, 1);
  names->addWidget(Label("コメント"), 1, 0);
  names->addWidget(controls_.comment, 1, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &CEditOperateConnectionRuleDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CEditOperateConnectionRuleDlg::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(names);
  layout->addWidget(MakeTargetGroup());
  layout->addWidget(MakeLimitGroup());
  layout->addWidget(MakeConditionGroup());
  layout->addWidget(Label(kTargetNote));
  layout->addWidget(buttons);
  LoadFrom(OperateConnectionRule{});
}

QWidget* CEditOperateConnectionRuleDlg::MakeTargetGroup() {
  auto* group = new QGroupBox;
  auto* grid = new QGridLayout(group);
  controls_.hostListPath = new DroppableEdit;
  controls_.browseHostList = new QPushButton(ToQString("参照..."));
  controls_.reloadHostList = new QPushButton(ToQString("更新"));
  controls_.hosts = new QListWidget;
  controls_.processName = new QLineEdit;
  controls_.browseProcess = new QPushButton(ToQString("参照..."));
  grid->addWidget(Label("ホストリストファイルのパス"), 0, 0);
  grid->addWidget(controls_.hostListPath, 0, 1);
  grid->addWidget(controls_.browseHostList, 0, 2);
  grid->addWidget(controls_.reloadHostList, 0, 3);
  grid->addWidget(Label("▽読み込まれたホストリスト"), 1, 1);
  grid->addWidget(controls_.hosts, 2, 1, 1, 3);
  grid->addWidget(Label("プロセス名"), 3, 0);
  grid->addWidget(controls_.processName, 3, 1);
  grid->addWidget(controls_.browseProcess, 3, 2);
  connect(controls_.browseHostList, &QPushButton::clicked, this,
          &CEditOperateConnectionRuleDlg::BrowseHostList);
  connect(controls_.reloadHostList, &QPushButton::clicked, this,
          &CEditOperateConnectionRuleDlg::ShowHostList);
  connect(controls_.browseProcess, &QPushButton::clicked, this,
          &CEditOperateConnectionRuleDlg::BrowseProcess);
  return group;
}

QWidget* CEditOperateConnectionRuleDlg::MakeLimitGroup() {
  auto* group = new QGroupBox;
  auto* grid = new QGridLayout(group);
  controls_.limitCount =
      new QCheckBox(ToQString("このプロセス名とホスト名にマッチするコネクション数を"));
  controls_.allowCount = new QLineEdit;
  controls_.priorCondition = new QComboBox;
  FillCombo(controls_.priorCondition, kPriorConditionTexts);
  grid->addWidget(controls_.limitCount, 0, 0, 1, 2);
  grid->addWidget(controls_.allowCount, 0, 2);
  grid->addWidget(Label("個以下に制限する。"), 0, 3);
  grid->addWidget(Label("優先して切断するコネクション"), 1, 0);
  grid->addWidget(controls_.priorCondition, 1, 1, 1, 3);
  connect(controls_.limitCount, &QCheckBox::toggled, this,
          &CEditOperateConnectionRuleDlg::UpdateLimitEnabled);
  return group;
}

QWidget* CEditOperateConnectionRuleDlg::MakeConditionGroup() {
  auto* group = new QGroupBox;
  auto* grid = new QGridLayout(group);
  const auto addBounds = [grid](int row, std::string_view name, QLineEdit*& low, QLineEdit*& high,
                                std::string_view unit) {
    low = new QLineEdit;
    high = new QLineEdit;
    grid->addWidget(Label(name), row, 0);
    grid->addWidget(low, row, 1);
    grid->addWidget(Label(std::string(unit) + "以上"), row, 2);
    grid->addWidget(high, row, 3);
    grid->addWidget(Label(std::string(unit) + "以下"), row, 4);
  };
  addBounds(0, "接続時間", controls_.timeLow, controls_.timeHigh, "秒");
  addBounds(1, "UP転送量", controls_.upLow, controls_.upHigh, "Byte");
  addBounds(2, "DOWN転送量", controls_.downLow, controls_.downHigh, "Byte");
  controls_.action = new QComboBox;
  FillCombo(controls_.action, kActionTexts);
  grid->addWidget(Label("動作"), 3, 0);
  grid->addWidget(controls_.action, 3, 1, 1, 4);
  return group;
}

void CEditOperateConnectionRuleDlg::LoadFrom(const OperateConnectionRule& rule) {
  edited_ = rule;
  const Controls& c = controls_;
  c.name->setText(ToQString(rule.Name));
  c.comment->setText(ToQString(rule.Comment));
  c.hostListPath->setText(ToQString(rule.RemoteHostListPath));
  c.hostListPath->setCursorPosition(static_cast<int>(c.hostListPath->text().size()));
  c.processName->setText(ToQString(rule.TargetProcessName));
  c.limitCount->setChecked(rule.BLimitConnectionNum);
  c.allowCount->setText(QString::number(rule.AllowConnectionNum));
  SelectValue(c.priorCondition, rule.PriorCondition);
  c.timeLow->setText(QString::number(rule.TriggerTimeLow));
  c.timeHigh->setText(QString::number(rule.TriggerTimeHigh));
  c.upLow->setText(QString::number(rule.TriggerAmountOfUpTrafficLow));
  c.upHigh->setText(QString::number(rule.TriggerAmountOfUpTrafficHigh));
  c.downLow->setText(QString::number(rule.TriggerAmountOfDownTrafficLow));
  c.downHigh->setText(QString::number(rule.TriggerAmountOfDownTrafficHigh));
  SelectValue(c.action, rule.Action);
  UpdateLimitEnabled();
  ShowHostList();
}

void CEditOperateConnectionRuleDlg::StoreTo(OperateConnectionRule& rule) const {
  rule.Name = edited_.Name.empty() ? std::string(strings::kNewRule) : edited_.Name;
  rule.Comment = edited_.Comment;
  rule.TriggerTimeLow = edited_.TriggerTimeLow;
  rule.TriggerTimeHigh = edited_.TriggerTimeHigh;
  rule.TriggerAmountOfUpTrafficLow = edited_.TriggerAmountOfUpTrafficLow;
  rule.TriggerAmountOfUpTrafficHigh = edited_.TriggerAmountOfUpTrafficHigh;
  rule.TriggerAmountOfDownTrafficLow = edited_.TriggerAmountOfDownTrafficLow;
  rule.TriggerAmountOfDownTrafficHigh = edited_.TriggerAmountOfDownTrafficHigh;
  rule.TargetProcessName = edited_.TargetProcessName;
  rule.RemoteHostListPath = edited_.RemoteHostListPath;
  rule.Action = edited_.Action;
  rule.AllowConnectionNum = edited_.AllowConnectionNum;
  rule.BLimitConnectionNum = edited_.BLimitConnectionNum;
  rule.PriorCondition = edited_.PriorCondition;
  rule.LoadHostList();
}

void CEditOperateConnectionRuleDlg::accept() {
  if (Check()) {
    QDialog::accept();
  }
}

void CEditOperateConnectionRuleDlg::UpdateLimitEnabled() {
  const bool limited = controls_.limitCount->isChecked();
  controls_.allowCount->setEnabled(limited);
  controls_.priorCondition->setEnabled(limited);
}

void CEditOperateConnectionRuleDlg::BrowseHostList() {
  const QString path = chooseFile_(ToQString(kHostListFilters), {});
  if (path.isEmpty()) {
    return;
  }
  controls_.hostListPath->setText(path);
  ShowHostList();
}

void CEditOperateConnectionRuleDlg::BrowseProcess() {
  const QString path = chooseProcess_(this);
  if (!path.isEmpty()) {
    controls_.processName->setText(QFileInfo(path).fileName());
  }
}

void CEditOperateConnectionRuleDlg::ShowHostList() {
  controls_.hosts->clear();
  // A fresh rule, so that a file that cannot be read shows nothing rather
  // than the hosts of the file read before.
  OperateConnectionRule probe;
  probe.RemoteHostListPath = ToUtf8(controls_.hostListPath->text());
  if (probe.RemoteHostListPath.empty() || !probe.LoadHostList()) {
    return;
  }
  if (probe.ResolveFailedHost) {
    controls_.hosts->addItem(ToQString(kResolveFailedHostLabel));
  }
  for (const std::string& pattern : probe.HostPatterns) {
    controls_.hosts->addItem(ToQString(pattern));
  }
}

bool CEditOperateConnectionRuleDlg::Refuse(std::string_view message, QLineEdit* field) {
  dialogs_.ShowMessage(message);
  if (field != nullptr) {
    field->setFocus();
    field->selectAll();
  }
  return false;
}

bool CEditOperateConnectionRuleDlg::NoComma(QLineEdit* field) {
  return !field->text().contains(QLatin1Char(',')) || Refuse(kCommaRefusedMessage, field);
}

std::optional<std::uint64_t> CEditOperateConnectionRuleDlg::Unsigned(QLineEdit* field,
                                                                     std::uint64_t max) {
  const std::string text = ToUtf8(field->text().trimmed());
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || end != text.data() + text.size() ||
      (error != std::errc() && error != std::errc::result_out_of_range)) {
    Refuse(kNotUnsignedMessage, field);
    return std::nullopt;
  }
  if (error == std::errc::result_out_of_range || value > max) {
    const QString message = ToQString(kRangeMessage).arg(QString::number(0), QString::number(max));
    Refuse(ToUtf8(message), field);
    return std::nullopt;
  }
  return value;
}

bool CEditOperateConnectionRuleDlg::HostListReadable() {
  OperateConnectionRule probe;
  probe.RemoteHostListPath = ToUtf8(controls_.hostListPath->text());
  if (probe.RemoteHostListPath.empty()) {
    return true;
  }
  if (ReadHostListFile(probe.RemoteHostListPath).status != FileReadStatus::kRead) {
    const QString message = ToQString(kHostListNotFoundMessage)
                                .replace(QStringLiteral("%s"), controls_.hostListPath->text());
    return Refuse(ToUtf8(message), controls_.hostListPath);
  }
  // A file that opens but is no host list would leave the rule matching no
  // host at all; the user is told why instead.
  return probe.LoadHostList() || Refuse(probe.HostListProblem, controls_.hostListPath);
}

bool CEditOperateConnectionRuleDlg::TextsStorable() {
  const std::pair<QLineEdit*, std::string_view> fields[] = {
      {controls_.name, kRuleNameUnstorableMessage},
      {controls_.comment, kRuleCommentUnstorableMessage},
      {controls_.processName, kRuleProcessUnstorableMessage},
      {controls_.hostListPath, kRuleHostListPathUnstorableMessage},
  };
  for (const auto& [field, message] : fields) {
    if (!ProfileValueProblem(ToUtf8(field->text())).empty()) {
      return Refuse(message, field);
    }
  }
  return true;
}

bool CEditOperateConnectionRuleDlg::Check() {
  Controls& c = controls_;
  constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
  if (!NoComma(c.name) || !NoComma(c.comment)) {
    return false;
  }
  struct Bound {
    QLineEdit* field;
    std::uint64_t max;
    std::uint64_t value = 0;
  };
  std::array<Bound, 6> bounds{{{c.timeLow, kMax32},
                               {c.timeHigh, kMax32},
                               {c.upLow, kMax64},
                               {c.upHigh, kMax64},
                               {c.downLow, kMax64},
                               {c.downHigh, kMax64}}};
  for (Bound& bound : bounds) {
    const auto value = Unsigned(bound.field, bound.max);
    if (!value) {
      return false;
    }
    bound.value = *value;
  }
  if (!NoComma(c.processName) || !NoComma(c.hostListPath) || !HostListReadable()) {
    return false;
  }
  const auto allowed = Unsigned(c.allowCount, kMax32);
  if (!allowed || !TextsStorable()) {
    return false;
  }
  OperateConnectionRule& rule = edited_;
  rule.Name = ToUtf8(c.name->text());
  rule.Comment = ToUtf8(c.comment->text());
  rule.TriggerTimeLow = static_cast<std::uint32_t>(bounds[0].value);
  rule.TriggerTimeHigh = static_cast<std::uint32_t>(bounds[1].value);
  rule.TriggerAmountOfUpTrafficLow = bounds[2].value;
  rule.TriggerAmountOfUpTrafficHigh = bounds[3].value;
  rule.TriggerAmountOfDownTrafficLow = bounds[4].value;
  rule.TriggerAmountOfDownTrafficHigh = bounds[5].value;
  rule.TargetProcessName = ToUtf8(c.processName->text());
  rule.RemoteHostListPath = ToUtf8(c.hostListPath->text());
  rule.Action = c.action->currentIndex();
  rule.PriorCondition = c.priorCondition->currentIndex();
  rule.BLimitConnectionNum = c.limitCount->isChecked();
  rule.AllowConnectionNum = static_cast<std::uint32_t>(*allowed);
  return true;
}

}  // namespace harlune
