#pragma once

// Who may talk to the real-mode daemon: root, and the members of the group
// `harlune` when that group exists.

#include <filesystem>
#include <string>

namespace harlune {

inline constexpr const char* kDriverGroup = "harlune";

// Creates the socket's folder (mode 0755, so that group members reach the
// socket inside) when it is missing. Empty on success, else the reason.
std::string PrepareSystemSocketFolder(const std::filesystem::path& socketPath);

// Mode 0660 and group `harlune` when the group exists, else 0600 (root
// only). Empty on success, else the reason.
std::string RestrictSocket(const std::filesystem::path& socketPath);

}  // namespace harlune
