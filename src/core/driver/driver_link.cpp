#include "core/driver/driver_link.h"

#include <algorithm>

#include "core/driver/device_path.h"
#include "protocol/byte_order.h"
#include "protocol/utf16.h"

namespace harlune {

using protocol::RequestCode;

DriverLink::DriverLink(DeviceTransport& transport, std::vector<std::string> deviceNames)
    : transport_(transport), deviceNames_(std::move(deviceNames)) {}

std::unique_ptr<DeviceHandle> DriverLink::OpenAnyDevice() {
  for (const std::string& name : deviceNames_) {
    if (auto handle = transport_.OpenDevice(name)) {
      return handle;
    }
  }
  return nullptr;
}

std::unique_ptr<DeviceHandle> DriverLink::Open(std::u16string_view devicePath) {
  auto handle = OpenAnyDevice();
  if (!handle) {
    return nullptr;
  }
  const std::vector<std::uint8_t> path = protocol::EncodeUtf16Le(devicePath);
  std::array<std::uint8_t, 4> status{};
  const DeviceCallResult result =
      handle->Control(static_cast<std::uint32_t>(RequestCode::HlBindAdapter), path, status);
  if (!result.succeeded) {
    return nullptr;
  }
  const std::uint32_t bindStatus = protocol::LoadLe32(status, 0);
  if (bindStatus != protocol::kBindStatusBound) {
    lastError_ = bindStatus;
    return nullptr;
  }
  return handle;
}

std::unique_ptr<DeviceHandle> DriverLink::Open(std::string_view devicePath) {
  const auto utf16 = DevicePathToUtf16(devicePath);
  if (!utf16) {
    return nullptr;
  }
  return Open(std::u16string_view(*utf16));
}

DeviceCallResult DriverLink::Request(std::string_view adapterName, RequestCode code,
                                     std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output) {
  const auto handle = Open(std::string_view(AdapterDevicePath(adapterName)));
  if (!handle) {
    return {};
  }
  return handle->Control(static_cast<std::uint32_t>(code), input, output);
}

bool DriverLink::RequestWithoutData(std::string_view adapterName, RequestCode code) {
  return Request(adapterName, code, {}, {}).succeeded;
}

bool DriverLink::RequestWithClassId(std::string_view adapterName, RequestCode code,
                                    std::uint32_t driverClassId) {
  const auto input = protocol::EncodeU32(driverClassId);
  return Request(adapterName, code, input, {}).succeeded;
}

std::uint32_t DriverLink::HlGetVersion(std::string_view adapterName) {
  std::array<std::uint8_t, protocol::kVersionReplySize> reply{};
  const DeviceCallResult result = Request(adapterName, RequestCode::HlGetVersion, {}, reply);
  if (!result.succeeded) {
    return 0;
  }
  return protocol::DecodeVersion(std::span(reply).first(result.bytesReturned));
}

bool DriverLink::HlInitialize(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlInitialize);
}

bool DriverLink::HlUninitialize(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlUninitialize);
}

bool DriverLink::HlReleaseAdapter(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlReleaseAdapter);
}

bool DriverLink::HlAddTBFClass(std::string_view adapterName, _TBF_SETTING_DATA& record) {
  const auto input = protocol::EncodeTbfSettingData(record);
  std::array<std::uint8_t, 4> classId{};
  if (!Request(adapterName, RequestCode::HlAddTBFClass, input, classId).succeeded) {
    return false;
  }
  record.DriverClassId = protocol::LoadLe32(classId, 0);
  return true;
}

bool DriverLink::HlModifyTBFClass(std::string_view adapterName, const _TBF_SETTING_DATA& record) {
  const auto input = protocol::EncodeTbfSettingData(record);
  return Request(adapterName, RequestCode::HlModifyTBFClass, input, {}).succeeded;
}

bool DriverLink::HlDeleteTBFClass(std::string_view adapterName, std::uint32_t driverClassId) {
  return RequestWithClassId(adapterName, RequestCode::HlDeleteTBFClass, driverClassId);
}

bool DriverLink::HlUpTBFClass(std::string_view adapterName, std::uint32_t driverClassId) {
  return RequestWithClassId(adapterName, RequestCode::HlUpTBFClass, driverClassId);
}

bool DriverLink::HlDownTBFClass(std::string_view adapterName, std::uint32_t driverClassId) {
  return RequestWithClassId(adapterName, RequestCode::HlDownTBFClass, driverClassId);
}

bool DriverLink::HlSetTBFClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                                   std::uint32_t bytesPerSecond) {
  std::array<std::uint8_t, 8> input{};
  protocol::StoreLe32(input, 0, driverClassId);
  protocol::StoreLe32(input, 4, bytesPerSecond);
  return Request(adapterName, RequestCode::HlSetTBFClassRate, input, {}).succeeded;
}

bool DriverLink::HlSetApplicationPorts(std::string_view adapterName, std::uint32_t driverClassId,
                                       std::span<const std::uint16_t> ports) {
  const auto input = protocol::EncodeApplicationPorts(
      {driverClassId, std::vector<std::uint16_t>(ports.begin(), ports.end())});
  if (!input) {
    return false;
  }
  return Request(adapterName, RequestCode::HlSetApplicationPorts, *input, {}).succeeded;
}

bool DriverLink::HlResetTraffic(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlResetTraffic);
}

bool DriverLink::HlStartFiltering(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlStartFiltering);
}

bool DriverLink::HlStopFiltering(std::string_view adapterName) {
  return RequestWithoutData(adapterName, RequestCode::HlStopFiltering);
}

bool DriverLink::HlGetTBFClassStatistics(std::string_view adapterName, std::uint32_t driverClassId,
                                         protocol::ClassStatistics& statistics) {
  const auto input = protocol::EncodeU32(driverClassId);
  std::array<std::uint8_t, protocol::kClassStatisticsSize> reply{};
  if (!Request(adapterName, RequestCode::HlGetTBFClassStatistics, input, reply).succeeded) {
    return false;
  }
  statistics = protocol::DecodeClassStatistics(reply);
  return true;
}

bool DriverLink::HlGetTotalStatistics(std::string_view adapterName,
                                      protocol::TotalStatistics& statistics) {
  std::array<std::uint8_t, protocol::kTotalStatisticsSize> reply{};
  if (!Request(adapterName, RequestCode::HlGetTotalStatistics, {}, reply).succeeded) {
    return false;
  }
  statistics = protocol::DecodeTotalStatistics(reply);
  return true;
}

std::optional<std::size_t> DriverLink::HlReadPackets(std::string_view adapterName,
                                                     PacketReadBuffer& buffer) {
  const DeviceCallResult result = Request(adapterName, RequestCode::HlReadPackets, {}, buffer);
  if (!result.succeeded) {
    return std::nullopt;
  }
  return protocol::CaptureRecordCount(result.bytesReturned);
}

}  // namespace harlune
