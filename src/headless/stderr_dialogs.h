#pragma once

// The headless program's user dialogs: every message and question is one
// line on standard error; a question is answered with its first button.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/base/user_dialogs.h"

namespace harlune {

// The text on one line: line breaks and other control characters become
// spaces, and runs of spaces left by indentation shrink to one.
std::string OneLine(std::string_view text);

class StderrDialogs final : public UserDialogs {
 public:
  explicit StderrDialogs(std::FILE* out = stderr) : out_(out) {}
  void ShowMessage(std::string_view text) override;
  QuestionAnswer Ask(std::string_view text, std::string_view caption,
                     QuestionButtons buttons) override;

 private:
  std::FILE* out_;
};

}  // namespace harlune
