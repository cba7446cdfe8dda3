#pragma once

// The one way the core talks to the user: message boxes and questions. The
// Qt front end shows them; the headless one writes a line to standard error
// and answers a question with its first button.

#include <string_view>

namespace harlune {

// The buttons of a question, the first being the default.
enum class QuestionButtons { kYesNo, kYesNoCancel, kOkCancel };
enum class QuestionAnswer { kYes, kNo, kOk, kCancel };

class UserDialogs {
 public:
  virtual ~UserDialogs() = default;

  // A message box with an OK button; returns when the user closed it.
  virtual void ShowMessage(std::string_view text) = 0;

  // A question with a caption and the buttons given; returns the button the
  // user chose. Closing the box counts as its last button (no / cancel).
  virtual QuestionAnswer Ask(std::string_view text, std::string_view caption,
                             QuestionButtons buttons) = 0;
};

// The first button of a set: what a front end without a user answers.
constexpr QuestionAnswer DefaultAnswer(QuestionButtons buttons) {
  return buttons == QuestionButtons::kOkCancel ? QuestionAnswer::kOk : QuestionAnswer::kYes;
}

}  // namespace harlune
