#include "core/driver/driver_link.h"

#include <algorithm>
#include <utility>

#include "core/driver/device_path.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "protocol/utf16.h"

namespace harlune {

using protocol::RequestCode;

namespace device_error = protocol::device_error;

namespace {

// Errors about the request itself, which only a driver that read it sends;
// the transport reports its own failures as 31.
bool RefusedByTheDriver(const DeviceCallResult& result) {
  return result.error == device_error::kInvalidFunction ||
         result.error == device_error::kInvalidParameter;
}

}  // namespace

DeviceHandle* KeptConnections::Find(std::string_view adapterName) {
  const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.adapterName == adapterName;
  });
  if (found == entries_.end()) {
    return nullptr;
  }
  std::rotate(found, found + 1, entries_.end());
  return entries_.back().handle.get();
}

void KeptConnections::Keep(std::string_view adapterName, std::unique_ptr<DeviceHandle> handle) {
  Drop(adapterName);
  if (capacity_ == 0) {
    return;
  }
  if (entries_.size() == capacity_) {
    entries_.erase(entries_.begin());
  }
  entries_.push_back({std::string(adapterName), std::move(handle)});
}

void KeptConnections::Drop(std::string_view adapterName) {
  std::erase_if(entries_, [&](const Entry& entry) { return entry.adapterName == adapterName; });
}

DriverLink::DriverLink(DeviceTransport& transport, std::vector<std::string> deviceNames,
                       DriverConnections connections)
    : transport_(transport), deviceNames_(std::move(deviceNames)), connections_(connections) {}

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

std::unique_ptr<DeviceHandle> DriverLink::OpenAdapter(std::string_view adapterName) {
  return Open(std::string_view(AdapterDevicePath(adapterName)));
}

DeviceCallResult DriverLink::Request(std::string_view adapterName, RequestCode code,
                                     std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output, bool keepFresh) {
  const Call call{code, input, output};
  if (connections_ == DriverConnections::kOneShot) {
    return RequestOneShot(adapterName, call);
  }
  return RequestReused(adapterName, call, keepFresh);
}

DeviceCallResult DriverLink::RequestOneShot(std::string_view adapterName, const Call& call) {
  const auto handle = OpenAdapter(adapterName);
  if (!handle) {
    return {};
  }
  return handle->Control(static_cast<std::uint32_t>(call.code), call.input, call.output);
}

DeviceCallResult DriverLink::RequestReused(std::string_view adapterName, const Call& call,
                                           bool keepFresh) {
  const auto code = static_cast<std::uint32_t>(call.code);
  if (DeviceHandle* kept = kept_.Find(adapterName)) {
    const DeviceCallResult result = kept->Control(code, call.input, call.output);
    if (result.succeeded || !ConnectionLost(*kept, result)) {
      return result;
    }
    kept_.Drop(adapterName);
    // The driver restarted, or went silent: its state is no longer known.
    Suspect(adapterName, true);
    if (!MaySendAgain(call.code, result)) {
      return result;
    }
    // A broken reply may have left bytes behind; the caller's buffers start
    // zeroed, and so does the second try.
    std::fill(call.output.begin(), call.output.end(), std::uint8_t{0});
  }
  auto fresh = OpenAdapter(adapterName);
  if (!fresh) {
    return {};
  }
  const DeviceCallResult result = fresh->Control(code, call.input, call.output);
  if (keepFresh && (result.succeeded || RefusedByTheDriver(result))) {
    kept_.Keep(adapterName, std::move(fresh));
  }
  return result;
}

bool DriverLink::ConnectionLost(DeviceHandle& handle, const DeviceCallResult& result) {
  if (RefusedByTheDriver(result)) {
    return false;
  }
  if (result.error == device_error::kNotReady || result.notSent) {
    return true;
  }
  std::array<std::uint8_t, protocol::kVersionReplySize> version{};
  return !handle.Control(static_cast<std::uint32_t>(RequestCode::HlGetVersion), {}, version)
              .succeeded;
}

bool DriverLink::MaySendAgain(RequestCode code, const DeviceCallResult& lost) {
  // 21: the driver refused the request for want of a bind, so it did
  // nothing; a request that was never written did nothing either.
  return lost.notSent || lost.error == device_error::kNotReady ||
         protocol::RequestRepeatable(static_cast<std::uint32_t>(code));
}

void DriverLink::Suspect(std::string_view adapterName, bool connectionLost) {
  const auto found = std::find_if(suspects_.begin(), suspects_.end(), [&](const DriverSuspect& s) {
    return s.adapterName == adapterName;
  });
  if (found == suspects_.end()) {
    suspects_.push_back({std::string(adapterName), connectionLost});
  } else {
    found->connectionLost = found->connectionLost || connectionLost;
  }
}

std::vector<DriverSuspect> DriverLink::TakeSuspects() { return std::exchange(suspects_, {}); }

