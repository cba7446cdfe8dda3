#pragma once

// Making a socket path ready to listen on.

#include <filesystem>
#include <string>

namespace harlune {

struct SocketPathResult {
  enum class Status { Ready, InUse, Unusable };
  Status status = Status::Ready;
  std::string error;
};

// With `createFolder`, the folder is created with mode 0700 when missing; an
// existing one must be a folder of this user and is made 0700. A socket
// nobody answers on is removed; a live socket or any other file is "in use".
SocketPathResult PrepareSocketPath(const std::filesystem::path& path, bool createFolder);

}  // namespace harlune
