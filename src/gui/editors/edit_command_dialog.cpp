#include "gui/editors/edit_command_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <string>

#include "core/command/external_command_file.h"
#include "gui/base/qt_text.h"

namespace harlune {
namespace {

// Whether the commands file can hold the text as a command's name or
// command line.
bool StorableName(const std::string& name) {
  return ExternalCommandProblem(ExternalCommand(1, 0, kTargetConnectionMonitor, name, {})).empty();
}

bool StorableCommandLine(const std::string& commandLine) {
  return ExternalCommandProblem(ExternalCommand(1, 0, kTargetConnectionMonitor, "x", commandLine))
      .empty();
}

}  // namespace

CEditExternalCommand::CEditExternalCommand(UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent),
      dialogs_(dialogs),
      name_(new QLineEdit),
      commandLine_(new QLineEdit),
      addToMenu_(new QCheckBox(QStringLiteral("右クリックメニューに追加する。"))),
      connectionMonitor_(new QRadioButton(QStringLiteral("TCPコネクションモニタ"))),
      packetMonitor_(new QRadioButton(QStringLiteral("パケットモニタ"))),
      targets_(new QButtonGroup(this)),
      showWindow_(new QCheckBox(QStringLiteral("ウィンドウを表示する。"), this)) {
  setWindowTitle(QStringLiteral("外部コマンド編集"));
  showWindow_->hide();
  targets_->addButton(connectionMonitor_, kTargetConnectionMonitor);
  targets_->addButton(packetMonitor_, kTargetPacketMonitor);

  auto* fields = new QFormLayout;
  fields->addRow(QStringLiteral("コマンド名"), name_);
  fields->addRow(QStringLiteral("コマンドライン"), commandLine_);
  auto* targetBox = new QGroupBox(QStringLiteral("対象"));
  auto* targetLayout = new QHBoxLayout(targetBox);
  targetLayout->addWidget(connectionMonitor_);
  targetLayout->addWidget(packetMonitor_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(addToMenu_);
  layout->addWidget(targetBox);
  layout->addWidget(buttons);
  resize(420, sizeHint().height());

  connect(buttons, &QDialogButtonBox::accepted, this, &CEditExternalCommand::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(addToMenu_, &QCheckBox::toggled, this, [this] { EnableTargets(); });
  connect(targets_, &QButtonGroup::idClicked, this, [this](int id) { target_ = id; });
  LoadFrom(ExternalCommand());
}

void CEditExternalCommand::LoadFrom(const ExternalCommand& command) {
  name_->setText(ToQString(command.Name));
  commandLine_->setText(ToQString(command.CommandLine));
  addToMenu_->setChecked(command.AddToMenu != 0);
  showWindow_->setChecked(command.ShowCommandWindow != 0);
  target_ = command.Target;
  ShowTarget();
  EnableTargets();
}

void CEditExternalCommand::StoreTo(ExternalCommand& command) const {
  command.Name = ToUtf8(name_->text());
  command.CommandLine = ToUtf8(commandLine_->text());
  command.AddToMenu = addToMenu_->isChecked() ? 1 : 0;
  command.ShowCommandWindow = showWindow_->isChecked() ? 1 : 0;
  command.Target = target_;
}

void CEditExternalCommand::ShowTarget() {
  // An exclusive group cannot be emptied by unchecking: a target that names
  // neither monitor shows no radio.
  targets_->setExclusive(false);
  connectionMonitor_->setChecked(target_ == kTargetConnectionMonitor);
  packetMonitor_->setChecked(target_ == kTargetPacketMonitor);
  targets_->setExclusive(true);
}

void CEditExternalCommand::EnableTargets() {
  connectionMonitor_->setEnabled(addToMenu_->isChecked());
  packetMonitor_->setEnabled(addToMenu_->isChecked());
}

void CEditExternalCommand::Refuse(std::string_view message, QLineEdit& field) {
  dialogs_.ShowMessage(message);
  field.setFocus();
}

void CEditExternalCommand::accept() {
  const std::string name = ToUtf8(name_->text());
  if (name_->text().trimmed().isEmpty()) {
    Refuse(kCommandNameEmptyMessage, *name_);
    return;
  }
  if (name.find(',') != std::string::npos) {
    Refuse(kCommandNameCommaMessage, *name_);
    return;
  }
  if (!StorableName(name)) {
    Refuse(kCommandNameUnstorableMessage, *name_);
    return;
  }
  if (!StorableCommandLine(ToUtf8(commandLine_->text()))) {
    Refuse(kCommandLineUnstorableMessage, *commandLine_);
    return;
  }
  QDialog::accept();
}

}  // namespace harlune
