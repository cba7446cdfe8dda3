#include "gui/editors/options_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QVBoxLayout>
#include <cstdint>
#include <string_view>

#include "core/app/ini_file_format.h"
#include "core/base/c_decimal.h"
#include "core/base/profile_file.h"
#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr std::string_view kNotIntegerMessage = "整数を入力してください。";

QCheckBox* CheckBox(std::string_view text) { return new QCheckBox(ToQString(text)); }

void Show(QCheckBox* box, std::int32_t flag) { box->setChecked(flag == 1); }

std::int32_t FlagOf(const QCheckBox* box) { return box->isChecked() ? 1 : 0; }

// A number field that takes digits only (and a sign, when asked).
void AcceptDigits(QLineEdit* edit, bool withSign) {
  const QString pattern = withSign ? QStringLiteral("-?[0-9]{0,9}") : QStringLiteral("[0-9]{0,9}");
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(pattern), edit));
}

QHBoxLayout* Row(QWidget* first, QWidget* second, QWidget* third = nullptr) {
  auto* row = new QHBoxLayout;
  row->addWidget(first);
  row->addWidget(second);
  if (third != nullptr) {
    row->addWidget(third);
  }
  row->addStretch();
  return row;
}

bool EndsInBlank(std::string_view value) {
  const auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
  return !value.empty() && (blank(value.front()) || blank(value.back()));
}

}  // namespace

std::string OptionTextRefusal(std::string_view field, std::string_view key,
                              std::string_view value) {
  if (GeneralSettingProblem(key, value).empty()) {
    return {};
  }
  std::string_view message = kOptionTextUnstorableMessage;
  if (ProfileValueProblem(value).empty()) {
    message = kOptionTextTooLongMessage;
  } else if (EndsInBlank(value)) {
    message = kOptionTextBlankMessage;
  }
  return ToUtf8(ToQString(message).arg(ToQString(field)));
}

// --- 全般 -------------------------------------------------------------------

CTabStartup::CTabStartup(QWidget* parent) : QWidget(parent) {
  Controls& c = controls_;
  c.autoSave = CheckBox("自動的に設定を保存する。");
  c.startupOn = CheckBox("起動時にフィルタリングを開始する。");
  c.startupMinimize = CheckBox("起動時に最小化する。");
  c.noIcon = CheckBox(
      "タスクトレイのアイコンを非表示にする。\n(もう一度起動するとウィンドウが表示されます。\n "
      "二重に起動はされません。)");
  c.confirmClose = CheckBox("終了するときに確認する。");
  c.closeButtonAction = new QComboBox;
  c.closeButtonAction->addItems({QStringLiteral("閉じる"), QStringLiteral("最小化")});

  auto* layout = new QVBoxLayout(this);
  for (QWidget* box : {c.autoSave, c.startupOn, c.startupMinimize, c.noIcon, c.confirmClose}) {
    layout->addWidget(box);
  }
  layout->addLayout(Row(new QLabel(QStringLiteral("閉じるボタンの動作")), c.closeButtonAction));
  noTrayNote_ = new QLabel(ToQString(kNoTrayNote));
  noTrayNote_->setWordWrap(true);
  noTrayNote_->setVisible(false);
  layout->addWidget(noTrayNote_);
  layout->addStretch();
}

void CTabStartup::ShowTrayAvailability(bool available) { noTrayNote_->setVisible(!available); }

void CTabStartup::LoadFrom(const IniFileObject& settings) {
  const Controls& c = controls_;
  Show(c.autoSave, settings.AUTO_SAVE);
  Show(c.startupOn, settings.STARTUP_ON);
  Show(c.startupMinimize, settings.STARTUP_MINIMIZE);
  Show(c.noIcon, settings.NOICON);
  Show(c.confirmClose, settings.CONFIRM_CLOSE);
  c.closeButtonAction->setCurrentIndex(settings.CLOSE_BUTTON_ACTION == 1 ? 1 : 0);
}

void CTabStartup::StoreTo(IniFileObject& settings) const {
  const Controls& c = controls_;
  settings.AUTO_SAVE = FlagOf(c.autoSave);
  settings.STARTUP_ON = FlagOf(c.startupOn);
  settings.STARTUP_MINIMIZE = FlagOf(c.startupMinimize);
  settings.NOICON = FlagOf(c.noIcon);
  settings.CONFIRM_CLOSE = FlagOf(c.confirmClose);
  settings.CLOSE_BUTTON_ACTION = c.closeButtonAction->currentIndex() == 1 ? 1 : 0;
}