DeviceCallResult DriverLink::ClassRequest(std::string_view adapterName, RequestCode code,
                                          std::uint32_t driverClassId,
                                          std::span<const std::uint8_t> input,
                                          std::span<std::uint8_t> output) {
  if (driverClassId == kNoDriverClass) {
    return {};
  }
  const DeviceCallResult result = Request(adapterName, code, input, output);
  // The session sends only ids the driver gave it: a driver that no longer
  // knows one may have restarted.
  if (!result.succeeded && !RefusedByTheDriver(result)) {
    Suspect(adapterName, false);
  }
  return result;
}

void DriverLink::SuspectFailedBatch(std::string_view adapterName, const DeviceCallResult& result,
                                    bool namesClasses) {
  if (namesClasses && !result.succeeded && !RefusedByTheDriver(result)) {
    Suspect(adapterName, false);
  }
}

void DriverLink::SuspectRefusedClasses(std::string_view adapterName,
                                       std::span<const std::uint32_t> statuses) {
  for (const std::uint32_t status : statuses) {
    if (status != device_error::kSuccess && !RefusedByTheDriver({false, status})) {
      Suspect(adapterName, false);
      return;
    }
  }
}

bool DriverLink::RequestWithoutData(std::string_view adapterName, RequestCode code) {
  return Request(adapterName, code, {}, {}).succeeded;
}

bool DriverLink::RequestWithClassId(std::string_view adapterName, RequestCode code,
                                    std::uint32_t driverClassId) {
  const auto input = protocol::EncodeU32(driverClassId);
  return ClassRequest(adapterName, code, driverClassId, input, {}).succeeded;
}

std::uint32_t DriverLink::HlGetVersion(std::string_view adapterName) {
  std::array<std::uint8_t, protocol::kVersionReplySize> reply{};
  const DeviceCallResult result =
      Request(adapterName, RequestCode::HlGetVersion, {}, reply, /*keepFresh=*/false);
  const std::uint32_t version =
      result.succeeded ? protocol::DecodeVersion(std::span(reply).first(result.bytesReturned)) : 0;
  if (version != protocol::kDriverVersion) {
    kept_.Drop(adapterName);
  }
  return version;
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
  // Whatever id the record held belonged to an earlier class; a failed add
  // leaves the record with none.
  record.DriverClassId = kNoDriverClass;
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
  return ClassRequest(adapterName, RequestCode::HlModifyTBFClass, record.DriverClassId, input, {})
      .succeeded;
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
  return ClassRequest(adapterName, RequestCode::HlSetTBFClassRate, driverClassId, input, {})
      .succeeded;
}

bool DriverLink::HlSetApplicationPorts(std::string_view adapterName, std::uint32_t driverClassId,
                                       std::span<const std::uint16_t> ports) {
  const auto input = protocol::EncodeApplicationPorts(
      {driverClassId, std::vector<std::uint16_t>(ports.begin(), ports.end())});
  if (!input) {
    return false;
  }
  return ClassRequest(adapterName, RequestCode::HlSetApplicationPorts, driverClassId, *input, {})
      .succeeded;
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
  if (!ClassRequest(adapterName, RequestCode::HlGetTBFClassStatistics, driverClassId, input, reply)
           .succeeded) {
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

DriverReply DriverLink::HlSetTBFClassFamily(std::string_view adapterName,
                                            const protocol::ClassFamily& family) {
  const auto input = protocol::EncodeClassFamily(family);
  const DeviceCallResult result =
      ClassRequest(adapterName, RequestCode::HlSetTBFClassFamily, family.driverClassId, input, {});
  return {result.succeeded, result.error};
}

DriverReadReply DriverLink::HlReadPackets6(std::string_view adapterName,
                                           Packet6ReadBuffer& buffer) {
  const DeviceCallResult result = Request(adapterName, RequestCode::HlReadPackets6, {}, buffer);
  if (!result.succeeded) {
    return {std::nullopt, result.error};
  }
  return {protocol::Capture6RecordCount(result.bytesReturned), device_error::kSuccess};
}

DriverResetReply DriverLink::ResetRequest(std::string_view adapterName, RequestCode code,
                                          std::span<const std::uint8_t> input) {
  std::array<std::uint8_t, protocol::kResetStatusSize> status{};
  const DeviceCallResult result = Request(adapterName, code, input, status);
  if (!result.succeeded) {
    return {std::nullopt, result.error};
  }
  if (result.bytesReturned != status.size()) {
    return {};
  }
  return {protocol::LoadLe32(status, 0), device_error::kSuccess};
}

DriverResetReply DriverLink::HlResetTcpConnection(std::string_view adapterName,
                                                  const protocol::TcpFourTuple& tuple) {
  const auto input = protocol::EncodeTcpFourTuple(tuple);
  return ResetRequest(adapterName, RequestCode::HlResetTcpConnection, input);
}

DriverResetReply DriverLink::HlResetTcp6Connection(std::string_view adapterName,
                                                   const protocol::TcpFourTuple& tuple) {
  const auto input = protocol::EncodeTcp6FourTuple(tuple);
  return ResetRequest(adapterName, RequestCode::HlResetTcp6Connection, input);
}

}  // namespace harlune
