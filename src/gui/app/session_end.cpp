#include "gui/app/session_end.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "gui/app/main_window.h"
#include "gui/app/unattended_dialogs.h"

namespace harlune {
namespace {

constexpr int kRetryMilliseconds = 20;

void AnswerOpenDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) {
      if (QPushButton* answer = box->defaultButton(); answer != nullptr) {
        answer->click();
      } else {
        box->reject();
      }
    } else if (auto* dialog = qobject_cast<QDialog*>(widget);
               dialog != nullptr && dialog->isVisible()) {
      dialog->reject();
    }
  }
  if (QWidget* popup = QApplication::activePopupWidget(); popup != nullptr) {
    popup->close();
  }
}

// Inside a dialog's own event loop the code that opened it has not
// finished: the close procedure waits until that loop has returned.
bool MainLoopHasControl() {
  return QApplication::activeModalWidget() == nullptr &&
         QApplication::activePopupWidget() == nullptr && QThread::currentThread()->loopLevel() <= 1;
}

}  // namespace

SessionEnd::SessionEnd(CNetSieveDlg& window, UnattendedDialogs& dialogs, QObject* parent)
    : QObject(parent), window_(window), dialogs_(dialogs) {}

void SessionEnd::Request() {
  if (requested_) {
    return;
  }
  requested_ = true;
  dialogs_.StopAsking();
  QTimer::singleShot(0, this, [this] { CloseWhenIdle(); });
}

void SessionEnd::CloseWhenIdle() {
  if (window_.Finished()) {
    return;
  }
  if (!MainLoopHasControl()) {
    AnswerOpenDialogs();
    QTimer::singleShot(kRetryMilliseconds, this, [this] { CloseWhenIdle(); });
    return;
  }
  CloseNow();
}

void SessionEnd::CloseNow() {
  requested_ = true;
  dialogs_.StopAsking();
  // With every question answered by its default the procedure ends the
  // program.
  window_.RunCloseProcedure();
}

}  // namespace harlune
