#pragma once

// Running a helper program (iptables) without a shell.

#include <string>
#include <vector>

namespace harlune {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs `arguments` (the program first, looked up in PATH) and waits for
  // it. Returns its exit status, or -1 when it could not run or was killed.
  virtual int Run(const std::vector<std::string>& arguments) = 0;
};

// Spawns the program with posix_spawn; its output goes to /dev/null.
class SpawnCommandRunner : public CommandRunner {
 public:
  int Run(const std::vector<std::string>& arguments) override;
};

}  // namespace harlune
