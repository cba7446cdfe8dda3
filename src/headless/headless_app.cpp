#include "headless/headless_app.h"

#include <unistd.h>

#include <csignal>

#include <sys/signalfd.h>

#include "core/app/harlune_engine.h"
#include "headless/status_line.h"
#include "headless/tick_loop.h"

namespace harlune {
namespace {

constexpr int kStatusTimer = 1;

// The window that is never shown: nothing to draw, but a request to close
// ends the loop.
class HeadlessView final : public EngineView {
 public:
  explicit HeadlessView(TickLoop& loop) : loop_(loop) {}
  void CloseRequested() override {
    closeRequested = true;
    loop_.Stop();
  }
  bool closeRequested = false;

 private:
  TickLoop& loop_;
};

void Dispatch(HarluneEngine& engine, int timer, const HeadlessOptions& options,
              StatusLines& statusLines) {
  switch (static_cast<EngineTimer>(timer)) {
    case EngineTimer::kCapture:
      return engine.CaptureTick();
    case EngineTimer::kStatistics:
      return engine.StatisticsTick();
    case EngineTimer::kStartHidden:
      return engine.StartHiddenTick(false);
    case EngineTimer::kConnections:
      return engine.ConnectionTick();
    case EngineTimer::kAdapters:
      return engine.AdapterTick();
    case EngineTimer::kAutoSave:
      return engine.AutoSaveTick();
    case EngineTimer::kLogFlush:
      return engine.LogFlushTick();
  }
  if (timer == kStatusTimer) {
    std::fprintf(options.statusOut, "%s\n", statusLines.Next(engine).c_str());
    std::fflush(options.statusOut);
  }
}

int OpenSignalFd() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return ::signalfd(-1, &signals, SFD_CLOEXEC);
}

}  // namespace

int RunHeadless(const HeadlessOptions& options, EngineServices& services, UserDialogs& dialogs) {
  const int signalFd = OpenSignalFd();
  if (signalFd < 0) {
    dialogs.ShowMessage("cannot watch for signals");
    return 1;
  }
  TickLoop loop;
  HeadlessView view(loop);
  HarluneEngine engine(options.settingsFolder, services, dialogs, loop, view);
  // Nobody looks at a window that does not exist.
  engine.SetWindowHidden(true);
  if (!engine.Initialise()) {
    engine.Close();
    ::close(signalFd);
    return 1;
  }
  if (options.statusInterval.count() > 0) {
    loop.Arm(kStatusTimer, options.statusInterval, false, TickLoop::Clock::now());
  }
  StatusLines statusLines;
  for (;;) {
    loop.Run([&](int timer) { Dispatch(engine, timer, options, statusLines); }, signalFd);
    if (engine.Close()) {
      break;
    }
  }
  ::close(signalFd);
  return view.closeRequested ? 1 : 0;
}

}  // namespace harlune
