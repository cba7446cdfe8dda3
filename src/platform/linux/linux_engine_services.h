#pragma once

// The engine's services on this machine: the driver over its Unix socket,
// adapters from getifaddrs, the TCP table from sock_diag (or /proc/net/tcp),
// processes from /proc, names from getnameinfo and resets by SOCK_DESTROY,
// forwarded to the driver when this process lacks CAP_NET_ADMIN.

#include <memory>
#include <string>
#include <vector>

#include "core/app/engine_services.h"
#include "core/driver/driver_link.h"
#include "platform/linux/forwarding_resetter.h"
#include "platform/linux/ifaddrs_adapter_source.h"
#include "platform/linux/proc_processes.h"
#include "platform/linux/sock_destroy_resetter.h"
#include "platform/linux/unix_socket_transport.h"

namespace harlune {

class LinuxEngineServices final : public EngineServices {
 public:
  // The driver looked for under its usual device names.
  LinuxEngineServices();
  // The driver looked for only under `deviceNames` (a simulator's socket,
  // say, never a system driver that shapes real traffic).
  explicit LinuxEngineServices(std::vector<std::string> deviceNames);

  DeviceTransport& Transport() override { return transport_; }
  std::vector<std::string> DeviceNames() const override { return deviceNames_; }
  AdapterSource& Adapters() override { return adapters_; }
  ProcessSource& Processes() override { return processes_; }
  std::unique_ptr<TcpTableSource> MakeTcpTable(const IniFileObject& settings) override;
  std::shared_ptr<HostNameLookup> MakeHostLookup() override;
  ConnectionResetter& Resetter() override { return resetter_; }

 private:
  UnixSocketTransport transport_;
  std::vector<std::string> deviceNames_;
  IfaddrsAdapterSource adapters_;
  ProcProcesses processes_;
  SockDestroyResetter directResetter_;
  // Resets are rare: each forwarded one opens and closes its own connection.
  DriverLink resetLink_{transport_, deviceNames_, DriverConnections::kOneShot};
  ForwardingResetter resetter_{directResetter_, resetLink_, adapters_};
};

}  // namespace harlune
