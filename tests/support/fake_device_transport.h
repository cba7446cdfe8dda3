#pragma once

// An in-memory driver device: records every call and answers from a script.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/driver/device_transport.h"

namespace harlune::testing {

class FakeDeviceTransport final : public DeviceTransport {
 public:
  struct Call {
    std::string device;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    std::size_t outputCapacity = 0;
  };

  struct Reply {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> output;  // cut to the caller's capacity
  };

  // Device names that open; by default only the system name.
  std::set<std::string> devices{"/run/harlune/PassThru"};
  // The bind status word for every adapter path not listed in bindStatusOf.
  std::uint32_t bindStatus = 0;
  std::map<std::u16string, std::uint32_t> bindStatusOf;
  // Replies by request code; an unlisted code succeeds with no output.
  std::map<std::uint32_t, Reply> replies;

  std::vector<Call> calls;
  int opened = 0;
  int closed = 0;

  std::unique_ptr<DeviceHandle> OpenDevice(const std::string& deviceName) override;

  // The calls with the given code, in order.
  std::vector<Call> CallsWithCode(std::uint32_t code) const;
};

}  // namespace harlune::testing
