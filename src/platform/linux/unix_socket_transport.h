#pragma once

// The driver's device protocol over a Unix stream socket: one connection per
// open handle, one frame per device-control call.

#include <chrono>
#include <memory>
#include <string>

#include "core/driver/device_transport.h"

namespace harlune {

// How long a driver may take to answer before the call fails, so that a hung
// driver cannot freeze the caller. A request that may be sent again (a read,
// a rate) gets the short limit; one that changes the driver's classes or
// session gets the long one, since giving up on it leaves its outcome
// unknown and costs a restart of the driver session.
struct ReplyLimits {
  std::chrono::milliseconds repeatable{2000};
  std::chrono::milliseconds changing{10000};
};

class UnixSocketTransport final : public DeviceTransport {
 public:
  explicit UnixSocketTransport(ReplyLimits limits = {});

  std::unique_ptr<DeviceHandle> OpenDevice(const std::string& socketPath) override;

 private:
  ReplyLimits limits_;
};

// A handle over an already connected stream socket, which it then owns.
std::unique_ptr<DeviceHandle> AdoptDeviceSocket(int fd, ReplyLimits limits = {});

}  // namespace harlune