// --- 動作 -------------------------------------------------------------------

CTabPerformance::CTabPerformance(QWidget* parent) : QWidget(parent) {
  Controls& c = controls_;
  c.maxPackets = new QLineEdit;
  AcceptDigits(c.maxPackets, true);
  c.viewRefreshCycle = new QComboBox;
  c.viewRefreshCycle->setEditable(true);
  c.viewRefreshCycle->setInsertPolicy(QComboBox::NoInsert);
  c.viewRefreshCycle->addItems({QStringLiteral("100"), QStringLiteral("200"), QStringLiteral("500"),
                                QStringLiteral("1000")});
  AcceptDigits(c.viewRefreshCycle->lineEdit(), false);
  c.controlWithFiltering = CheckBox("フィルタリングを開始しているときだけコネクション操作を行う。");
  c.noPortMapping =
      CheckBox("プロセスとポートのマッピングをしない。\n(プロセス指定が無効になります。)");

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(Row(new QLabel(QStringLiteral("最大表示パケット個数")), c.maxPackets));
  layout->addLayout(Row(new QLabel(QStringLiteral("フィルタとHTBの描画周期")), c.viewRefreshCycle,
                        new QLabel(QStringLiteral("ms"))));
  layout->addWidget(c.controlWithFiltering);
  layout->addWidget(c.noPortMapping);
  layout->addStretch();
}

void CTabPerformance::ShowPortMappingOption(bool shown) {
  controls_.noPortMapping->setVisible(shown);
}

void CTabPerformance::LoadFrom(const IniFileObject& settings) {
  const Controls& c = controls_;
  c.maxPackets->setText(QString::number(settings.MAX_PACKET_CAPTURE_NUM));
  const QString cycle = QString::number(settings.VIEW_REFRESH_CYCLE);
  const int item = c.viewRefreshCycle->findText(cycle);
  if (item >= 0) {
    c.viewRefreshCycle->setCurrentIndex(item);
  }
  c.viewRefreshCycle->setEditText(cycle);
  Show(c.controlWithFiltering, settings.START_CONNECTION_CONTROL_WITH_FILTERING);
  c.noPortMapping->setChecked(settings.PORT_PROCESS_MAPPING != 1);
}

bool CTabPerformance::Check(UserDialogs& dialogs) const {
  bool isInteger = false;
  controls_.maxPackets->text().trimmed().toInt(&isInteger);
  if (!isInteger) {
    dialogs.ShowMessage(kNotIntegerMessage);
  }
  return isInteger;
}

void CTabPerformance::StoreTo(IniFileObject& settings) const {
  const Controls& c = controls_;
  settings.MAX_PACKET_CAPTURE_NUM = c.maxPackets->text().trimmed().toInt();
  settings.START_CONNECTION_CONTROL_WITH_FILTERING = FlagOf(c.controlWithFiltering);
  settings.PORT_PROCESS_MAPPING = c.noPortMapping->isChecked() ? 0 : 1;
  settings.VIEW_REFRESH_CYCLE =
      ReadCDecimal<std::uint32_t>(ToUtf8(c.viewRefreshCycle->currentText()));
}

// --- ログ -------------------------------------------------------------------

CTabLog::CTabLog(QWidget* parent) : QWidget(parent) {
  Controls& c = controls_;
  c.logConnectionStats = CheckBox("TCPコネクション情報のログをとる。");
  c.statsFileName = new QLineEdit;
  c.statsFormat = new QLineEdit;
  c.logConnectionControl = CheckBox("TCPコネクション操作のログをとる。");
  c.controlFileName = new QLineEdit;

  auto* layout = new QGridLayout(this);
  layout->addWidget(c.logConnectionStats, 0, 0, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("ファイル名")), 1, 0);
  layout->addWidget(c.statsFileName, 1, 1);
  layout->addWidget(new QLabel(QStringLiteral("書式")), 2, 0);
  layout->addWidget(c.statsFormat, 2, 1);
  layout->addWidget(c.logConnectionControl, 3, 0, 1, 2);
  layout->addWidget(new QLabel(QStringLiteral("ファイル名")), 4, 0);
  layout->addWidget(c.controlFileName, 4, 1);
  layout->setRowStretch(5, 1);
  connect(c.logConnectionStats, &QCheckBox::toggled, this, &CTabLog::UpdateEnabling);
  connect(c.logConnectionControl, &QCheckBox::toggled, this, &CTabLog::UpdateEnabling);
  UpdateEnabling();
}

