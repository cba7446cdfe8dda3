#pragma once

// The headless program: the engine's start-up without a window, its timers
// on a poll loop, a status line now and then, and the close procedure on
// SIGINT or SIGTERM.

#include <cstdio>
#include <filesystem>

#include "core/app/engine_services.h"
#include "core/base/user_dialogs.h"

namespace harlune {

struct HeadlessOptions {
  std::filesystem::path settingsFolder;
  std::chrono::milliseconds statusInterval{10000};
  std::FILE* statusOut = stdout;
};

// Runs until a signal or a fatal problem; returns the exit status. SIGINT
// and SIGTERM must be blocked in the calling thread (they arrive through a
// signalfd).
int RunHeadless(const HeadlessOptions& options, EngineServices& services, UserDialogs& dialogs);

}  // namespace harlune
