#include "gui/base/qt_user_dialogs.h"

#include <QMessageBox>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr std::string_view kApplicationName = "Harlune";

QMessageBox::StandardButtons ButtonsOf(QuestionButtons buttons) {
  switch (buttons) {
    case QuestionButtons::kYesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case QuestionButtons::kYesNoCancel:
      return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case QuestionButtons::kOkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

}  // namespace

void QtUserDialogs::ShowMessage(std::string_view text) {
  QMessageBox::information(parent_, ToQString(kApplicationName), ToQString(text));
}

QuestionAnswer QtUserDialogs::Ask(std::string_view text, std::string_view caption,
                                  QuestionButtons buttons) {
  const QMessageBox::StandardButtons offered = ButtonsOf(buttons);
  const QMessageBox::StandardButton first =
      buttons == QuestionButtons::kOkCancel ? QMessageBox::Ok : QMessageBox::Yes;
  switch (QMessageBox::question(parent_, ToQString(caption), ToQString(text), offered, first)) {
    case QMessageBox::Yes:
      return QuestionAnswer::kYes;
    case QMessageBox::No:
      return QuestionAnswer::kNo;
    case QMessageBox::Ok:
      return QuestionAnswer::kOk;
    default:
      // Escape or the title-bar button: the last button of the set.
      return buttons == QuestionButtons::kYesNo ? QuestionAnswer::kNo : QuestionAnswer::kCancel;
  }
}

}  // namespace harlune
