#include "platform/linux/child_process.h"

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/types.h>

namespace harlune {
namespace {

using namespace std::chrono_literals;

// Everything the program writes, until it has ended and its output is drained.
std::string Drain(ChildProcess& process) {
  std::string output;
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    const ChildProcess::ReadResult read = process.ReadOutput(output, 4095);
    EXPECT_NE(read, ChildProcess::ReadResult::kError);
    if (read == ChildProcess::ReadResult::kNoData) {
      if (process.HasEnded()) {
        return output;
      }
      process.WaitForOutput(50ms);
    }
  }
  ADD_FAILURE() << "the program did not end";
  return output;
}

// Running, or stopped; a zombie that nobody reaped yet has ended.
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) {
    return false;
  }
  const std::size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST(SpawnChildProcess, ArgumentsArriveAsGivenWithNoInputAndErrorsInTheOutput) {
  SpawnChildProcessLauncher launcher;
  auto process = launcher.Start(
      {"sh", "-c", "printf '[%s]' \"$1\" \"$2\"; cat; echo err >&2; [ -t 0 ] || echo notty", "zero",
       "a b", "'\"$x"});
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(Drain(*process), "[a b]['\"$x]err\nnotty\n");
}

TEST(SpawnChildProcess, ProgramsThatCannotStart) {
  SpawnChildProcessLauncher launcher;
  EXPECT_EQ(launcher.Start({}), nullptr);
  EXPECT_EQ(launcher.Start({""}), nullptr);
  EXPECT_EQ(launcher.Start({"harlune-no-such-program-xyz"}), nullptr);
  EXPECT_EQ(launcher.Start({"/etc/hostname"}), nullptr) << "not executable";
}

TEST(SpawnChildProcess, OutputIsNotLostWhenReadAfterTheProgramEnded) {
  SpawnChildProcessLauncher launcher;
  auto process = launcher.Start({"head", "-c", "60000", "/dev/zero"});
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(Drain(*process).size(), 60000u);
}

TEST(SpawnChildProcess, TerminateEndsTheProgramAndItsChildren) {
  SpawnChildProcessLauncher launcher;
  auto process = launcher.Start({"sh", "-c", "sleep 30 & echo $!; wait"});
  ASSERT_NE(process, nullptr);
  std::string output;
  while (output.find('\n') == std::string::npos) {
    process->WaitForOutput(50ms);
    ASSERT_NE(process->ReadOutput(output, 4095), ChildProcess::ReadResult::kError);
  }
  const pid_t grandchild = std::stoi(output);
  process->Terminate();
  Drain(*process);
  // Once ended, the orphan is reaped by whoever adopted it.
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (Alive(grandchild) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(Alive(grandchild)) << "the grandchild " << grandchild << " survived";
}

}  // namespace
}  // namespace harlune
