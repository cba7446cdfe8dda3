#pragma once

// The window's dialogs, which stop asking once the session ends: a signal
// or a logout cannot answer a question, so from then on every question is
// answered with its default button, as the headless program answers it,
// and every message goes to standard error instead of a box.

#include <cstdio>

#include "core/base/user_dialogs.h"

namespace harlune {

class UnattendedDialogs final : public UserDialogs {
 public:
  explicit UnattendedDialogs(UserDialogs& interactive, std::FILE* log = stderr)
      : interactive_(interactive), log_(log) {}

  void StopAsking() { unattended_ = true; }
  bool Asking() const { return !unattended_; }

  void ShowMessage(std::string_view text) override;
  QuestionAnswer Ask(std::string_view text, std::string_view caption,
                     QuestionButtons buttons) override;

 private:
  UserDialogs& interactive_;
  std::FILE* log_;
  bool unattended_ = false;
};

}  // namespace harlune
