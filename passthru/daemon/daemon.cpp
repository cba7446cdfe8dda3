#include "passthru/daemon/daemon.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "passthru/daemon/flows_file.h"
#include "passthru/daemon/socket_path.h"
#include "passthru/daemon/socket_server.h"
#include "passthru/daemon/system_adapters.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/request_dispatcher.h"
#include "passthru/engine/simulated_traffic.h"
#include "protocol/device_names.h"

namespace harlune {
namespace {

constexpr int kLoopMilliseconds = 5;

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text.empty() ? "none" : text;
}

}  // namespace

std::string UsageText() {
  return "usage: harlune-passthru --simulate [FLOWS] [--socket PATH]\n"
         "  Serves the driver's device protocol with simulated traffic.\n"
         "  FLOWS    a flows file (default: built-in demonstration flows)\n"
         "  --socket the socket to serve (default: the per-user socket)\n";
}

ParsedArguments ParseArguments(std::span<const std::string_view> arguments) {
  DaemonOptions options;
  bool simulate = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      return {std::nullopt, UsageText(), kExitOk};
    }
    if (argument == "--simulate") {
      simulate = true;
    } else if (argument == "--socket") {
      if (i + 1 >= arguments.size() || options.socketPath) {
        return {std::nullopt, "--socket needs one path\n" + UsageText(), kExitUsage};
      }
      options.socketPath = std::filesystem::path(arguments[++i]);
    } else if (!argument.starts_with("-") && simulate && !options.flowsFile) {
      options.flowsFile = std::filesystem::path(argument);
    } else {
      return {std::nullopt, "unexpected argument " + std::string(argument) + "\n" + UsageText(),
              kExitUsage};
    }
  }
  if (!simulate) {
    return {
        std::nullopt,
        "only --simulate is available; serving a real interface is not built in\n" + UsageText(),
        kExitUsage};
  }
  return {options, {}, kExitOk};
}

int RunSimulation(const DaemonOptions& options, const std::atomic<bool>& stop, std::ostream& log,
                  std::ostream& errors) {
  FlowsFile flows;
  std::string flowsText = "built-in demonstration flows";
  if (options.flowsFile) {
    FlowsLoadResult loaded = LoadFlowsFile(*options.flowsFile);
    if (loaded.status != FlowsLoadResult::Status::Loaded) {
      errors << "harlune-passthru: " << loaded.error << '\n';
      return kExitFlowsFile;
    }
    flows = std::move(loaded.file);
    flowsText = options.flowsFile->string();
  }

  std::vector<std::string> adapters = SystemAdapterNames();
  for (const std::string& name : flows.adapters) {
    if (std::find(adapters.begin(), adapters.end(), name) == adapters.end()) {
      adapters.push_back(name);
    }
  }
  if (!options.flowsFile) {
    for (const std::string& name : adapters) {
      const std::vector<Flow> demo = DemoFlows(name);
      flows.flows.insert(flows.flows.end(), demo.begin(), demo.end());
    }
  }

  const bool userSocket = !options.socketPath;
  const std::filesystem::path socketPath = userSocket
                                               ? std::filesystem::path(protocol::UserDeviceName(
                                                     std::getenv("XDG_RUNTIME_DIR"), ::getuid()))
                                               : *options.socketPath;
  const SocketPathResult prepared = PrepareSocketPath(socketPath, userSocket);
  if (prepared.status != SocketPathResult::Status::Ready) {
    errors << "harlune-passthru: " << prepared.error << '\n';
    return prepared.status == SocketPathResult::Status::InUse ? kExitSocketInUse
                                                              : kExitSocketUnusable;
  }

  SteadyClock clock;
  PacketEngine engine(clock);
  for (const std::string& name : adapters) {
    engine.AddAdapter(name);
  }
  RequestDispatcher dispatcher(engine);
  SocketServer server(dispatcher);
  if (const std::string error = server.Listen(socketPath); !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitSocketUnusable;
  }
  const std::size_t flowCount = flows.flows.size();
  SimulatedTraffic traffic(std::move(flows.flows), clock.NowNanoseconds());
  log << "harlune-passthru: serving " << socketPath.string()
      << " (simulation); adapters: " << Joined(adapters) << "; flows: " << flowCount << " from "
      << flowsText << std::endl;

  const auto offer = [&engine](std::string_view name, const Packet& packet) {
    engine.Offer(name, packet);
  };
  while (!stop.load()) {
    server.Poll(kLoopMilliseconds);
    traffic.Poll(clock.NowNanoseconds(), offer);
    engine.Tick();
  }
  log << "harlune-passthru: stopped, " << socketPath.string() << " removed" << std::endl;
  return kExitOk;
}

}  // namespace harlune
