#include "passthru/daemon/socket_path.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace harlune {
namespace {

using Status = SocketPathResult::Status;

SocketPathResult Fail(Status status, std::string error) { return {status, std::move(error)}; }

std::string Reason(int error) { return std::strerror(error); }

SocketPathResult PrepareFolder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0) {
    return {};
  }
  if (errno != EEXIST) {
    return Fail(Status::Unusable, "cannot create " + folder.string() + ": " + Reason(errno));
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Fail(Status::Unusable, folder.string() + " exists and is not a folder");
  }
  // Another user's folder in a shared place (/tmp) would let that user
  // replace the socket: refuse it.
  if (info.st_uid != ::getuid()) {
    return Fail(Status::Unusable, folder.string() + " belongs to another user");
  }
  if ((info.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) {
    return Fail(Status::Unusable, "cannot make " + folder.string() + " private: " + Reason(errno));
  }
  return {};
}

// Whether a server answers on the socket at `path`.
bool SomeoneListens(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

SocketPathResult PrepareSocketPath(const std::filesystem::path& path, bool createFolder) {
  if (createFolder) {
    if (SocketPathResult folder = PrepareFolder(path.parent_path());
        folder.status != Status::Ready) {
      return folder;
    }
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    return {};
  }
  if (!S_ISSOCK(info.st_mode)) {
    return Fail(Status::InUse, path.string() + " exists and is not a socket");
  }
  if (SomeoneListens(path)) {
    return Fail(Status::InUse, "another driver already serves " + path.string());
  }
  if (::unlink(path.c_str()) != 0) {
    return Fail(Status::Unusable,
                "cannot remove the stale socket " + path.string() + ": " + Reason(errno));
  }
  return {};
}

}  // namespace harlune
