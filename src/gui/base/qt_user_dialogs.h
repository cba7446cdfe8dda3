#pragma once

// The core's messages and questions as Qt message boxes, with the
// application's name as the caption of a message.

#include <QPointer>
#include <QWidget>

#include "core/base/user_dialogs.h"

namespace harlune {

class QtUserDialogs final : public UserDialogs {
 public:
  // Boxes are centred on `parent` while it lives.
  explicit QtUserDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  void ShowMessage(std::string_view text) override;
  QuestionAnswer Ask(std::string_view text, std::string_view caption,
                     QuestionButtons buttons) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace harlune
