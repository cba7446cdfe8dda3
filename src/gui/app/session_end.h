#pragma once

// Ends the program when the session ends (a signal, a logout): the window's
// close procedure runs with every question answered by its default, once
// the main event loop has control again. Open dialogs are answered first:
// a message box with its default button, any other dialog with cancel.

#include <QObject>

namespace harlune {

class CNetSieveDlg;
class UnattendedDialogs;

class SessionEnd final : public QObject {
  Q_OBJECT

 public:
  SessionEnd(CNetSieveDlg& window, UnattendedDialogs& dialogs, QObject* parent = nullptr);

  // Starts the end; later calls add nothing.
  void Request();
  bool Requested() const { return requested_; }
  // Runs the close procedure now, whatever the event loop is doing (the
  // session manager's commit, the application about to quit).
  void CloseNow();

 private:
  void CloseWhenIdle();

  CNetSieveDlg& window_;
  UnattendedDialogs& dialogs_;
  bool requested_ = false;
};

}  // namespace harlune
