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

bool FindGroup(const char* name, gid_t& gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  gid = found->gr_gid;
  return true;
}

}  // namespace

std::string PrepareSystemSocketFolder(const std::filesystem::path& socketPath) {
  const std::filesystem::path folder = socketPath.parent_path();
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    return Failed("create", folder);
  }
  return {};
}

std::string RestrictSocket(const std::filesystem::path& socketPath) {
  gid_t gid = 0;
  if (!FindGroup(kDriverGroup, gid)) {
    return ::chmod(socketPath.c_str(), 0600) == 0 ? std::string() : Failed("protect", socketPath);
  }
  if (::chown(socketPath.c_str(), static_cast<uid_t>(-1), gid) != 0) {
    return Failed("give the group " + std::string(kDriverGroup), socketPath);
  }
  return ::chmod(socketPath.c_str(), 0660) == 0 ? std::string() : Failed("protect", socketPath);
}

}  // namespace harlune
