#pragma once

// Fixed-layout driver replies and the application ports request.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace harlune::protocol {

inline constexpr std::size_t kVersionReplySize = 4;
inline constexpr std::size_t kClassStatisticsSize = 12;
inline constexpr std::size_t kTotalStatisticsSize = 24;
inline constexpr std::size_t kCaptureRecordSize = 60;
inline constexpr std::size_t kApplicationPortsHeaderSize = 8;

// Reply of HlGetTBFClassStatistics.
struct ClassStatistics {
  std::uint64_t transferredBytes = 0;
  std::uint32_t rate = 0;  // bytes per second

  bool operator==(const ClassStatistics&) const = default;
};

// Reply of HlGetTotalStatistics, per adapter.
struct TotalStatistics {
  std::uint64_t sentBytes = 0;
  std::uint64_t receivedBytes = 0;
  std::uint32_t sendRate = 0;  // bytes per second
  std::uint32_t receiveRate = 0;

  bool operator==(const TotalStatistics&) const = default;
};

// Input of HlSetApplicationPorts: the local ports (host order) that the
// process of a class owns.
struct ApplicationPorts {
  std::uint32_t driverClassId = 0;
  std::vector<std::uint16_t> ports;

  bool operator==(const ApplicationPorts&) const = default;
};

std::array<std::uint8_t, kClassStatisticsSize> EncodeClassStatistics(const ClassStatistics& s);
ClassStatistics DecodeClassStatistics(std::span<const std::uint8_t, kClassStatisticsSize> bytes);

std::array<std::uint8_t, kTotalStatisticsSize> EncodeTotalStatistics(const TotalStatistics& s);
TotalStatistics DecodeTotalStatistics(std::span<const std::uint8_t, kTotalStatisticsSize> bytes);

std::array<std::uint8_t, 4> EncodeU32(std::uint32_t value);

// The version word, or 0 unless exactly four bytes came back.
std::uint32_t DecodeVersion(std::span<const std::uint8_t> reply);

// Nothing when there are more than kMaxApplicationPorts ports.
std::optional<std::vector<std::uint8_t>> EncodeApplicationPorts(const ApplicationPorts& request);
// Nothing unless the length is exactly 8 + 2 x count with a count in range.
std::optional<ApplicationPorts> DecodeApplicationPorts(std::span<const std::uint8_t> bytes);

// Whole capture records in a packet read; a partial tail is ignored.
constexpr std::size_t CaptureRecordCount(std::size_t bytesReturned) {
  return bytesReturned / kCaptureRecordSize;
}

}  // namespace harlune::protocol
