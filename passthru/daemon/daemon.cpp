#include "passthru/daemon/daemon.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <vector>

#include <sys/stat.h>

#include "passthru/daemon/event_loop.h"
#include "passthru/daemon/flows_file.h"
#include "passthru/daemon/peer_credentials.h"
#include "passthru/daemon/socket_path.h"
#include "passthru/daemon/socket_server.h"
#include "passthru/daemon/system_adapters.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/request_dispatcher.h"
#include "passthru/engine/simulated_traffic.h"
#include "passthru/real/command_runner.h"
#include "passthru/real/queue_rules.h"
#include "passthru/real/real_traffic.h"
#include "passthru/real/socket_access.h"
#include "platform/linux/sock_diag_destroy.h"
#include "protocol/device_names.h"

namespace harlune {
namespace {

// While a simulated flow runs on an adapter in a session, its packets are
// made when due, but at most this often: fast flows come in batches.
constexpr std::uint64_t kSimulationTickNanoseconds = 5 * kNanosecondsPerMillisecond;
// Held packets are released when due, but at most once a millisecond after
// the last turn: a limited flood leaves in batches, not with a wakeup per
// packet.
constexpr std::uint64_t kReleaseSpacingNanoseconds = kNanosecondsPerMillisecond;

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text.empty() ? "none" : text;
}

std::optional<std::uint64_t> Earliest(std::optional<std::uint64_t> a,
                                      std::optional<std::uint64_t> b) {
  if (a && b) {
    return std::min(*a, *b);
  }
  return a ? a : b;
}

std::optional<std::uint64_t> ReleaseDeadline(const PacketEngine& engine, std::uint64_t lastTurn) {
  const std::optional<std::uint64_t> due = engine.NextDeadline();
  if (!due) {
    return std::nullopt;
  }
  return std::max(*due, lastTurn + kReleaseSpacingNanoseconds);
}

// When the next simulated packet anybody could see is due: that of a flow
// on an adapter in a session. Outside sessions the simulation sleeps.
std::optional<std::uint64_t> NextSeenPacket(const SimulatedTraffic& traffic, PacketEngine& engine) {
  return traffic.NextPacketNanoseconds([&engine](const Flow& flow) {
    const AdapterState* adapter = engine.FindAdapter(flow.adapter);
    return adapter != nullptr && adapter->InSession();
  });
}

std::string OpenLoop(EventLoop& loop, std::initializer_list<int> fds) {
  std::string error = loop.Open();
  for (auto fd = fds.begin(); error.empty() && fd != fds.end(); ++fd) {
    error = loop.Watch(*fd);
  }
  return error;
}

void ServeSimulation(EventLoop& loop, const StopSignal& stop, SocketServer& server,
                     SimulatedTraffic& traffic, PacketEngine& engine, const Clock& clock) {
  const auto offer = [&engine](std::string_view name, const Packet& packet) {
    engine.Offer(name, packet);
  };
  while (!stop.Requested()) {
    server.Poll(0);
    const std::uint64_t now = clock.NowNanoseconds();
    if (NextSeenPacket(traffic, engine)) {
      traffic.Poll(now, offer);
    } else {
      traffic.Skip(now);
    }
    engine.Tick();
    std::optional<std::uint64_t> packet = NextSeenPacket(traffic, engine);
    if (packet) {
      packet = std::max(*packet, now + kSimulationTickNanoseconds);
    }
    loop.Wait(Earliest(packet, ReleaseDeadline(engine, now)), clock.NowNanoseconds());
  }
}

}  // namespace

std::string VersionText() { return std::string("harlune-passthru ") + HARLUNE_VERSION + "\n"; }

std::string UsageText() {
  return "usage: harlune-passthru --simulate [FLOWS] [--socket PATH]\n"
         "       harlune-passthru --real [--socket PATH]\n"
         "       harlune-passthru --help | --version\n"
         "  Serves the driver's device protocol.\n"
         "  --simulate  simulated traffic; FLOWS is a flows file (default: built-in\n"
         "              demonstration flows); the default socket is the per-user one\n"
         "  --real      the machine's interfaces (root); the default socket is\n"
         "              /run/harlune/PassThru\n"
         "  Without either, root gets --real and anyone else --simulate.\n"
         "  --socket    the socket to serve\n"
         "  --version   prints the program's name and version\n";
}

ParsedArguments ParseArguments(std::span<const std::string_view> arguments) {
  return ParseArguments(arguments, ::geteuid() == 0);
}

ParsedArguments ParseArguments(std::span<const std::string_view> arguments, bool runningAsRoot) {
  DaemonOptions options;
  bool simulate = false;
  bool real = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      return {std::nullopt, UsageText(), kExitOk};
    }
    if (argument == "--version") {
      return {std::nullopt, VersionText(), kExitOk};
    }
    if (argument == "--simulate" && !real) {
      simulate = true;
    } else if (argument == "--real" && !simulate) {
      real = true;
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
  options.mode = real || (!simulate && runningAsRoot) ? DaemonMode::Real : DaemonMode::Simulate;
  return {options, {}, kExitOk};
}

