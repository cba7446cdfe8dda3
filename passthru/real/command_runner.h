#pragma once

// Running a helper program (iptables) without a shell.

#include <string>
#include <string_view>
#include <vector>

namespace harlune {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // Runs `arguments` (the program first, looked up in PATH) and waits for
  // it. Returns its exit status, or -1 when it could not run or was killed.
  virtual int Run(const std::vector<std::string>& arguments) = 0;
  // The same with `input` as the program's standard input.
  virtual int RunWithInput(const std::vector<std::string>& arguments, std::string_view input) = 0;
};

// Spawns the program with posix_spawn; its output goes to /dev/null.
class SpawnCommandRunner : public CommandRunner {
 public:
  int Run(const std::vector<std::string>& arguments) override;
  int RunWithInput(const std::vector<std::string>& arguments, std::string_view input) override;

 private:
  // `inputFd` becomes the program's standard input; -1 for /dev/null.
  static int Spawn(const std::vector<std::string>& arguments, int inputFd);
};

}  // namespace harlune
