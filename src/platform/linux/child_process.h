#pragma once

// Starts external commands as child processes with posix_spawn: no shell,
// no terminal (a session of their own), standard input from /dev/null and
// standard output and standard error into one pipe.

#include <memory>
#include <string>
#include <vector>

#include "core/command/command_runner.h"

namespace harlune {

class SpawnChildProcessLauncher : public ChildProcessLauncher {
 public:
  std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& arguments) override;
};

}  // namespace harlune