void CTabLog::LoadFrom(const IniFileObject& settings) {
  const Controls& c = controls_;
  Show(c.logConnectionStats, settings.LOG_CONNECTION_STATS);
  c.statsFileName->setText(ToQString(settings.CONNECTION_STATS_LOG_FILE_NAME));
  c.statsFormat->setText(ToQString(settings.CONNECTION_STATS_LOG_FORMAT));
  Show(c.logConnectionControl, settings.LOG_CONNECTION_CONTROL);
  c.controlFileName->setText(ToQString(settings.CONNECTION_CONTROL_LOG_FILE_NAME));
  UpdateEnabling();
}

QLineEdit* CTabLog::Check(UserDialogs& dialogs) const {
  const Controls& c = controls_;
  struct Field {
    QLineEdit* edit;
    std::string_view name;
    std::string_view key;
  };
  const Field fields[] = {
      {c.statsFileName, kStatsLogFileNameField, "CONNECTION_STATS_LOG_FILE_NAME"},
      {c.statsFormat, kStatsLogFormatField, "CONNECTION_STATS_LOG_FORMAT"},
      {c.controlFileName, kControlLogFileNameField, "CONNECTION_CONTROL_LOG_FILE_NAME"},
  };
  for (const Field& field : fields) {
    const std::string refusal =
        OptionTextRefusal(field.name, field.key, ToUtf8(field.edit->text()));
    if (!refusal.empty()) {
      dialogs.ShowMessage(refusal);
      return field.edit;
    }
  }
  return nullptr;
}

void CTabLog::StoreTo(IniFileObject& settings) const {
  const Controls& c = controls_;
  settings.LOG_CONNECTION_STATS = FlagOf(c.logConnectionStats);
  settings.CONNECTION_STATS_LOG_FILE_NAME = ToUtf8(c.statsFileName->text());
  settings.CONNECTION_STATS_LOG_FORMAT = ToUtf8(c.statsFormat->text());
  settings.LOG_CONNECTION_CONTROL = FlagOf(c.logConnectionControl);
  settings.CONNECTION_CONTROL_LOG_FILE_NAME = ToUtf8(c.controlFileName->text());
}

void CTabLog::UpdateEnabling() {
  const Controls& c = controls_;
  const bool stats = c.logConnectionStats->isChecked();
  c.statsFileName->setEnabled(stats);
  c.statsFormat->setEnabled(stats);
  c.controlFileName->setEnabled(c.logConnectionControl->isChecked());
}

// --- the dialog -------------------------------------------------------------

COptionsDlg::COptionsDlg(IniFileObject& settings, UserDialogs& dialogs, QWidget* parent)
    : COptionsDlg(settings, dialogs, QSystemTrayIcon::isSystemTrayAvailable(), parent) {}

COptionsDlg::COptionsDlg(IniFileObject& settings, UserDialogs& dialogs, bool trayAvailable,
                         QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      dialogs_(dialogs),
      startup_(new CTabStartup),
      performance_(new CTabPerformance),
      log_(new CTabLog),
      pages_(new QTabWidget) {
  setWindowTitle(QStringLiteral("オプション"));
  QTabWidget* pages = pages_;
  pages->addTab(startup_, QStringLiteral("全般"));
  pages->addTab(performance_, QStringLiteral("動作"));
  pages->addTab(log_, QStringLiteral("ログ"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &COptionsDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &COptionsDlg::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pages);
  layout->addWidget(buttons);

  startup_->ShowTrayAvailability(trayAvailable);
  startup_->LoadFrom(settings_);
  performance_->LoadFrom(settings_);
  log_->LoadFrom(settings_);
}

void COptionsDlg::accept() {
  if (!performance_->Check(dialogs_)) {
    pages_->setCurrentWidget(performance_);
    performance_->controls().maxPackets->setFocus();
    return;
  }
  if (QLineEdit* refused = log_->Check(dialogs_)) {
    pages_->setCurrentWidget(log_);
    refused->setFocus();
    refused->selectAll();
    return;
  }
  startup_->StoreTo(settings_);
  performance_->StoreTo(settings_);
  log_->StoreTo(settings_);
  QDialog::accept();
}

}  // namespace harlune
