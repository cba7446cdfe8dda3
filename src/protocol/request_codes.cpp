#include "protocol/request_codes.h"

#include <array>
#include <stdexcept>

#include "protocol/byte_order.h"
#include "protocol/capture6_record.h"
#include "protocol/class_family.h"
#include "protocol/replies.h"
#include "protocol/statistics_batch.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/tcp_four_tuple.h"

namespace harlune::protocol {
namespace {

using enum RequestCode;

constexpr RequestLayout Fixed(RequestCode code, std::string_view name, std::size_t in,
                              std::size_t out) {
  return {code, name, InputShape::Fixed, in, out};
}

constexpr std::array kRequestLayouts{
    RequestLayout{HlBindAdapter, "HlBindAdapter", InputShape::AdapterPath, 0, 4},
    Fixed(HlGetVersion, "HlGetVersion", 0, kVersionReplySize),
    Fixed(HlInitialize, "HlInitialize", 0, 0),
    Fixed(HlUninitialize, "HlUninitialize", 0, 0),
    Fixed(HlReleaseAdapter, "HlReleaseAdapter", 0, 0),
    Fixed(HlAddTBFClass, "HlAddTBFClass", kTbfSettingDataSize, 4),
    Fixed(HlModifyTBFClass, "HlModifyTBFClass", kTbfSettingDataSize, 0),
    Fixed(HlDeleteTBFClass, "HlDeleteTBFClass", 4, 0),
    Fixed(HlUpTBFClass, "HlUpTBFClass", 4, 0),
    Fixed(HlDownTBFClass, "HlDownTBFClass", 4, 0),
    Fixed(HlSetTBFClassRate, "HlSetTBFClassRate", 8, 0),
    RequestLayout{HlSetApplicationPorts, "HlSetApplicationPorts", InputShape::ApplicationPorts, 0,
                  0},
    Fixed(HlResetTraffic, "HlResetTraffic", 0, 0),
    Fixed(HlStartFiltering, "HlStartFiltering", 0, 0),
    Fixed(HlStopFiltering, "HlStopFiltering", 0, 0),
    Fixed(HlGetTBFClassStatistics, "HlGetTBFClassStatistics", 4, kClassStatisticsSize),
    Fixed(HlGetTotalStatistics, "HlGetTotalStatistics", 0, kTotalStatisticsSize),
    Fixed(HlReadPackets, "HlReadPackets", 0, kReadPacketsBufferSize),
    RequestLayout{HlResetTcpConnection, "HlResetTcpConnection", InputShape::TcpFourTuple,
                  kTcpFourTupleSize, kResetStatusSize},
    RequestLayout{HlResetTcp6Connection, "HlResetTcp6Connection", InputShape::Tcp6FourTuple,
                  kTcp6FourTupleSize, kResetStatusSize},
    RequestLayout{HlSetTBFClassFamily, "HlSetTBFClassFamily", InputShape::ClassFamily,
                  kClassFamilySize, 0},
    Fixed(HlReadPackets6, "HlReadPackets6", 0, kReadPackets6BufferSize),
    RequestLayout{HlGetStatisticsBatch, "HlGetStatisticsBatch", InputShape::StatisticsBatch, 0, 0},
    RequestLayout{HlSetTBFClassRates, "HlSetTBFClassRates", InputShape::ClassRates, 0, 0},
};

// The output capacity of a batch is the reply size for the count its input
// carries; nothing when the input is no valid batch.
std::optional<std::size_t> BatchOutputSize(InputShape shape, std::span<const std::uint8_t> input) {
  if (shape == InputShape::StatisticsBatch) {
    const auto ids = DecodeStatisticsBatchRequest(input);
    return ids ? std::optional(StatisticsBatchReplySize(ids->size())) : std::nullopt;
  }
  const auto rates = DecodeClassRatesRequest(input);
  return rates ? std::optional(ClassRatesReplySize(rates->size())) : std::nullopt;
}

}  // namespace

std::optional<RequestLayout> FindRequestLayout(std::uint32_t code) {
  for (const RequestLayout& layout : kRequestLayouts) {
    if (static_cast<std::uint32_t>(layout.code) == code) {
      return layout;
    }
  }
  return std::nullopt;
}

const RequestLayout& LayoutOf(RequestCode code) {
  for (const RequestLayout& layout : kRequestLayouts) {
    if (layout.code == code) {
      return layout;
    }
  }
  throw std::logic_error("request code without a layout");
}

std::string_view RequestName(RequestCode code) { return LayoutOf(code).name; }

bool RequestRepeatable(std::uint32_t code) {
  switch (static_cast<RequestCode>(code)) {
    case HlBindAdapter:
    case HlGetVersion:
    case HlGetTBFClassStatistics:
    case HlGetTotalStatistics:
    case HlReadPackets:
    case HlReadPackets6:
    case HlSetTBFClassRate:
    case HlSetApplicationPorts:
    case HlStartFiltering:
    case HlStopFiltering:
    case HlResetTcpConnection:
    case HlResetTcp6Connection:
    case HlSetTBFClassFamily:
    case HlGetStatisticsBatch:
    case HlSetTBFClassRates:
      return true;
    default:
      return false;
  }
}

bool RequestSizesValid(const RequestLayout& layout, std::span<const std::uint8_t> input,
                       std::size_t outputCapacity) {
  if (layout.inputShape == InputShape::StatisticsBatch ||
      layout.inputShape == InputShape::ClassRates) {
    return BatchOutputSize(layout.inputShape, input) == outputCapacity;
  }
  if (outputCapacity != layout.outputSize) {
    return false;
  }
  switch (layout.inputShape) {
    case InputShape::Fixed:
      return input.size() == layout.inputSize;
    case InputShape::AdapterPath:
      return !input.empty() && input.size() % 2 == 0 && input.size() <= kMaxDevicePathUnits * 2;
    case InputShape::ApplicationPorts:
      return DecodeApplicationPorts(input).has_value();
    case InputShape::TcpFourTuple:
      return DecodeTcpFourTuple(input).has_value();
    case InputShape::Tcp6FourTuple:
      return DecodeTcp6FourTuple(input).has_value();
    case InputShape::ClassFamily:
      return DecodeClassFamily(input).has_value();
    case InputShape::StatisticsBatch:
    case InputShape::ClassRates:
      break;  // checked above
  }
  return false;
}

}  // namespace harlune::protocol
