#pragma once

// The options dialog: three pages over the general settings. OK stores
// every page's values into the settings object (the opener then shows or
// hides the tray icon and saves the general settings); Cancel changes
// nothing.

#include <QDialog>
#include <QWidget>

#include "core/app/ini_file_object.h"
#include "core/base/user_dialogs.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTabWidget;

namespace harlune {

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
  void LoadFrom(const IniFileObject& settings);
  void StoreTo(IniFileObject& settings) const;
  const Controls& controls() const { return controls_; }

 private:
  Controls controls_;
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
  COptionsDlg(IniFileObject& settings, UserDialogs& dialogs, QWidget* parent = nullptr);

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
