#include "gui/editors/edit_htb_class_dialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>
#include <vector>

#include "core/base/xml_text.h"
#include "core/htb/htb_rules.h"
#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr std::uint32_t kBytesPerKb = 1024;
constexpr int kSpinMaximum = 32767;

// How far one step of a held spin button goes once it has been held for
// the given seconds.
struct Acceleration {
  qint64 afterSeconds = 0;
  int step = 1;
};

const std::vector<Acceleration> kRateAcceleration = {{0, 1}, {1, 10}, {2, 20}, {3, 50}, {4, 100}};
const std::vector<Acceleration> kPercentAcceleration = {{0, 1}, {1, 5}, {5, 10}, {7, 50}, {9, 100}};
const std::vector<Acceleration> kSingleSteps = {{0, 1}};

std::optional<std::uint32_t> ParseUnsigned(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty() ||
      !std::all_of(trimmed.begin(), trimmed.end(), [](QChar c) { return c.isDigit(); })) {
    return std::nullopt;
  }
  bool ok = false;
  const uint value = trimmed.toUInt(&ok);
  return ok ? std::optional<std::uint32_t>(value) : std::nullopt;
}

// The two arrow buttons beside a number box: they step the number in the
// box within a range, in longer steps the longer a button is held.
class SpinButtons : public QWidget {
 public:
  SpinButtons(QLineEdit* buddy, int maximum, bool upLowers, std::vector<Acceleration> steps,
              const QString& name, QWidget* parent)
      : QWidget(parent),
        buddy_(buddy),
        maximum_(maximum),
        upLowers_(upLowers),
        steps_(std::move(steps)) {
    setObjectName(name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(MakeButton(Qt::UpArrow, name + "Up", upLowers_ ? -1 : 1));
    layout->addWidget(MakeButton(Qt::DownArrow, name + "Down", upLowers_ ? 1 : -1));
  }

 private:
  QToolButton* MakeButton(Qt::ArrowType arrow, const QString& name, int direction) {
    auto* button = new QToolButton(this);
    button->setObjectName(name);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFixedSize(16, 11);
    // While held, the button repeats pressed/clicked; the hold starts at
    // the first press and ends when the button is really up.
    connect(button, &QToolButton::pressed, this, [this] {
      if (!holding_) {
        holding_ = true;
        held_.start();
      }
    });
    connect(button, &QToolButton::released, this, [this, button] {
      if (!button->isDown()) {
        holding_ = false;
      }
    });
    connect(button, &QToolButton::clicked, this, [this, direction] { Step(direction); });
    return button;
  }

  int CurrentStep() const {
    const qint64 seconds = held_.isValid() ? held_.elapsed() / 1000 : 0;
    int step = 1;
    for (const Acceleration& acceleration : steps_) {
      if (seconds >= acceleration.afterSeconds) {
        step = acceleration.step;
      }
    }
    return step;
  }

  void Step(int direction) {
    const auto current = ParseUnsigned(buddy_->text());
    const qint64 start = current.has_value() ? std::min<qint64>(*current, maximum_) : 0;
    const qint64 next = std::clamp<qint64>(start + direction * CurrentStep(), 0, maximum_);
    buddy_->setText(QString::number(next));
  }

  QLineEdit* buddy_;
  int maximum_;
  bool upLowers_;
  std::vector<Acceleration> steps_;
  QElapsedTimer held_;
  bool holding_ = false;
};

QLineEdit* NumberBox(const QString& name, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setMaximumWidth(70);
  box->setAlignment(Qt::AlignRight);
  return box;
}

QRadioButton* Radio(std::string_view text, const QString& name, QWidget* parent) {
  auto* radio = new QRadioButton(ToQString(text), parent);
  radio->setObjectName(name);
  return radio;
}

}  // namespace

std::string IntegerRangeText(std::uint32_t low, std::uint32_t high) {
  return ToUtf8(QStringLiteral("%1 から %2 までの整数を入力してください。").arg(low).arg(high));
}

