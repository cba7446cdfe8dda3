#include "passthru/engine/request_dispatcher.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <string_view>

#include "protocol/byte_order.h"
#include "protocol/class_family.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/utf16.h"

namespace harlune {
namespace {

using protocol::RequestCode;
namespace device_error = protocol::device_error;

constexpr std::string_view kDevicePrefix = "\\DEVICE\\";

std::vector<std::uint8_t> Fail(std::uint32_t error) { return protocol::EncodeReply(error, {}); }

std::vector<std::uint8_t> Succeed(std::span<const std::uint8_t> output = {}) {
  return protocol::EncodeReply(device_error::kSuccess, output);
}

std::vector<std::uint8_t> SucceedIf(bool ok) {
  return ok ? Succeed() : Fail(device_error::kGenFailure);
}

bool PrefixMatches(std::string_view text) {
  return text.size() >= kDevicePrefix.size() &&
         std::equal(kDevicePrefix.begin(), kDevicePrefix.end(), text.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         });
}

// The error word a single request for the class would have been answered
// with: 0 when it exists, 31 when the adapter does not hold it.
std::uint32_t ClassStatus(bool known) {
  return known ? device_error::kSuccess : device_error::kGenFailure;
}

std::vector<std::uint8_t> StatisticsBatchOf(const AdapterState& adapter,
                                            std::span<const std::uint8_t> input) {
  // The sizes check decoded the input already.
  const auto ids =
      protocol::DecodeStatisticsBatchRequest(input).value_or(std::vector<std::uint32_t>{});
  protocol::StatisticsBatch batch;
  batch.totals = adapter.TotalStatistics();
  batch.pendingRecords = static_cast<std::uint32_t>(adapter.PendingRecords());
  batch.pendingRecords6 = static_cast<std::uint32_t>(adapter.PendingRecords6());
  batch.classes.reserve(ids.size());
  for (const std::uint32_t id : ids) {
    const auto statistics = adapter.ClassStatistics(id);
    batch.classes.push_back(
        {statistics.value_or(protocol::ClassStatistics{}), ClassStatus(statistics.has_value())});
  }
  return Succeed(protocol::EncodeStatisticsBatchReply(batch));
}

// Every entry is applied that can be, in order, as single requests would.
std::vector<std::uint8_t> SetClassRates(AdapterState& adapter,
                                        std::span<const std::uint8_t> input) {
  const auto rates =
      protocol::DecodeClassRatesRequest(input).value_or(std::vector<protocol::ClassRate>{});
  std::vector<std::uint32_t> statuses;
  statuses.reserve(rates.size());
  for (const protocol::ClassRate& rate : rates) {
    statuses.push_back(ClassStatus(adapter.SetRate(rate.driverClassId, rate.bytesPerSecond)));
  }
  return Succeed(protocol::EncodeClassRatesReply(statuses));
}

}  // namespace

std::string AdapterNameOfDevicePath(std::span<const std::uint8_t> utf16le) {
  const std::optional<std::u16string> units = protocol::DecodeUtf16Le(utf16le);
  if (!units) {
    return {};
  }
  const std::optional<std::string> text = protocol::Utf16ToUtf8(*units);
  if (!text || !PrefixMatches(*text)) {
    return {};
  }
  return text->substr(kDevicePrefix.size());
}

bool ChangesDriverState(RequestCode code) {
  switch (code) {
    case RequestCode::HlBindAdapter:
    case RequestCode::HlGetVersion:
    case RequestCode::HlGetTBFClassStatistics:
    case RequestCode::HlGetTotalStatistics:
    case RequestCode::HlReadPackets:
    case RequestCode::HlReadPackets6:
    case RequestCode::HlGetStatisticsBatch:
      return false;
    case RequestCode::HlInitialize:
    case RequestCode::HlUninitialize:
    case RequestCode::HlReleaseAdapter:
    case RequestCode::HlAddTBFClass:
    case RequestCode::HlModifyTBFClass:
    case RequestCode::HlDeleteTBFClass:
    case RequestCode::HlUpTBFClass:
    case RequestCode::HlDownTBFClass:
    case RequestCode::HlSetTBFClassRate:
    case RequestCode::HlSetApplicationPorts:
    case RequestCode::HlResetTraffic:
    case RequestCode::HlStartFiltering:
    case RequestCode::HlStopFiltering:
    case RequestCode::HlResetTcpConnection:
    case RequestCode::HlResetTcp6Connection:
    case RequestCode::HlSetTBFClassFamily:
    case RequestCode::HlSetTBFClassRates:
      return true;
  }
  return true;  // a code added later counts as a change until it is sorted
}

std::vector<std::uint8_t> RequestDispatcher::Bind(ConnectionState& connection,
                                                  std::span<const std::uint8_t> input) {
  const std::string name = AdapterNameOfDevicePath(input);
  connection.adapter = name.empty() ? nullptr : engine_.FindAdapter(name);
  const std::uint32_t status = connection.adapter == nullptr ? protocol::kBindStatusNoSuchAdapter
                                                             : protocol::kBindStatusBound;
  return Succeed(protocol::EncodeU32(status));
}

