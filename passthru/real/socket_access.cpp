#include "passthru/real/socket_access.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace harlune {
namespace {

std::string Failed(const std::string& what, const std::filesystem::path& path) {
  return "cannot " + what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

std::optional<gid_t> DriverGroupId() {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrnam_r(kDriverGroup, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return found->gr_gid;
}

std::string PrepareSystemSocketFolder(const std::filesystem::path& socketPath) {
  const std::filesystem::path folder = socketPath.parent_path();
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    return Failed("create", folder);
  }
  return {};
}

std::string RestrictSocket(const std::filesystem::path& socketPath,
                           std::optional<gid_t> driverGroup) {
  if (!driverGroup) {
    return ::chmod(socketPath.c_str(), 0600) == 0 ? std::string() : Failed("protect", socketPath);
  }
  if (::chown(socketPath.c_str(), static_cast<uid_t>(-1), *driverGroup) != 0) {
    return Failed("give the group " + std::string(kDriverGroup), socketPath);
  }
  return ::chmod(socketPath.c_str(), 0660) == 0 ? std::string() : Failed("protect", socketPath);
}

}  // namespace harlune