CEditHtbClassDlg::CEditHtbClassDlg(const PacketFilterManager& filters, UserDialogs& dialogs,
                                   QWidget* parent)
    : QDialog(parent), filters_(filters), dialogs_(dialogs) {
  setWindowTitle(ToQString(kEditHtbClassTitle));
  BuildWidgets();
  FillFilterList();
  LoadNew();
}

QWidget* CEditHtbClassDlg::BuildRateRow(const QString& name, QRadioButton*& kbRadio,
                                        QRadioButton*& percentRadio, QLineEdit*& kbEdit,
                                        QWidget*& kbSpin, QLineEdit*& percentEdit,
                                        QWidget*& percentSpin, std::uint32_t percentMaximum) {
  auto* row = new QWidget(this);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  kbRadio = Radio("KB/s", name + "KbRadio", row);
  percentRadio = Radio("%", name + "PercentRadio", row);
  auto* units = new QButtonGroup(row);
  units->addButton(kbRadio);
  units->addButton(percentRadio);
  kbEdit = NumberBox(name + "KbEdit", row);
  kbSpin = new SpinButtons(kbEdit, kSpinMaximum, false, kRateAcceleration, name + "KbSpin", row);
  percentEdit = NumberBox(name + "PercentEdit", row);
  percentSpin = new SpinButtons(percentEdit, static_cast<int>(percentMaximum), false,
                                kPercentAcceleration, name + "PercentSpin", row);
  for (QWidget* widget : {static_cast<QWidget*>(kbRadio), static_cast<QWidget*>(percentRadio),
                          static_cast<QWidget*>(kbEdit), kbSpin}) {
    layout->addWidget(widget);
  }
  layout->addWidget(new QLabel(QStringLiteral("KB/s"), row));
  layout->addWidget(percentEdit);
  layout->addWidget(percentSpin);
  layout->addWidget(new QLabel(QStringLiteral("%"), row));
  layout->addStretch();
  QLineEdit* kb = kbEdit;
  QLineEdit* percent = percentEdit;
  connect(units, &QButtonGroup::buttonClicked, this,
          [this, kb, percent] { OnUnitChanged(kb, percent); });
  return row;
}

