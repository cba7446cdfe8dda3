#pragma once

// The command line and the main loop of harlune-passthru.

#include <atomic>
#include <filesystem>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace harlune {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitFlowsFile = 2;
inline constexpr int kExitSocketInUse = 3;
inline constexpr int kExitSocketUnusable = 4;

struct DaemonOptions {
  std::optional<std::filesystem::path> flowsFile;
  std::optional<std::filesystem::path> socketPath;  // else the per-user socket
};

struct ParsedArguments {
  std::optional<DaemonOptions> options;  // empty: print `message`, exit
  std::string message;
  int exitCode = kExitOk;
};

// Arguments after the program name.
ParsedArguments ParseArguments(std::span<const std::string_view> arguments);
std::string UsageText();

// Serves until `stop` turns true; the log line of the start goes to `log`,
// errors to `errors`. Returns the exit code.
int RunSimulation(const DaemonOptions& options, const std::atomic<bool>& stop, std::ostream& log,
                  std::ostream& errors);

}  // namespace harlune
