#include "gui/base/qt_tick_scheduler.h"

#include <utility>

namespace harlune {

QtTickScheduler::QtTickScheduler(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

void QtTickScheduler::Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) {
  auto& slot = timers_[timer];
  if (!slot) {
    slot = std::make_unique<QTimer>();
    slot->setTimerType(Qt::PreciseTimer);
    QObject::connect(slot.get(), &QTimer::timeout, this, [this, timer] { handler_(timer); });
  }
  slot->setSingleShot(oneShot);
  slot->start(period);
}

void QtTickScheduler::Kill(EngineTimer timer) {
  if (const auto found = timers_.find(timer); found != timers_.end()) {
    found->second->stop();
  }
}

bool QtTickScheduler::IsArmed(EngineTimer timer) const {
  const auto found = timers_.find(timer);
  return found != timers_.end() && found->second->isActive();
}

}  // namespace harlune
