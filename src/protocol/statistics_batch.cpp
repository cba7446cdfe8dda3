#include "protocol/statistics_batch.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

// The count at the start of a batch's input, when it is within `low` and
// kMaxBatchClasses and the input has exactly the length it says.
std::optional<std::size_t> BatchCount(std::span<const std::uint8_t> bytes, std::size_t low,
                                      std::size_t entrySize) {
  if (bytes.size() < kBatchCountSize) {
    return std::nullopt;
  }
  const std::size_t count = LoadLe32(bytes, 0);
  if (count < low || count > kMaxBatchClasses ||
      bytes.size() != kBatchCountSize + entrySize * count) {
    return std::nullopt;
  }
  return count;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> EncodeStatisticsBatchRequest(
    std::span<const std::uint32_t> driverClassIds) {
  if (driverClassIds.size() > kMaxBatchClasses) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(StatisticsBatchInputSize(driverClassIds.size()));
  StoreLe32(out, 0, static_cast<std::uint32_t>(driverClassIds.size()));
  for (std::size_t i = 0; i < driverClassIds.size(); ++i) {
    StoreLe32(out, kBatchCountSize + kBatchClassIdSize * i, driverClassIds[i]);
  }
  return out;
}

std::optional<std::vector<std::uint32_t>> DecodeStatisticsBatchRequest(
    std::span<const std::uint8_t> bytes) {
  const std::optional<std::size_t> count = BatchCount(bytes, 0, kBatchClassIdSize);
  if (!count) {
    return std::nullopt;
  }
  std::vector<std::uint32_t> ids(*count);
  for (std::size_t i = 0; i < *count; ++i) {
    ids[i] = LoadLe32(bytes, kBatchCountSize + kBatchClassIdSize * i);
  }
  return ids;
}

std::vector<std::uint8_t> EncodeStatisticsBatchReply(const StatisticsBatch& batch) {
  std::vector<std::uint8_t> out(StatisticsBatchReplySize(batch.classes.size()));
  const auto totals = EncodeTotalStatistics(batch.totals);
  std::copy(totals.begin(), totals.end(), out.begin());
  StoreLe32(out, kTotalStatisticsSize, batch.pendingRecords);
  StoreLe32(out, kTotalStatisticsSize + 4, batch.pendingRecords6);
  std::size_t offset = kStatisticsBatchHeaderSize;
  for (const BatchClassStatistics& entry : batch.classes) {
    StoreLe64(out, offset, entry.statistics.transferredBytes);
    StoreLe32(out, offset + 8, entry.statistics.rate);
    StoreLe32(out, offset + 12, entry.status);
    offset += kBatchClassEntrySize;
  }
  return out;
}

std::optional<StatisticsBatch> DecodeStatisticsBatchReply(std::span<const std::uint8_t> bytes,
                                                          std::size_t classCount) {
  if (classCount > kMaxBatchClasses || bytes.size() != StatisticsBatchReplySize(classCount)) {
    return std::nullopt;
  }
  StatisticsBatch batch;
  batch.totals = DecodeTotalStatistics(bytes.first<kTotalStatisticsSize>());
  batch.pendingRecords = LoadLe32(bytes, kTotalStatisticsSize);
  batch.pendingRecords6 = LoadLe32(bytes, kTotalStatisticsSize + 4);
  batch.classes.reserve(classCount);
  for (std::size_t i = 0; i < classCount; ++i) {
    const std::size_t offset = kStatisticsBatchHeaderSize + kBatchClassEntrySize * i;
    batch.classes.push_back(
        {{LoadLe64(bytes, offset), LoadLe32(bytes, offset + 8)}, LoadLe32(bytes, offset + 12)});
  }
  return batch;
}

std::optional<std::vector<std::uint8_t>> EncodeClassRatesRequest(std::span<const ClassRate> rates) {
  if (rates.empty() || rates.size() > kMaxBatchClasses) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(ClassRatesInputSize(rates.size()));
  StoreLe32(out, 0, static_cast<std::uint32_t>(rates.size()));
  for (std::size_t i = 0; i < rates.size(); ++i) {
    const std::size_t offset = kBatchCountSize + kClassRateEntrySize * i;
    StoreLe32(out, offset, rates[i].driverClassId);
    StoreLe32(out, offset + 4, rates[i].bytesPerSecond);
  }
  return out;
}

std::optional<std::vector<ClassRate>> DecodeClassRatesRequest(std::span<const std::uint8_t> bytes) {
  const std::optional<std::size_t> count = BatchCount(bytes, 1, kClassRateEntrySize);
  if (!count) {
    return std::nullopt;
  }
  std::vector<ClassRate> rates(*count);
  for (std::size_t i = 0; i < *count; ++i) {
    const std::size_t offset = kBatchCountSize + kClassRateEntrySize * i;
    rates[i] = {LoadLe32(bytes, offset), LoadLe32(bytes, offset + 4)};
  }
  return rates;
}

std::vector<std::uint8_t> EncodeClassRatesReply(std::span<const std::uint32_t> statuses) {
  std::vector<std::uint8_t> out(ClassRatesReplySize(statuses.size()));
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    StoreLe32(out, kBatchStatusSize * i, statuses[i]);
  }
  return out;
}

std::optional<std::vector<std::uint32_t>> DecodeClassRatesReply(std::span<const std::uint8_t> bytes,
                                                                std::size_t entryCount) {
  if (bytes.size() != ClassRatesReplySize(entryCount)) {
    return std::nullopt;
  }
  std::vector<std::uint32_t> statuses(entryCount);
  for (std::size_t i = 0; i < entryCount; ++i) {
    statuses[i] = LoadLe32(bytes, kBatchStatusSize * i);
  }
  return statuses;
}

}  // namespace harlune::protocol