std::vector<std::uint8_t> RequestDispatcher::ResetTcpConnection(
    RequestCode code, std::span<const std::uint8_t> input) {
  // The sizes check decoded the tuple already; it cannot fail here.
  const std::optional<protocol::TcpFourTuple> tuple = code == RequestCode::HlResetTcp6Connection
                                                          ? protocol::DecodeTcp6FourTuple(input)
                                                          : protocol::DecodeTcpFourTuple(input);
  if (!tuple) {
    return Fail(device_error::kInvalidParameter);
  }
  const int error = destroyer_ ? destroyer_(*tuple) : EOPNOTSUPP;
  // A negative number is no errno; it must not read as 0, "ended".
  return Succeed(protocol::EncodeU32(static_cast<std::uint32_t>(error < 0 ? EIO : error)));
}

std::vector<std::uint8_t> RequestDispatcher::Dispatch(ConnectionState& connection,
                                                      const protocol::RequestHeader& header,
                                                      std::span<const std::uint8_t> input) {
  const std::optional<protocol::RequestLayout> layout = protocol::FindRequestLayout(header.code);
  if (!layout) {
    return Fail(device_error::kInvalidFunction);
  }
  if (input.size() != header.inputLength ||
      !protocol::RequestSizesValid(*layout, input, header.outputCapacity)) {
    return Fail(device_error::kInvalidParameter);
  }
  if (layout->code == RequestCode::HlBindAdapter) {
    return Bind(connection, input);
  }
  if (connection.adapter == nullptr) {
    return Fail(device_error::kNotReady);
  }
  AdapterState& adapter = *connection.adapter;
  const auto classId = [input] { return protocol::LoadLe32(input, 0); };

  switch (layout->code) {
    case RequestCode::HlGetVersion:
      return Succeed(protocol::EncodeU32(protocol::kDriverVersion));
    case RequestCode::HlInitialize:
      adapter.StartSession();
      return Succeed();
    case RequestCode::HlReleaseAdapter:
      adapter.ReleaseAdapter();
      return Succeed();
    case RequestCode::HlUninitialize:
      adapter.EndSession();
      return Succeed();
    case RequestCode::HlAddTBFClass: {
      const auto record =
          protocol::DecodeTbfSettingData(input.first<protocol::kTbfSettingDataSize>());
      const std::optional<std::uint32_t> id = adapter.AddClass(record);
      return id ? Succeed(protocol::EncodeU32(*id)) : Fail(device_error::kGenFailure);
    }
    case RequestCode::HlModifyTBFClass:
      return SucceedIf(adapter.ModifyClass(
          protocol::DecodeTbfSettingData(input.first<protocol::kTbfSettingDataSize>())));
    case RequestCode::HlDeleteTBFClass:
      return SucceedIf(adapter.DeleteClass(classId()));
    case RequestCode::HlUpTBFClass:
      return SucceedIf(adapter.MoveUp(classId()));
    case RequestCode::HlDownTBFClass:
      return SucceedIf(adapter.MoveDown(classId()));
    case RequestCode::HlSetTBFClassRate:
      return SucceedIf(adapter.SetRate(classId(), protocol::LoadLe32(input, 4)));
    case RequestCode::HlSetApplicationPorts: {
      std::optional<protocol::ApplicationPorts> ports = protocol::DecodeApplicationPorts(input);
      return SucceedIf(ports &&
                       adapter.SetApplicationPorts(ports->driverClassId, std::move(ports->ports)));
    }
    case RequestCode::HlResetTraffic:
      adapter.ResetTraffic();
      return Succeed();
    case RequestCode::HlStartFiltering:
      adapter.StartFiltering();
      return Succeed();
    case RequestCode::HlStopFiltering:
      adapter.StopFiltering();
      return Succeed();
    case RequestCode::HlGetTBFClassStatistics: {
      const auto statistics = adapter.ClassStatistics(classId());
      return statistics ? Succeed(protocol::EncodeClassStatistics(*statistics))
                        : Fail(device_error::kGenFailure);
    }
    case RequestCode::HlGetTotalStatistics:
      return Succeed(protocol::EncodeTotalStatistics(adapter.TotalStatistics()));
    case RequestCode::HlReadPackets:
      return Succeed(adapter.ReadPackets());
    case RequestCode::HlResetTcpConnection:
    case RequestCode::HlResetTcp6Connection:
      return ResetTcpConnection(layout->code, input);
    case RequestCode::HlSetTBFClassFamily: {
      const std::optional<protocol::ClassFamily> family = protocol::DecodeClassFamily(input);
      return SucceedIf(family && adapter.SetClassFamily(*family));
    }
    case RequestCode::HlReadPackets6:
      return Succeed(adapter.ReadPackets6());
    case RequestCode::HlGetStatisticsBatch:
      return StatisticsBatchOf(adapter, input);
    case RequestCode::HlSetTBFClassRates:
      return SetClassRates(adapter, input);
    case RequestCode::HlBindAdapter:
      break;
  }
  return Fail(device_error::kGenFailure);
}

}  // namespace harlune
