#include "support/fake_device_transport.h"

#include <algorithm>

#include "protocol/byte_order.h"
#include "protocol/request_codes.h"
#include "protocol/utf16.h"

namespace harlune::testing {
namespace {

class FakeHandle final : public DeviceHandle {
 public:
  FakeHandle(FakeDeviceTransport& owner, std::string device)
      : owner_(owner), device_(std::move(device)) {}
  ~FakeHandle() override { ++owner_.closed; }
  FakeHandle(const FakeHandle&) = delete;
  FakeHandle& operator=(const FakeHandle&) = delete;

  DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                           std::span<std::uint8_t> output) override {
    owner_.calls.push_back({device_, code, {input.begin(), input.end()}, output.size()});
    if (code == static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter)) {
      return Bind(input, output);
    }
    const auto found = owner_.replies.find(code);
    if (found == owner_.replies.end()) {
      return {true, 0, 0};
    }
    const auto& reply = found->second;
    if (reply.error != 0) {
      return {false, reply.error, 0};
    }
    const std::size_t count = std::min(reply.output.size(), output.size());
    std::copy_n(reply.output.begin(), count, output.begin());
    return {true, 0, static_cast<std::uint32_t>(count)};
  }

 private:
  DeviceCallResult Bind(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
    const auto bindReply =
        owner_.replies.find(static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter));
    if (bindReply != owner_.replies.end() && bindReply->second.error != 0) {
      return {false, bindReply->second.error, 0};
    }
    std::uint32_t status = owner_.bindStatus;
    if (const auto path = protocol::DecodeUtf16Le(input)) {
      if (const auto it = owner_.bindStatusOf.find(*path); it != owner_.bindStatusOf.end()) {
        status = it->second;
      }
    }
    if (output.size() < 4) {
      return {false, 87, 0};
    }
    protocol::StoreLe32(output, 0, status);
    return {true, 0, 4};
  }

  FakeDeviceTransport& owner_;
  std::string device_;
};

}  // namespace

std::unique_ptr<DeviceHandle> FakeDeviceTransport::OpenDevice(const std::string& deviceName) {
  if (!devices.contains(deviceName)) {
    return nullptr;
  }
  ++opened;
  return std::make_unique<FakeHandle>(*this, deviceName);
}

std::vector<FakeDeviceTransport::Call> FakeDeviceTransport::CallsWithCode(
    std::uint32_t code) const {
  std::vector<Call> result;
  std::copy_if(calls.begin(), calls.end(), std::back_inserter(result),
               [code](const Call& call) { return call.code == code; });
  return result;
}

}  // namespace harlune::testing
