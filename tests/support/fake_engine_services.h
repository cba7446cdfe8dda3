#pragma once

// In-memory services, timers and views for driving the engine in tests:
// a scripted driver, adapter list, TCP table and process list, lookups that
// never find a name, and a resetter, scheduler and view that record calls.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/app/engine_services.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"

namespace harlune::testing {

// The TCP table every source made by the services reads.
struct ScriptedTcpTable {
  bool ok = true;
  // False: a plain table, whose rows carry no owners.
  bool carriesOwners = true;
  std::vector<TcpTableRow> rows;
  // Called at each read before the rows are taken, on the reading thread.
  std::function<void()> beforeRead;
};

class FakeEngineServices final : public EngineServices {
 public:
  FakeEngineServices();

  DeviceTransport& Transport() override {
    return socketTransport != nullptr ? *socketTransport : transport;
  }
  std::vector<std::string> DeviceNames() const override { return deviceNames; }
  AdapterSource& Adapters() override { return adapters; }
  ProcessSource& Processes() override { return processes; }
  std::unique_ptr<TcpTableSource> MakeTcpTable(const IniFileObject& settings) override;
  std::shared_ptr<HostNameLookup> MakeHostLookup() override;
  ConnectionResetter& Resetter() override { return resetter; }

  // The driver answers version 20006 on every adapter and class id 1 to
  // every add unless told otherwise.
  FakeDeviceTransport transport;
  // When set, the driver is reached through it (a real socket) instead.
  DeviceTransport* socketTransport = nullptr;
  std::vector<std::string> deviceNames{"/run/harlune/PassThru"};
  FakeAdapterSource adapters;

  class Processes final : public ProcessSource {
   public:
    std::vector<ProcessEntry> entries;
    std::vector<ProcessEntry> ListProcesses() override { return entries; }
    SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
  } processes;

  // Records every connection it is asked to end and answers `answer`.
  class Resetter final : public ConnectionResetter {
   public:
    std::vector<TcpFourTuple> reset;
    ConnectionResetResult answer{ConnectionResetStatus::kOk, 0};
    ConnectionResetResult ResetConnection(const TcpFourTuple& key) override {
      reset.push_back(key);
      return answer;
    }
  } resetter;

  // One established connection of process 100 ("app") from this machine's
  // 192.168.0.2:50000 to 198.18.0.9:80, on adapter eth0.
  void ServeOneEstablishedConnection();

  std::shared_ptr<ScriptedTcpTable> table = std::make_shared<ScriptedTcpTable>();
};

// Records which timers are armed, with their periods.
class RecordingScheduler final : public TickScheduler {
 public:
  struct Armed {
    std::chrono::milliseconds period{};
    bool oneShot = false;
  };
  void Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) override {
    armed[timer] = {period, oneShot};
    ++armCount[timer];
  }
  void Kill(EngineTimer timer) override { armed.erase(timer); }
  bool IsArmed(EngineTimer timer) const { return armed.contains(timer); }

  std::map<EngineTimer, Armed> armed;
  std::map<EngineTimer, int> armCount;
};

class RecordingView final : public EngineView {
 public:
  void RedrawStatistics() override { ++statisticsRedraws; }
  void RedrawConnections() override { ++connectionRedraws; }
  void RedrawPackets() override { ++packetRedraws; }
  void FilteringChanged(bool on) override { filteringShown = on; }
  void SessionStarted() override { ++sessionStarts; }
  void CloseRequested() override { ++closeRequests; }

  int statisticsRedraws = 0;
  int connectionRedraws = 0;
  int packetRedraws = 0;
  bool filteringShown = false;
  int sessionStarts = 0;
  int closeRequests = 0;
};

}  // namespace harlune::testing
