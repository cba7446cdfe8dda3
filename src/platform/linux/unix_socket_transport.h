#pragma once

// The driver's device protocol over a Unix stream socket: one connection per
// open handle, one frame per device-control call.

#include <chrono>
#include <memory>
#include <string>

#include "core/driver/device_transport.h"

namespace harlune {

class UnixSocketTransport final : public DeviceTransport {
 public:
  // A driver that does not answer within `timeout` fails the call, so a hung
  // driver cannot freeze the caller.
  explicit UnixSocketTransport(std::chrono::milliseconds timeout = std::chrono::seconds(2));

  std::unique_ptr<DeviceHandle> OpenDevice(const std::string& socketPath) override;

 private:
  std::chrono::milliseconds timeout_;
};

// A handle over an already connected stream socket, which it then owns.
std::unique_ptr<DeviceHandle> AdoptDeviceSocket(int fd);

}  // namespace harlune
