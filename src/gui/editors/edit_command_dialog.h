#pragma once

// CEditExternalCommand ("外部コマンド編集"): edits one external command. The
// target radios are enabled only while "右クリックメニューに追加する。" is
// checked, and a click on one sets the target at once; a target the file
// gave that names neither monitor stays as it was unless the user clicks.
// OK refuses an empty name, a name with ",", and text the commands file
// cannot hold.

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>
#include <cstdint>
#include <string_view>

#include "core/base/user_dialogs.h"
#include "core/command/external_command.h"

namespace harlune {

inline constexpr std::string_view kCommandNameCommaMessage = "コマンド名に「,」は使えません。";
// A command without a name would be a blank line in the right-click menu
// and in the list.
inline constexpr std::string_view kCommandNameEmptyMessage = "コマンド名を入力してください。";
// The commands file is CP932 text: a character it lacks could not be saved.
inline constexpr std::string_view kCommandNameUnstorableMessage =
    "コマンド名に保存できない文字が含まれています。";
inline constexpr std::string_view kCommandLineUnstorableMessage =
    "コマンドラインに保存できない文字が含まれています。";

class CEditExternalCommand : public QDialog {
  Q_OBJECT

 public:
  explicit CEditExternalCommand(UserDialogs& dialogs, QWidget* parent = nullptr);

  void LoadFrom(const ExternalCommand& command);
  void StoreTo(ExternalCommand& command) const;

  // OK: the checks in order; the first that fails tells the user, puts the
  // focus on its field and keeps the dialog open.
  void accept() override;

  QLineEdit& nameEdit() { return *name_; }
  QLineEdit& commandLineEdit() { return *commandLine_; }
  QCheckBox& addToMenuBox() { return *addToMenu_; }
  QRadioButton& connectionMonitorRadio() { return *connectionMonitor_; }
  QRadioButton& packetMonitorRadio() { return *packetMonitor_; }

 private:
  void ShowTarget();
  void EnableTargets();
  void Refuse(std::string_view message, QLineEdit& field);

  UserDialogs& dialogs_;
  QLineEdit* name_;
  QLineEdit* commandLine_;
  QCheckBox* addToMenu_;
  QRadioButton* connectionMonitor_;
  QRadioButton* packetMonitor_;
  QButtonGroup* targets_;
  // "ウィンドウを表示する。": carried through, never shown.
  QCheckBox* showWindow_;
  std::int32_t target_ = kTargetConnectionMonitor;
};

}  // namespace harlune
