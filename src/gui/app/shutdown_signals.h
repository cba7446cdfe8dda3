#pragma once

// The signals a desktop session, systemd or a terminal send to end a
// program (SIGTERM, SIGINT, SIGHUP), turned into a Qt signal delivered by
// the event loop: the handler only writes the signal number into a pipe,
// which is all a signal handler may safely do.

#include <QObject>
#include <QSocketNotifier>
#include <csignal>
#include <memory>

namespace harlune {

class ShutdownSignals final : public QObject {
  Q_OBJECT

 public:
  // Blocks the signals in the calling thread and in the threads it starts,
  // so that one arriving while the program loads is kept pending, not
  // fatal. The first instance made afterwards takes it.
  static void HoldUntilInstalled();

  // Installs the handlers and lets held signals through; one instance at a
  // time. The previous handlers come back when it goes.
  explicit ShutdownSignals(QObject* parent = nullptr);
  ~ShutdownSignals() override;

  // When it goes, the signals are ignored instead of handled as before: the
  // program is then ending anyway, and a second signal from a logout must
  // not kill it while it tears down (SIGKILL still ends it).
  void IgnoreWhenGone() { ignoreWhenGone_ = true; }

  // False when the pipe or a handler could not be set up.
  bool Installed() const { return notifier_ != nullptr; }
  // Whether one of the signals arrived, even before the event loop ran.
  static bool Received();

 signals:
  void received(int signalNumber);

 private:
  void Drain();

  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction previous_[3] = {};
  bool ignoreWhenGone_ = false;
};

}  // namespace harlune
