// The batch requests of DriverLink (driver_link.h).

#include <algorithm>
#include <vector>

#include "core/driver/driver_link.h"

namespace harlune {

using protocol::RequestCode;

namespace {

bool NamesNoClass(std::span<const std::uint32_t> ids) {
  return std::ranges::find(ids, kNoDriverClass) != ids.end();
}

std::vector<std::uint32_t> StatusesOf(const protocol::StatisticsBatch& batch) {
  std::vector<std::uint32_t> statuses;
  statuses.reserve(batch.classes.size());
  for (const protocol::BatchClassStatistics& entry : batch.classes) {
    statuses.push_back(entry.status);
  }
  return statuses;
}

}  // namespace

StatisticsBatchReply DriverLink::HlGetStatisticsBatch(
    std::string_view adapterName, std::span<const std::uint32_t> driverClassIds) {
  // Whatever happens, an earlier reply's waiting records are stale now.
  batches_.ForgetPendingCapture(adapterName);
  const auto input = NamesNoClass(driverClassIds)
                         ? std::nullopt
                         : protocol::EncodeStatisticsBatchRequest(driverClassIds);
  if (!input) {
    return {};
  }
  std::vector<std::uint8_t> output(protocol::StatisticsBatchReplySize(driverClassIds.size()));
  const DeviceCallResult result =
      Request(adapterName, RequestCode::HlGetStatisticsBatch, *input, output);
  if (!result.succeeded) {
    if (result.error == protocol::device_error::kInvalidFunction) {
      batches_.MarkNoStatisticsBatch(adapterName);
    }
    SuspectFailedBatch(adapterName, result, !driverClassIds.empty());
    return {std::nullopt, result.error};
  }
  auto batch = protocol::DecodeStatisticsBatchReply(std::span(output).first(result.bytesReturned),
                                                    driverClassIds.size());
  if (!batch) {
    return {};
  }
  SuspectRefusedClasses(adapterName, StatusesOf(*batch));
  batches_.KeepPendingCapture(adapterName, batch->pendingRecords, batch->pendingRecords6);
  return {std::move(batch), protocol::device_error::kSuccess};
}

ClassRatesReply DriverLink::HlSetTBFClassRates(std::string_view adapterName,
                                               std::span<const protocol::ClassRate> rates) {
  const bool namesNoClass = std::ranges::any_of(
      rates, [](const protocol::ClassRate& rate) { return rate.driverClassId == kNoDriverClass; });
  const auto input = namesNoClass ? std::nullopt : protocol::EncodeClassRatesRequest(rates);
  if (!input) {
    return {};
  }
  std::vector<std::uint8_t> output(protocol::ClassRatesReplySize(rates.size()));
  const DeviceCallResult result =
      Request(adapterName, RequestCode::HlSetTBFClassRates, *input, output);
  if (!result.succeeded) {
    if (result.error == protocol::device_error::kInvalidFunction) {
      batches_.MarkNoRatesBatch(adapterName);
    }
    SuspectFailedBatch(adapterName, result, true);
    return {std::nullopt, result.error};
  }
  auto statuses =
      protocol::DecodeClassRatesReply(std::span(output).first(result.bytesReturned), rates.size());
  if (!statuses) {
    return {};
  }
  SuspectRefusedClasses(adapterName, *statuses);
  return {std::move(statuses), protocol::device_error::kSuccess};
}

}  // namespace harlune