void CEditHtbClassDlg::BuildWidgets() {
  auto* form = new QFormLayout;
  nameEdit_ = new QLineEdit(this);
  nameEdit_->setObjectName("nameEdit");
  form->addRow(QStringLiteral("HTBクラス名"), nameEdit_);
  commentEdit_ = new QLineEdit(this);
  commentEdit_->setObjectName("commentEdit");
  form->addRow(QStringLiteral("コメント"), commentEdit_);

  auto* kindRow = new QHBoxLayout;
  innerRadio_ = Radio("インナークラス", "innerRadio", this);
  leafRadio_ = Radio("リーフクラス", "leafRadio", this);
  auto* kinds = new QButtonGroup(this);
  kinds->addButton(innerRadio_);
  kinds->addButton(leafRadio_);
  kindRow->addWidget(innerRadio_);
  kindRow->addWidget(leafRadio_);
  kindRow->addStretch();
  form->addRow(kindRow);
  connect(kinds, &QButtonGroup::buttonClicked, this, [this] { UpdateEnabled(); });

  auto* availableRow = new QHBoxLayout;
  availableGroup_ = new QButtonGroup(this);
  const std::pair<std::string_view, const char*> conditions[] = {
      {"常に有効", "alwaysRadio"},
      {"プロセスが存在するとき", "processRadio"},
      {"コネクションが存在するとき", "connectionRadio"}};
  for (int type = 0; type < 3; ++type) {
    auto* radio = Radio(conditions[type].first, conditions[type].second, this);
    availableGroup_->addButton(radio, type);
    availableRow->addWidget(radio);
  }
  availableRow->addStretch();
  form->addRow(availableRow);

  form->addRow(QStringLiteral("上限帯域"),
               BuildRateRow("ceil", ceilKbRadio_, ceilPercentRadio_, ceilKbEdit_, ceilKbSpin_,
                            ceilPercentEdit_, ceilPercentSpin_, kMaxClassPercentage));
  form->addRow(
      QStringLiteral("最低保証帯域"),
      BuildRateRow("assured", assuredKbRadio_, assuredPercentRadio_, assuredKbEdit_, assuredKbSpin_,
                   assuredPercentEdit_, assuredPercentSpin_, kSpinMaximum));
  // A root guarantees what it may use: its two rates are one.
  connect(ceilKbEdit_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (root_) {
      assuredKbEdit_->setText(text);
    }
  });

  auto* priorityRow = new QHBoxLayout;
  priorityEdit_ = NumberBox("priorityEdit", this);
  // Up means a smaller number, that is a higher priority.
  prioritySpin_ =
      new SpinButtons(priorityEdit_, kSpinMaximum, true, kSingleSteps, "prioritySpin", this);
  priorityRow->addWidget(priorityEdit_);
  priorityRow->addWidget(prioritySpin_);
  priorityRow->addStretch();
  form->addRow(QStringLiteral("優先度\n(数値が少ないほど高い)"), priorityRow);

  filterList_ = new QListWidget(this);
  filterList_->setObjectName("filterList");
  filterList_->setSelectionMode(QAbstractItemView::SingleSelection);
  filterList_->viewport()->installEventFilter(this);
  connect(filterList_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { OnFilterClicked(item->data(Qt::UserRole).toInt()); });
  form->addRow(QStringLiteral("対象フィルタ"), filterList_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &CEditHtbClassDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CEditHtbClassDlg::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

void CEditHtbClassDlg::FillFilterList() {
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    const PacketFilterSetting& filter = filters_.At(i);
    auto* item = new QListWidgetItem(ToQString(filter.Name), filterList_);
    item->setData(Qt::UserRole, filter.ID);
  }
}

void CEditHtbClassDlg::LoadNew() {
  existing_ = false;
  root_ = false;
  values_ = Values{};
  ShowValues(values_, false);
}

void CEditHtbClassDlg::LoadFrom(const HTB_Class& cls) {
  existing_ = true;
  root_ = cls.Parent == nullptr;
  Values values;
  values.name = cls.Name;
  values.comment = cls.Comment;
  values.ceilKb = cls.CeilRate / kBytesPerKb;
  values.assuredKb = cls.AssuredRate / kBytesPerKb;
  values.ceilPercentage = cls.CeilRatePercentage;
  values.assuredPercentage = cls.AssuredRatePercentage;
  values.ceilOrder = cls.CeilRateOrder;
  values.assuredOrder = cls.AssuredRateOrder;
  values.priority = cls.Priority;
  const auto* leaf = dynamic_cast<const HTB_LeafClass*>(&cls);
  if (leaf != nullptr) {
    values.filterId = leaf->FilterID;
    values.availableType = leaf->AvailableType;
  }
  values_ = values;
  ShowValues(values_, leaf != nullptr);
}

void CEditHtbClassDlg::ShowValues(const Values& values, bool leaf) {
  nameEdit_->setText(ToQString(values.name));
  commentEdit_->setText(ToQString(values.comment));
  (leaf ? leafRadio_ : innerRadio_)->setChecked(true);
  QAbstractButton* condition = availableGroup_->button(values.availableType);
  (condition != nullptr ? condition : availableGroup_->button(kAvailableAlways))->setChecked(true);
  ceilKbEdit_->setText(QString::number(values.ceilKb));
  assuredKbEdit_->setText(QString::number(values.assuredKb));
  ceilPercentEdit_->setText(QString::number(values.ceilPercentage));
  assuredPercentEdit_->setText(QString::number(values.assuredPercentage));
  (values.ceilOrder == 1 ? ceilPercentRadio_ : ceilKbRadio_)->setChecked(true);
  (values.assuredOrder == 1 ? assuredPercentRadio_ : assuredKbRadio_)->setChecked(true);
  priorityEdit_->setText(QString::number(values.priority));
  filterList_->clearSelection();
  for (int row = 0; row < filterList_->count(); ++row) {
    if (values.filterId != -1 &&
        filterList_->item(row)->data(Qt::UserRole).toInt() == values.filterId) {
      filterList_->setCurrentRow(row);
    }
  }
  UpdateEnabled();
}

