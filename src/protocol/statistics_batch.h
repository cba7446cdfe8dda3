#pragma once

// The two batched requests of the statistics tick: one reads every class's
// statistics, the adapter's totals and how many capture records wait; one
// sets the rates of many classes. A driver that answers either with 1
// (unknown code) gets the single requests instead.
//
// HlGetStatisticsBatch input: u32 count (0..128), then count x u32
// DriverClassId. Reply (exactly 32 + 16 x count bytes):
//   0   24 bytes  the totals, as HlGetTotalStatistics answers them
//   24  u32       capture records HlReadPackets would deliver now
//   28  u32       capture records HlReadPackets6 would deliver now
//   32 + 16 x i   class i in the order asked: u64 bytes, u32 rate, u32
//                 status (0, or the error the single request would get;
//                 the numbers are then 0)
//
// HlSetTBFClassRates input: u32 count (1..128), then count x {u32
// DriverClassId, u32 bytes per second}. Reply (exactly 4 x count bytes):
// one u32 status per entry, 0 when the rate was set.
//
// All fields little-endian.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/replies.h"

namespace harlune::protocol {

inline constexpr std::size_t kMaxBatchClasses = 128;
inline constexpr std::size_t kBatchCountSize = 4;
inline constexpr std::size_t kBatchClassIdSize = 4;
inline constexpr std::size_t kStatisticsBatchHeaderSize = 32;
inline constexpr std::size_t kBatchClassEntrySize = 16;
inline constexpr std::size_t kClassRateEntrySize = 8;
inline constexpr std::size_t kBatchStatusSize = 4;

constexpr std::size_t StatisticsBatchInputSize(std::size_t count) {
  return kBatchCountSize + kBatchClassIdSize * count;
}
constexpr std::size_t StatisticsBatchReplySize(std::size_t count) {
  return kStatisticsBatchHeaderSize + kBatchClassEntrySize * count;
}
constexpr std::size_t ClassRatesInputSize(std::size_t count) {
  return kBatchCountSize + kClassRateEntrySize * count;
}
constexpr std::size_t ClassRatesReplySize(std::size_t count) { return kBatchStatusSize * count; }

static_assert(StatisticsBatchReplySize(0) == kTotalStatisticsSize + 8);
static_assert(kBatchClassEntrySize == kClassStatisticsSize + kBatchStatusSize);
static_assert(StatisticsBatchReplySize(kMaxBatchClasses) == 2080);

// One class of a statistics batch.
struct BatchClassStatistics {
  ClassStatistics statistics;
  std::uint32_t status = 0;  // 0: the class exists and `statistics` are its own

  bool operator==(const BatchClassStatistics&) const = default;
};

// The reply of HlGetStatisticsBatch.
struct StatisticsBatch {
  TotalStatistics totals;
  std::uint32_t pendingRecords = 0;   // IPv4 capture records waiting
  std::uint32_t pendingRecords6 = 0;  // IPv6 capture records waiting
  std::vector<BatchClassStatistics> classes;

  bool operator==(const StatisticsBatch&) const = default;
};

// One entry of HlSetTBFClassRates.
struct ClassRate {
  std::uint32_t driverClassId = 0;
  std::uint32_t bytesPerSecond = 0;

  bool operator==(const ClassRate&) const = default;
};

// Nothing for more than kMaxBatchClasses classes.
std::optional<std::vector<std::uint8_t>> EncodeStatisticsBatchRequest(
    std::span<const std::uint32_t> driverClassIds);
// Nothing unless the count is in range and the length exactly 4 + 4 x count.
std::optional<std::vector<std::uint32_t>> DecodeStatisticsBatchRequest(
    std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> EncodeStatisticsBatchReply(const StatisticsBatch& batch);
// Nothing unless exactly StatisticsBatchReplySize(classCount) bytes came back.
std::optional<StatisticsBatch> DecodeStatisticsBatchReply(std::span<const std::uint8_t> bytes,
                                                          std::size_t classCount);

// Nothing for no entries or more than kMaxBatchClasses.
std::optional<std::vector<std::uint8_t>> EncodeClassRatesRequest(std::span<const ClassRate> rates);
// Nothing unless the count is 1..128 and the length exactly 4 + 8 x count.
std::optional<std::vector<ClassRate>> DecodeClassRatesRequest(std::span<const std::uint8_t> bytes);

std::vector<std::uint8_t> EncodeClassRatesReply(std::span<const std::uint32_t> statuses);
// Nothing unless exactly 4 x entryCount bytes came back.
std::optional<std::vector<std::uint32_t>> DecodeClassRatesReply(std::span<const std::uint8_t> bytes,
                                                                std::size_t entryCount);

}  // namespace harlune::protocol
