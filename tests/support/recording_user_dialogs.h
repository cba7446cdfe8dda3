#pragma once

// A UserDialogs that shows nothing, keeps every message and question in
// order, and answers questions from a script (the default button when the
// script has run out).

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"

namespace harlune {

class RecordingUserDialogs : public UserDialogs {
 public:
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }

  QuestionAnswer Ask(std::string_view text, std::string_view caption,
                     QuestionButtons buttons) override {
    questions.emplace_back(text);
    captions.emplace_back(caption);
    if (answers.empty()) {
      return DefaultAnswer(buttons);
    }
    const QuestionAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::vector<std::string> messages;
  std::vector<std::string> questions;
  std::vector<std::string> captions;
  std::deque<QuestionAnswer> answers;  // the next answers, first first
};

}  // namespace harlune
