#include "platform/linux/linux_engine_services.h"

#include <utility>

#include "platform/linux/getnameinfo_lookup.h"
#include "platform/linux/netlink_tcp_table.h"
#include "protocol/device_names.h"

namespace harlune {

LinuxEngineServices::LinuxEngineServices() : LinuxEngineServices(protocol::DefaultDeviceNames()) {}

LinuxEngineServices::LinuxEngineServices(std::vector<std::string> deviceNames)
    : deviceNames_(std::move(deviceNames)) {}

std::unique_ptr<TcpTableSource> LinuxEngineServices::MakeTcpTable(const IniFileObject& settings) {
  return ChooseTcpTableSource(processes_, settings.PORT_PROCESS_MAPPING == 1);
}

std::shared_ptr<HostNameLookup> LinuxEngineServices::MakeHostLookup() {
  return std::make_shared<GetnameinfoLookup>();
}

}  // namespace harlune
