#pragma once

// The options dialog: three pages over the general settings. OK stores
// every page's values into the settings object (the opener then shows or
// hides the tray icon and saves the general settings); Cancel changes
// nothing.

#include <QDialog>
#include <QWidget>
#include <string>
#include <string_view>

#include "core/app/ini_file_object.h"
#include "core/base/user_dialogs.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTabWidget;

namespace harlune {

// Refusals of a log text GeneralSetting.ini could not give back as typed;
// %1 is the field's name.
inline constexpr std::string_view kOptionTextBlankMessage =
    "%1の先頭や末尾に空白があると保存できません。";
inline constexpr std::string_view kOptionTextTooLongMessage = "%1が長すぎて保存できません。";
inline constexpr std::string_view kOptionTextUnstorableMessage =
    "%1に保存できない文字が含まれています。";
inline constexpr std::string_view kStatsLogFileNameField = "TCPコネクション情報のログのファイル名";
inline constexpr std::string_view kStatsLogFormatField = "TCPコネクション情報のログの書式";
inline constexpr std::string_view kControlLogFileNameField =
    "TCPコネクション操作のログのファイル名";
// Shown on "全般" when the desktop has no tray when the dialog opens.
inline constexpr std::string_view kNoTrayNote =
    "通知領域（システムトレイ）がないため、トレイに関する設定は働きません。"
    "ウィンドウは通常どおり最小化されます。";

// The refusal of `value` stored under `key` in the field `field`, or empty
// when GeneralSetting.ini can hold it.
std::string OptionTextRefusal(std::string_view field, std::string_view key, std::string_view value);

// "全般": start-up, tray icon and closing.
class CTabStartup final : public QWidget {
  Q_OBJECT

 public:
  struct Controls {
    QCheckBox* autoSave = nullptr;
    QCheckBox* startupOn = nullptr;
    QCheckBox* startupMinimize = nullptr;
    QCheckBox* noIcon = nullptr;
    QCheckBox* confirmClose = nullptr;
    QComboBox* closeButtonAction = nullptr;
  };

  explicit CTabStartup(QWidget* parent = nullptr);
  // Shows the note that the tray options have no effect while there is no
  // tray; the options stay editable for when one appears.
  void ShowTrayAvailability(bool available);
  const QLabel* noTrayNote() const { return noTrayNote_; }
  void LoadFrom(const IniFileObject& settings);
  void StoreTo(IniFileObject& settings) const;
  const Controls& controls() const { return controls_; }

 private:
  Controls controls_;
  QLabel* noTrayNote_ = nullptr;
};

// "動作": the packet monitor's size, the drawing cycle, connection control
// and the port-to-process mapping.
class CTabPerformance final : public QWidget {
  Q_OBJECT

 public:
  struct Controls {
    QLineEdit* maxPackets = nullptr;
    QComboBox* viewRefreshCycle = nullptr;
    QCheckBox* controlWithFiltering = nullptr;
    QCheckBox* noPortMapping = nullptr;
  };

  explicit CTabPerformance(QWidget* parent = nullptr);
  // The mapping box is shown only where the mapping is used: with the plain
  // TCP table, whose rows carry no owners. With the extended table every
  // connection has its process anyway, and the box would change nothing.
  void ShowPortMappingOption(bool shown);
  void LoadFrom(const IniFileObject& settings);
  // False (after telling the user) when the packet count is no integer.
  bool Check(UserDialogs& dialogs) const;
  void StoreTo(IniFileObject& settings) const;
  const Controls& controls() const { return controls_; }

 private:
  Controls controls_;
};

// "ログ": the two log files.
class CTabLog final : public QWidget {
  Q_OBJECT

 public:
  struct Controls {
    QCheckBox* logConnectionStats = nullptr;
    QLineEdit* statsFileName = nullptr;
    QLineEdit* statsFormat = nullptr;
    QCheckBox* logConnectionControl = nullptr;
    QLineEdit* controlFileName = nullptr;
  };

  explicit CTabLog(QWidget* parent = nullptr);
  void LoadFrom(const IniFileObject& settings);
  // The first field (after telling the user why) whose text could not be
  // stored as typed; nullptr when all can.
  QLineEdit* Check(UserDialogs& dialogs) const;
  void StoreTo(IniFileObject& settings) const;
  const Controls& controls() const { return controls_; }

 private:
  // A file name and format are edited only while their log is written.
  void UpdateEnabling();

  Controls controls_;
};

class COptionsDlg final : public QDialog {
  Q_OBJECT

 public:
  // `trayAvailable` is whether the desktop has a tray now; by default the
  // real answer.
  COptionsDlg(IniFileObject& settings, UserDialogs& dialogs, QWidget* parent = nullptr);
  COptionsDlg(IniFileObject& settings, UserDialogs& dialogs, bool trayAvailable,
              QWidget* parent = nullptr);

  CTabStartup* startup() const { return startup_; }
  CTabPerformance* performance() const { return performance_; }
  CTabLog* log() const { return log_; }

 public slots:
  void accept() override;

 private:
  IniFileObject& settings_;
  UserDialogs& dialogs_;
  CTabStartup* startup_;
  CTabPerformance* performance_;
  CTabLog* log_;
  QTabWidget* pages_;
};

}  // namespace harlune
