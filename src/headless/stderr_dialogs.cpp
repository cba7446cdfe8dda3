#include "headless/stderr_dialogs.h"

namespace harlune {
namespace {

std::string_view AnswerName(QuestionAnswer answer) {
  switch (answer) {
    case QuestionAnswer::kYes:
      return "yes";
    case QuestionAnswer::kNo:
      return "no";
    case QuestionAnswer::kOk:
      return "OK";
    case QuestionAnswer::kCancel:
      return "cancel";
  }
  return "?";
}

}  // namespace

std::string OneLine(std::string_view text) {
  std::string line;
  for (const char c : text) {
    const bool blank = static_cast<unsigned char>(c) < 0x20 || c == ' ' || c == 0x7F;
    if (blank) {
      if (!line.empty() && line.back() != ' ') {
        line.push_back(' ');
      }
    } else {
      line.push_back(c);
    }
  }
  while (!line.empty() && line.back() == ' ') {
    line.pop_back();
  }
  return line;
}

void StderrDialogs::ShowMessage(std::string_view text) {
  std::fprintf(out_, "harlune-headless: %s\n", OneLine(text).c_str());
  std::fflush(out_);
}

QuestionAnswer StderrDialogs::Ask(std::string_view text, std::string_view caption,
                                  QuestionButtons buttons) {
  const QuestionAnswer answer = DefaultAnswer(buttons);
  std::fprintf(out_, "harlune-headless: %s: %s -> %s\n", std::string(caption).c_str(),
               OneLine(text).c_str(), std::string(AnswerName(answer)).c_str());
  std::fflush(out_);
  return answer;
}

}  // namespace harlune
