#pragma once

// Who may reach the real-mode daemon's socket: root, and the members of the
// group `harlune` when that group exists. The daemon checks each client's
// credentials as well (peer_credentials.h), so a mode loosened by hand lets
// nobody else in.

#include <filesystem>
#include <optional>
#include <string>

#include <sys/types.h>

namespace harlune {

inline constexpr const char* kDriverGroup = "harlune";

// The id of the group `harlune`, or nothing where the machine has no such
// group.
std::optional<gid_t> DriverGroupId();

// Creates the socket's folder (mode 0755, so that group members reach the
// socket inside) when it is missing. Empty on success, else the reason.
std::string PrepareSystemSocketFolder(const std::filesystem::path& socketPath);

// Mode 0660 and the driver's group `driverGroup` (DriverGroupId) when there is
// one, else 0600 (root only). Empty on success, else the reason.
std::string RestrictSocket(const std::filesystem::path& socketPath,
                           std::optional<gid_t> driverGroup);

}  // namespace harlune