void CEditHtbClassDlg::UpdateEnabled() {
  const bool leaf = IsLeaf();
  filterList_->setEnabled(leaf);
  for (QAbstractButton* radio : availableGroup_->buttons()) {
    radio->setEnabled(leaf);
  }
  innerRadio_->setEnabled(!existing_);
  leafRadio_->setEnabled(!existing_);

  const bool ceilKb = ceilKbRadio_->isChecked();
  const bool assuredKb = assuredKbRadio_->isChecked();
  ceilKbEdit_->setEnabled(ceilKb);
  ceilKbSpin_->setEnabled(ceilKb);
  ceilPercentEdit_->setEnabled(!ceilKb);
  ceilPercentSpin_->setEnabled(!ceilKb);
  assuredKbEdit_->setEnabled(assuredKb && !root_);
  assuredKbSpin_->setEnabled(assuredKb && !root_);
  assuredPercentEdit_->setEnabled(!assuredKb);
  assuredPercentSpin_->setEnabled(!assuredKb);

  nameEdit_->setEnabled(!root_);
  priorityEdit_->setEnabled(!root_);
  prioritySpin_->setEnabled(!root_);
  for (QRadioButton* unit :
       {ceilKbRadio_, ceilPercentRadio_, assuredKbRadio_, assuredPercentRadio_}) {
    unit->setEnabled(!root_);
  }
}

void CEditHtbClassDlg::OnUnitChanged(QLineEdit* kbEdit, QLineEdit* percentEdit) {
  // Whichever box of the pair is left empty reads 0, so that OK finds a
  // number in the box that is not in use.
  for (QLineEdit* box : {kbEdit, percentEdit}) {
    if (box->text().isEmpty()) {
      box->setText(QStringLiteral("0"));
    }
  }
  UpdateEnabled();
}

bool CEditHtbClassDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == filterList_->viewport() && event->type() == QEvent::MouseButtonPress) {
    targetBeforePress_ = SelectedFilterId();
  }
  return QDialog::eventFilter(watched, event);
}

void CEditHtbClassDlg::OnFilterClicked(std::int32_t filterId) {
  // Clicking the target again leaves the class without one.
  if (filterId == targetBeforePress_) {
    filterList_->setCurrentItem(nullptr);
    filterList_->clearSelection();
  }
  targetBeforePress_ = SelectedFilterId();
}

std::int32_t CEditHtbClassDlg::SelectedFilterId() const {
  const auto selected = filterList_->selectedItems();
  return selected.isEmpty() ? -1 : selected.front()->data(Qt::UserRole).toInt();
}

bool CEditHtbClassDlg::IsLeaf() const { return leafRadio_->isChecked(); }

void CEditHtbClassDlg::Refuse(QLineEdit* box, std::string_view message) {
  dialogs_.ShowMessage(message);
  box->setFocus();
  box->selectAll();
}

std::optional<std::uint32_t> CEditHtbClassDlg::Unsigned(QLineEdit* box, std::uint32_t maximum) {
  const auto value = ParseUnsigned(box->text());
  if (!value.has_value()) {
    Refuse(box, kPositiveIntegerText);
    return std::nullopt;
  }
  if (*value > maximum) {
    Refuse(box, IntegerRangeText(0, maximum));
    return std::nullopt;
  }
  return value;
}

bool CEditHtbClassDlg::TextsStorable(const Values& values) {
  if (!XmlTextProblem(values.name).empty()) {
    Refuse(nameEdit_, kClassNameUnstorableMessage);
    return false;
  }
  if (!XmlTextProblem(values.comment).empty()) {
    Refuse(commentEdit_, kClassCommentUnstorableMessage);
    return false;
  }
  return true;
}

