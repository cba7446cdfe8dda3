#include "gui/app/connection_take_worker.h"

#include <memory>
#include <utility>

namespace harlune {

ConnectionTakeWorker::ConnectionTakeWorker(Take take, Apply apply, QObject* parent)
    : QObject(parent), take_(std::move(take)), apply_(std::move(apply)) {}

ConnectionTakeWorker::~ConnectionTakeWorker() { Stop(); }

bool ConnectionTakeWorker::Start() {
  if (running_ || stopped_) {
    return false;
  }
  if (thread_.joinable()) {
    thread_.join();  // the last take's thread, already past its work
  }
  running_ = true;
  thread_ = std::thread([this] {
    auto result = std::make_shared<ConnectionTake>(take_());
    // Queued to this object: dropped by Qt if the object is gone, which
    // cannot happen before the thread is joined.
    QMetaObject::invokeMethod(
        this, [this, result] { Finish(std::move(*result)); }, Qt::QueuedConnection);
  });
  return true;
}

void ConnectionTakeWorker::Finish(ConnectionTake take) {
  running_ = false;
  if (thread_.joinable()) {
    thread_.join();
  }
  if (!stopped_) {
    apply_(std::move(take));
  }
}

void ConnectionTakeWorker::Stop() {
  stopped_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
  running_ = false;
}

}  // namespace harlune
