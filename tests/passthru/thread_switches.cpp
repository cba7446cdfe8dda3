#include "thread_switches.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace harlune::testing {
namespace {

std::uint64_t SwitchesOfThread(const std::filesystem::path& status) {
  std::ifstream file(status);
  std::uint64_t sum = 0;
  std::string key;
  while (file >> key) {
    if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
      std::uint64_t value = 0;
      file >> value;
      sum += value;
    }
  }
  return sum;
}

}  // namespace

std::optional<std::uint64_t> ContextSwitchesOf(pid_t pid) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  std::filesystem::directory_iterator threads(tasks, error);
  if (error) {
    return std::nullopt;
  }
  std::uint64_t sum = 0;
  for (const auto& thread : threads) {
    sum += SwitchesOfThread(thread.path() / "status");
  }
  return sum;
}

}  // namespace harlune::testing
