#pragma once

// The engine's timers as QTimers on the user-interface thread. Each armed
// timer calls the handler with its id; the main window routes the id to the
// engine's tick.

#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "core/app/engine_services.h"

namespace harlune {

class QtTickScheduler final : public QObject, public TickScheduler {
  Q_OBJECT

 public:
  using Handler = std::function<void(EngineTimer)>;
  explicit QtTickScheduler(Handler handler, QObject* parent = nullptr);

  void Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) override;
  void Kill(EngineTimer timer) override;
  bool IsArmed(EngineTimer timer) const;

 private:
  Handler handler_;
  std::map<EngineTimer, std::unique_ptr<QTimer>> timers_;
};

}  // namespace harlune
