#pragma once

// ConnectionTakeWorker: the connection tick's read of the system (the TCP
// table and the processes, tens of milliseconds on a busy machine) on a
// worker thread, so that the window's event loop never waits for it. The
// result comes back by a queued call on the thread that owns the worker,
// where it is applied. At most one take runs at a time: a tick that comes
// while one runs is skipped. A take still running at the end is waited for
// and its result dropped.

#include <QObject>
#include <functional>
#include <thread>

#include "core/app/harlune_engine.h"

namespace harlune {

class ConnectionTakeWorker final : public QObject {
  Q_OBJECT

 public:
  using Take = std::function<ConnectionTake()>;
  using Apply = std::function<void(ConnectionTake)>;

  // `take` runs on the worker; `apply` on the owner's thread.
  ConnectionTakeWorker(Take take, Apply apply, QObject* parent = nullptr);
  // Waits for a take still running.
  ~ConnectionTakeWorker() override;
  ConnectionTakeWorker(const ConnectionTakeWorker&) = delete;
  ConnectionTakeWorker& operator=(const ConnectionTakeWorker&) = delete;

  // Starts a take; false (nothing started) while one runs or after Stop.
  bool Start();
  bool Running() const { return running_; }
  // Waits for a take still running and drops its result; no take starts
  // after it.
  void Stop();

 private:
  void Finish(ConnectionTake take);

  Take take_;
  Apply apply_;
  std::thread thread_;
  bool running_ = false;
  bool stopped_ = false;
};

}  // namespace harlune
