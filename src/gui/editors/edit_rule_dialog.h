#pragma once

// The editor of one connection control rule ("TCPコネクション操作ルール編集"):
// LoadFrom copies a rule into the controls, OK checks the controls in a
// fixed order (the first failure is shown, focused, and keeps the dialog
// open), and StoreTo copies the checked values into a rule.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/base/user_dialogs.h"
#include "core/control/operate_connection_rule.h"
#include "gui/editors/process_file_dialog.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace harlune {

class DroppableEdit;

inline constexpr std::string_view kRuleEditorTitle = "TCPコネクション操作ルール編集";
inline constexpr std::string_view kCommaRefusedMessage = "「,」は使えません";
inline constexpr std::string_view kNotUnsignedMessage = "正の整数を入力してください。";
inline constexpr std::string_view kHostListNotFoundMessage = "ファイルが見つかりません：%s";
// ConnectionControlRule.ini is CP932 and strips blanks at the ends of a
// value; a typed text it cannot hold would come back changed or be lost.
inline constexpr std::string_view kRuleNameUnstorableMessage =
    "ルール名に保存できない文字が含まれています。";
inline constexpr std::string_view kRuleCommentUnstorableMessage =
    "コメントに保存できない文字が含まれています。";
inline constexpr std::string_view kRuleProcessUnstorableMessage =
    "プロセス名に保存できない文字が含まれています。";
inline constexpr std::string_view kRuleHostListPathUnstorableMessage =
    "ホストリストファイルのパスに保存できない文字が含まれています。";

class CEditOperateConnectionRuleDlg : public QDialog {
  Q_OBJECT

 public:
  // The controls, for the page's tests and for nothing else.
  struct Controls {
    QLineEdit* name = nullptr;
    QLineEdit* comment = nullptr;
    DroppableEdit* hostListPath = nullptr;
    QPushButton* browseHostList = nullptr;
    QPushButton* reloadHostList = nullptr;
    QListWidget* hosts = nullptr;
    QLineEdit* processName = nullptr;
    QPushButton* browseProcess = nullptr;
    QCheckBox* limitCount = nullptr;
    QLineEdit* allowCount = nullptr;
    QComboBox* priorCondition = nullptr;
    QLineEdit* timeLow = nullptr;
    QLineEdit* timeHigh = nullptr;
    QLineEdit* upLow = nullptr;
    QLineEdit* upHigh = nullptr;
    QLineEdit* downLow = nullptr;
    QLineEdit* downHigh = nullptr;
    QComboBox* action = nullptr;
  };

  // Asks for a file to open with the given name filters (the preferred one
  // second); an empty answer when the user cancelled.
  using FileChooser = std::function<QString(const QString& filters, const QString& preferred)>;

  explicit CEditOperateConnectionRuleDlg(UserDialogs& dialogs, QWidget* parent = nullptr);

  void LoadFrom(const OperateConnectionRule& rule);
  // After OK: the edited fields into `rule` (Available and the rest stay),
  // an empty name as "NewRule", and the host list read anew from its path.
  void StoreTo(OperateConnectionRule& rule) const;

  // OK: the checks; the dialog closes only when they all pass.
  void accept() override;

  void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
  void SetProcessChooser(ProcessFileChooser chooser) { chooseProcess_ = std::move(chooser); }
  const Controls& controls() const { return controls_; }

 private:
  QWidget* MakeTargetGroup();
  QWidget* MakeLimitGroup();
  QWidget* MakeConditionGroup();
  void BrowseHostList();
  void BrowseProcess();
  void ShowHostList();
  void UpdateLimitEnabled();
  bool Check();
  bool Refuse(std::string_view message, QLineEdit* field);
  bool NoComma(QLineEdit* field);
  std::optional<std::uint64_t> Unsigned(QLineEdit* field, std::uint64_t max);
  bool HostListReadable();
  // Refuses a typed text ConnectionControlRule.ini could not hold.
  bool TextsStorable();

  UserDialogs& dialogs_;
  Controls controls_;
  FileChooser chooseFile_;
  ProcessFileChooser chooseProcess_ = ChooseProcessFile;
  OperateConnectionRule edited_;
};

}  // namespace harlune