std::optional<std::uint32_t> CEditHtbClassDlg::UnsignedInUse(QLineEdit* box, bool inUse,
                                                             std::uint32_t loaded,
                                                             std::uint32_t maximum) {
  // The box of the unit not chosen is greyed and its text unused: what was
  // left in it cannot block OK, and the class keeps the value it had.
  return inUse ? Unsigned(box, maximum) : std::optional<std::uint32_t>(loaded);
}

bool CEditHtbClassDlg::ReadKbRates(Values& values) {
  const auto ceilKb =
      UnsignedInUse(ceilKbEdit_, values.ceilOrder == 0, values_.ceilKb, kMaxClassRateKb);
  if (!ceilKb) {
    return false;
  }
  const auto assuredKb =
      UnsignedInUse(assuredKbEdit_, values.assuredOrder == 0, values_.assuredKb, kMaxClassRateKb);
  if (!assuredKb) {
    return false;
  }
  if (values.ceilOrder == 0 && values.assuredOrder == 0) {
    if (const auto refusal = CheckRates(*assuredKb * kBytesPerKb, *ceilKb * kBytesPerKb)) {
      Refuse(assuredKbEdit_, *refusal);
      return false;
    }
  }
  values.ceilKb = *ceilKb;
  values.assuredKb = *assuredKb;
  return true;
}

bool CEditHtbClassDlg::ReadPercentages(Values& values) {
  const auto ceilPercentage = UnsignedInUse(ceilPercentEdit_, values.ceilOrder == 1,
                                            values_.ceilPercentage, kMaxClassPercentage);
  if (!ceilPercentage) {
    return false;
  }
  const auto assuredPercentage = UnsignedInUse(assuredPercentEdit_, values.assuredOrder == 1,
                                               values_.assuredPercentage, kMaxClassPercentage);
  if (!assuredPercentage) {
    return false;
  }
  values.ceilPercentage = *ceilPercentage;
  values.assuredPercentage = *assuredPercentage;
  return true;
}

void CEditHtbClassDlg::accept() {
  Values values;
  values.name = ToUtf8(nameEdit_->text());
  values.comment = ToUtf8(commentEdit_->text());
  values.ceilOrder = ceilPercentRadio_->isChecked() ? 1 : 0;
  values.assuredOrder = assuredPercentRadio_->isChecked() ? 1 : 0;
  if (!ReadKbRates(values)) {
    return;
  }
  const auto priority = Unsigned(priorityEdit_, 0xFFFFFFFFU);
  if (!priority) {
    return;
  }
  values.priority = *priority;
  values.filterId = SelectedFilterId();
  if (filterList_->isEnabled() && values.filterId == -1) {
    dialogs_.ShowMessage(kLeafWithoutFilterNotice);
  }
  if (!ReadPercentages(values) || !TextsStorable(values)) {
    return;
  }
  values.availableType = std::max(availableGroup_->checkedId(), 0);
  values_ = values;
  QDialog::accept();
}

bool CEditHtbClassDlg::StoreTo(HTB_Class& cls) const {
  auto* leaf = dynamic_cast<HTB_LeafClass*>(&cls);
  if ((leaf != nullptr) != IsLeaf()) {
    return false;
  }
  cls.Name = values_.name;
  cls.Comment = values_.comment;
  cls.CeilRate = values_.ceilKb * kBytesPerKb;
  cls.AssuredRate = values_.assuredKb * kBytesPerKb;
  cls.CeilRatePercentage = values_.ceilPercentage;
  cls.AssuredRatePercentage = values_.assuredPercentage;
  cls.CeilRateOrder = values_.ceilOrder;
  cls.AssuredRateOrder = values_.assuredOrder;
  cls.Priority = values_.priority;
  if (leaf != nullptr) {
    leaf->FilterID = values_.filterId;
    leaf->AvailableType = values_.availableType;
  }
  return true;
}

}  // namespace harlune
