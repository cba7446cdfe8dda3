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
  // The same with the program's standard output kept in `output` (a runner
  // that cannot keep it, a test's say, fails the call).
  virtual int RunForOutput(const std::vector<std::string>& /*arguments*/, std::string& output) {
    output.clear();
    return -1;
  }
};

// Spawns the program with posix_spawn; its output goes to /dev/null.
class SpawnCommandRunner : public CommandRunner {
 public:
  int Run(const std::vector<std::string>& arguments) override;
  int RunWithInput(const std::vector<std::string>& arguments, std::string_view input) override;
  int RunForOutput(const std::vector<std::string>& arguments, std::string& output) override;

 private:
  // `inputFd` becomes the program's standard input, `outputFd` its standard
  // output; -1 for /dev/null.
  static int Spawn(const std::vector<std::string>& arguments, int inputFd, int outputFd = -1);
};

}  // namespace harlune
