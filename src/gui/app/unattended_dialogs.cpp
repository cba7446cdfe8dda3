#include "gui/app/unattended_dialogs.h"

#include <string>

namespace harlune {

void UnattendedDialogs::ShowMessage(std::string_view text) {
  if (!unattended_) {
    return interactive_.ShowMessage(text);
  }
  std::fprintf(log_, "harlune: %s\n", std::string(text).c_str());
  std::fflush(log_);
}

QuestionAnswer UnattendedDialogs::Ask(std::string_view text, std::string_view caption,
                                      QuestionButtons buttons) {
  if (!unattended_) {
    return interactive_.Ask(text, caption, buttons);
  }
  const QuestionAnswer answer = DefaultAnswer(buttons);
  std::fprintf(log_, "harlune: %s: %s -> %s\n", std::string(caption).c_str(),
               std::string(text).c_str(), answer == QuestionAnswer::kOk ? "OK" : "yes");
  std::fflush(log_);
  return answer;
}

}  // namespace harlune