int RunSimulation(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
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
  RequestDispatcher dispatcher(engine, sock_diag::DestroyTcpConnection);
  SocketServer server(dispatcher);
  server.GuardClients(UserDriverGate(::geteuid()), log);
  if (const std::string error = server.Listen(socketPath); !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitSocketUnusable;
  }
  EventLoop loop;
  if (const std::string error = OpenLoop(loop, {stop.Fd(), server.Fd()}); !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitSocketUnusable;
  }
  const std::size_t flowCount = flows.flows.size();
  SimulatedTraffic traffic(std::move(flows.flows), clock.NowNanoseconds());
  log << "harlune-passthru: serving " << socketPath.string()
      << " (simulation); adapters: " << Joined(adapters) << "; flows: " << flowCount << " from "
      << flowsText << std::endl;
  ServeSimulation(loop, stop, server, traffic, engine, clock);
  log << "harlune-passthru: stopped, " << socketPath.string() << " removed" << std::endl;
  return kExitOk;
}

}  // namespace harlune

namespace harlune {
namespace {

int ExitCodeOf(const SocketPathResult& prepared) {
  return prepared.status == SocketPathResult::Status::InUse ? kExitSocketInUse
                                                            : kExitSocketUnusable;
}

// Binds the socket with no access for others from the first moment, then
// opens it to the driver's group.
std::string ListenRestricted(SocketServer& server, const std::filesystem::path& path,
                             std::optional<gid_t> driverGroup) {
  const mode_t previous = ::umask(0177);
  std::string error = server.Listen(path);
  ::umask(previous);
  return error.empty() ? RestrictSocket(path, driverGroup) : error;
}

void ServeReal(EventLoop& loop, const StopSignal& stop, SocketServer& server, RealTraffic& traffic,
               PacketEngine& engine, const Clock& clock) {
  while (!stop.Requested()) {
    server.Poll(0);
    traffic.Poll();
    engine.Tick();
    traffic.SendVerdicts();
    const std::uint64_t now = clock.NowNanoseconds();
    loop.Wait(ReleaseDeadline(engine, now), now);
  }
}

}  // namespace

int RunReal(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
            std::ostream& errors) {
  if (::geteuid() != 0) {
    errors << "harlune-passthru: real mode needs root (or run --simulate)\n";
    return kExitRealMode;
  }
  const std::filesystem::path socketPath =
      options.socketPath ? *options.socketPath : std::filesystem::path(protocol::kSystemDeviceName);
  if (!options.socketPath) {
    if (const std::string error = PrepareSystemSocketFolder(socketPath); !error.empty()) {
      errors << "harlune-passthru: " << error << '\n';
      return kExitSocketUnusable;
    }
  }
  // Checked before any rule is touched: a live daemon keeps its rules.
  const SocketPathResult prepared = PrepareSocketPath(socketPath, false);
  if (prepared.status != SocketPathResult::Status::Ready) {
    errors << "harlune-passthru: " << prepared.error << '\n';
    return ExitCodeOf(prepared);
  }

  SteadyClock clock;
  PacketEngine engine(clock);
  const std::vector<std::string> adapters = SystemAdapterNames();
  for (const std::string& name : adapters) {
    engine.AddAdapter(name);
  }
  SpawnCommandRunner runner;
  QueueRules rules(runner, kVerdictQueueNumber);
  RealTraffic traffic(engine, rules, log);
  if (const std::string error = traffic.Start(); !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitRealMode;
  }
  RequestDispatcher dispatcher(engine, sock_diag::DestroyTcpConnection);
  SocketServer server(dispatcher);
  // The group is looked up once, so the socket's group and the clients'
  // check agree.
  const std::optional<gid_t> driverGroup = DriverGroupId();
  server.GuardClients(SystemDriverGate(driverGroup, kDriverGroup), log);
  if (const std::string error = ListenRestricted(server, socketPath, driverGroup); !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitSocketUnusable;
  }
  EventLoop loop;
  if (const std::string error = OpenLoop(loop, {stop.Fd(), server.Fd(), traffic.Fd()});
      !error.empty()) {
    errors << "harlune-passthru: " << error << '\n';
    return kExitRealMode;
  }
  log << "harlune-passthru: serving " << socketPath.string()
      << " (real interfaces); adapters: " << Joined(adapters) << std::endl;
  ServeReal(loop, stop, server, traffic, engine, clock);
  traffic.Stop();
  log << "harlune-passthru: stopped, rules and " << socketPath.string() << " removed" << std::endl;
  return kExitOk;
}

int RunDaemon(const DaemonOptions& options, const StopSignal& stop, std::ostream& log,
              std::ostream& errors) {
  return options.mode == DaemonMode::Real ? RunReal(options, stop, log, errors)
                                          : RunSimulation(options, stop, log, errors);
}

}  // namespace harlune
