// harlune-passthru: the packet driver stand-in.

#include <cerrno>
#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "passthru/daemon/daemon.h"
#include "passthru/daemon/stop_signal.h"

namespace {

harlune::StopSignal stopSignal;

extern "C" void RequestStop(int) {
  // The handler may interrupt code that is about to read errno.
  const int saved = errno;
  stopSignal.Request();
  errno = saved;
}

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
  return harlune::RunDaemon(*parsed.options, stopSignal, std::cout, std::cerr);
}
