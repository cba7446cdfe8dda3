#pragma once

// What the engine needs from its surroundings: the machine's services (the
// driver transport, adapters, TCP table, processes, name lookups and
// connection resets), the front end's timers, and the front end's views.
// Linux implements the services in the platform layer, each front end the
// timers and views; tests give in-memory fakes of all three.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/control/connection_resetter.h"
#include "core/driver/device_transport.h"
#include "core/monitor/adapter_source.h"
#include "core/monitor/host_resolver.h"
#include "core/monitor/process_table.h"
#include "core/monitor/tcp_table.h"

namespace harlune {

class EngineServices {
 public:
  virtual ~EngineServices() = default;
  virtual DeviceTransport& Transport() = 0;
  // The device names tried in turn when a request opens the driver.
  virtual std::vector<std::string> DeviceNames() const = 0;
  virtual AdapterSource& Adapters() = 0;
  virtual ProcessSource& Processes() = 0;
  // The TCP table source the settings ask for (SYSTEM_CHECK,
  // PORT_PROCESS_MAPPING); made once the settings are loaded.
  virtual std::unique_ptr<TcpTableSource> MakeTcpTable(const IniFileObject& settings) = 0;
  virtual std::shared_ptr<HostNameLookup> MakeHostLookup() = 0;
  virtual ConnectionResetter& Resetter() = 0;
};

// The periodic jobs; the numbers are the timer ids of the main window.
enum class EngineTimer {
  kCapture = 1015,
  kStatistics = 1017,
  kStartHidden = 1018,
  kConnections = 1020,
  kAdapters = 1021,
  kAutoSave = 1022,
  kLogFlush = 1100,  // the loggers' one-minute flush
};

// The front end's timers: each armed timer calls the engine's tick of the
// same name until it is killed (a one-shot timer fires once). Arming an
// armed timer restarts it.
class TickScheduler {
 public:
  virtual ~TickScheduler() = default;
  virtual void Arm(EngineTimer timer, std::chrono::milliseconds period, bool oneShot) = 0;
  virtual void Kill(EngineTimer timer) = 0;
};

// What the front end draws, told when it must; every call has a default
// that draws nothing, so a front end overrides what it shows.
class EngineView {
 public:
  virtual ~EngineView() = default;
  // The drawing cycle of the statistics tick came round with the window
  // shown: the filter page, the HTB page and the status panes.
  virtual void RedrawStatistics() {}
  // The connection table was refreshed with the window shown.
  virtual void RedrawConnections() {}
  // The capture tick stored packets that are to be drawn now.
  virtual void RedrawPackets() {}
  // The filtering switch changed (button caption, menus, tray).
  virtual void FilteringChanged(bool /*on*/) {}
  // The driver session started anew: the HTB tree and packet lists were
  // rebuilt.
  virtual void SessionStarted() {}
  // The engine cannot go on (the TCP table cannot be read): the front end
  // runs the close procedure and ends.
  virtual void CloseRequested() {}
};

}  // namespace harlune
