#pragma once

// CInputUserArgDlg ("実行時ユーザー入力"): asks the user for the text that
// replaces one macro of a command about to run. The value starts empty.

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QString>

namespace harlune {

inline constexpr const char* kInputUserArgTitle = "実行時ユーザー入力";

class CInputUserArgDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CInputUserArgDlg(QWidget* parent = nullptr);

  void SetPrompt(const QString& prompt) { prompt_->setText(prompt); }
  QString Prompt() const { return prompt_->text(); }
  QString Value() const { return value_->text(); }

  QLineEdit& valueEdit() { return *value_; }

 private:
  QLabel* prompt_;
  QLineEdit* value_;
};

}  // namespace harlune
