#pragma once

// DriverLink: the application's side of the packet driver's device protocol.
// Every request is one-shot: open the device (trying each device name in
// turn), bind the handle to the adapter, send the request, close. Only the
// user-interface thread calls it, so requests never overlap.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/driver/device_transport.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

using PacketReadBuffer = std::array<std::uint8_t, protocol::kReadPacketsBufferSize>;

class DriverLink {
 public:
  // deviceNames: the names to try, in order, when opening the device.
  DriverLink(DeviceTransport& transport, std::vector<std::string> deviceNames);

  // A handle bound to the adapter at the UTF-16 device path, or nullptr. A
  // bind that the driver answers with a non-zero status sets LastError().
  std::unique_ptr<DeviceHandle> Open(std::u16string_view devicePath);
  // The same for a UTF-8 path; a path that does not convert fails.
  std::unique_ptr<DeviceHandle> Open(std::string_view devicePath);

  // The status of the last refused bind (the thread's last error).
  std::uint32_t LastError() const { return lastError_; }

  // The driver's version, or 0 unless the request succeeded with exactly
  // four bytes.
  std::uint32_t HlGetVersion(std::string_view adapterName);
  bool HlInitialize(std::string_view adapterName);
  bool HlUninitialize(std::string_view adapterName);
  bool HlReleaseAdapter(std::string_view adapterName);
  // On success the driver's class id is written into record.DriverClassId.
  bool HlAddTBFClass(std::string_view adapterName, _TBF_SETTING_DATA& record);
  bool HlModifyTBFClass(std::string_view adapterName, const _TBF_SETTING_DATA& record);
  bool HlDeleteTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlUpTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlDownTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlSetTBFClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                         std::uint32_t bytesPerSecond);
  // Fails without a request for more than 2048 ports.
  bool HlSetApplicationPorts(std::string_view adapterName, std::uint32_t driverClassId,
                             std::span<const std::uint16_t> ports);
  bool HlResetTraffic(std::string_view adapterName);
  bool HlStartFiltering(std::string_view adapterName);
  bool HlStopFiltering(std::string_view adapterName);
  // Bytes the driver did not return read as zero.
  bool HlGetTBFClassStatistics(std::string_view adapterName, std::uint32_t driverClassId,
                               protocol::ClassStatistics& statistics);
  bool HlGetTotalStatistics(std::string_view adapterName, protocol::TotalStatistics& statistics);
  // The number of whole 60-byte records now at the start of the buffer, or
  // nothing when the request failed.
  std::optional<std::size_t> HlReadPackets(std::string_view adapterName, PacketReadBuffer& buffer);

 private:
  std::unique_ptr<DeviceHandle> OpenAnyDevice();
  // Open, bind, one request, close.
  DeviceCallResult Request(std::string_view adapterName, protocol::RequestCode code,
                           std::span<const std::uint8_t> input, std::span<std::uint8_t> output);
  bool RequestWithoutData(std::string_view adapterName, protocol::RequestCode code);
  bool RequestWithClassId(std::string_view adapterName, protocol::RequestCode code,
                          std::uint32_t driverClassId);

  DeviceTransport& transport_;
  std::vector<std::string> deviceNames_;
  std::uint32_t lastError_ = 0;
};

}  // namespace harlune
