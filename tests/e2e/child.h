#pragma once

// A program started by a test, with extra environment variables and its
// standard output and error in files; killed when the object goes.

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace harlune::testing {

// Reaps the child `pid` once it ended within `limit`: its exit status (128
// and the signal for a killed one), and `pid` set to -1; else nothing.
std::optional<int> WaitForChildExit(pid_t& pid, std::chrono::milliseconds limit);

class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment, const std::filesystem::path& output);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  bool Signal(int signalNumber) const;
  // The exit status once the program ended within the time, else nothing.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
};

}  // namespace harlune::testing
