#pragma once

// Where the driver's Unix socket lives: the system driver first, then a
// per-user driver (the simulator, for example).

#include <string>
#include <vector>

#include <sys/types.h>

namespace harlune::protocol {

inline constexpr const char* kSystemDeviceName = "/run/harlune/PassThru";

// The device names to try, in order, for the given environment.
std::vector<std::string> DeviceNamesFor(const char* xdgRuntimeDir, uid_t uid);

// The per-user socket path for the given environment.
std::string UserDeviceName(const char* xdgRuntimeDir, uid_t uid);

// The device names for this process's environment.
std::vector<std::string> DefaultDeviceNames();

}  // namespace harlune::protocol
