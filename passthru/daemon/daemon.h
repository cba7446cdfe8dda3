#pragma once

// The command line and the main loop of harlune-passthru.

#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "passthru/daemon/stop_signal.h"

namespace harlune {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFlowsFile = 2;
inline constexpr int kExitSocketInUse = 3;
inline constexpr int kExitSocketUnusable = 4;
// Real mode cannot hook the interfaces (not root, no iptables, no queue).
inline constexpr int kExitRealMode = 5;

enum class DaemonMode { Simulate, Real };

struct DaemonOptions {
  DaemonMode mode = DaemonMode::Simulate;
  std::optional<std::filesystem::path> flowsFile;
  // Else the per-user socket (simulation) or the system socket (real mode).
  std::optional<std::filesystem::path> socketPath;
};

struct ParsedArguments {
  std::optional<DaemonOptions> options;  // empty: print `message`, exit
  std::string message;
  int exitCode = kExitOk;
};

// Arguments after the program name. Without --simulate or --real the mode
// is real for root and simulation for anyone else.
ParsedArguments ParseArguments(std::span<const std::string_view> arguments, bool runningAsRoot);
ParsedArguments ParseArguments(std::span<const std::string_view> arguments);
std::string UsageText();
// "harlune-passthru 0.1.0\n": the project's version, from CMake.
std::string VersionText();

// Serves until a stop is requested; the log line of the start goes to
// `log`, errors to `errors`. Returns the exit code. The loop sleeps in epoll
// and wakes only for clients, for `stop` and while the simulated flows of
// an adapter in a session run or packets wait in a token bucket.
int RunSimulation(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
                  std::ostream& errors);
// The same for the machine's own interfaces (root only); it also wakes for
// queued packets, captured blocks and the rule worker's reports.
int RunReal(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
            std::ostream& errors);
// RunSimulation or RunReal, as the options say.
int RunDaemon(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
              std::ostream& errors);

}  // namespace harlune
