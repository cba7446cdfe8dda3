#pragma once

// The device I/O the driver link needs: open a device by name, make
// device-control calls on the open handle, close it by destroying it. The
// Linux implementation speaks to harlune-passthru over a Unix socket; tests
// use an in-memory fake.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace harlune {

struct DeviceCallResult {
  bool succeeded = false;
  std::uint32_t error = 0;          // device error word; 0 when succeeded
  std::uint32_t bytesReturned = 0;  // never more than the output's size
  // The request never reached the driver (the connection was found closed
  // before it was written). Only then is a failed call known to have
  // changed nothing; any other failure may have been carried out.
  bool notSent = false;
};

class DeviceHandle {
 public:
  virtual ~DeviceHandle() = default;

  // One device-control call. The output span is the exact capacity passed
  // to the device. A transport failure (connection closed, broken framing,
  // a silent driver) is reported as a failed call with error 31, never as
  // the driver's own 1, 21 or 87, and every later call on the handle fails
  // the same way: the driver link relies on both to tell a lost connection
  // from a refusal. A transport gives a request that changes the driver's
  // state longer to answer than a read, since such a request is never sent
  // again (protocol::RequestRepeatable).
  virtual DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                                   std::span<std::uint8_t> output) = 0;
};

class DeviceTransport {
 public:
  virtual ~DeviceTransport() = default;

  // An open handle, or nullptr when the device cannot be opened.
  virtual std::unique_ptr<DeviceHandle> OpenDevice(const std::string& deviceName) = 0;
};

}  // namespace harlune
