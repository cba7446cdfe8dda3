#include "protocol/device_names.h"

#include <unistd.h>

#include <cstdlib>

namespace harlune::protocol {

std::string UserDeviceName(const char* xdgRuntimeDir, uid_t uid) {
  if (xdgRuntimeDir != nullptr && *xdgRuntimeDir != '\0') {
    return std::string(xdgRuntimeDir) + "/harlune/PassThru";
  }
  return "/tmp/harlune-" + std::to_string(uid) + "/PassThru";
}

std::vector<std::string> DeviceNamesFor(const char* xdgRuntimeDir, uid_t uid) {
  return {kSystemDeviceName, UserDeviceName(xdgRuntimeDir, uid)};
}

std::vector<std::string> DefaultDeviceNames() {
  return DeviceNamesFor(std::getenv("XDG_RUNTIME_DIR"), getuid());
}

}  // namespace harlune::protocol
