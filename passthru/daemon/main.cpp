// harlune-passthru: the packet driver stand-in.

#include <atomic>
#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "passthru/daemon/daemon.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) { stopRequested.store(true); }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const harlune::ParsedArguments parsed = harlune::ParseArguments(arguments);
  if (!parsed.options) {
    (parsed.exitCode == harlune::kExitOk ? std::cout : std::cerr) << parsed.message;
    return parsed.exitCode;
  }
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return harlune::RunDaemon(*parsed.options, stopRequested, std::cout, std::cerr);
}
