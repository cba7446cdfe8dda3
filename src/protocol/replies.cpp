#include "protocol/replies.h"

#include "protocol/byte_order.h"
#include "protocol/request_codes.h"

namespace harlune::protocol {

std::array<std::uint8_t, kClassStatisticsSize> EncodeClassStatistics(const ClassStatistics& s) {
  std::array<std::uint8_t, kClassStatisticsSize> out{};
  StoreLe64(out, 0, s.transferredBytes);
  StoreLe32(out, 8, s.rate);
  return out;
}

ClassStatistics DecodeClassStatistics(std::span<const std::uint8_t, kClassStatisticsSize> bytes) {
  return {LoadLe64(bytes, 0), LoadLe32(bytes, 8)};
}

std::array<std::uint8_t, kTotalStatisticsSize> EncodeTotalStatistics(const TotalStatistics& s) {
  std::array<std::uint8_t, kTotalStatisticsSize> out{};
  StoreLe64(out, 0, s.sentBytes);
  StoreLe64(out, 8, s.receivedBytes);
  StoreLe32(out, 16, s.sendRate);
  StoreLe32(out, 20, s.receiveRate);
  return out;
}

TotalStatistics DecodeTotalStatistics(std::span<const std::uint8_t, kTotalStatisticsSize> bytes) {
  return {LoadLe64(bytes, 0), LoadLe64(bytes, 8), LoadLe32(bytes, 16), LoadLe32(bytes, 20)};
}

std::array<std::uint8_t, 4> EncodeU32(std::uint32_t value) {
  std::array<std::uint8_t, 4> out{};
  StoreLe32(out, 0, value);
  return out;
}

std::uint32_t DecodeVersion(std::span<const std::uint8_t> reply) {
  return reply.size() == kVersionReplySize ? LoadLe32(reply, 0) : 0;
}

std::optional<std::vector<std::uint8_t>> EncodeApplicationPorts(const ApplicationPorts& request) {
  if (request.ports.size() > kMaxApplicationPorts) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> out(kApplicationPortsHeaderSize + 2 * request.ports.size());
  StoreLe32(out, 0, request.driverClassId);
  StoreLe32(out, 4, static_cast<std::uint32_t>(request.ports.size()));
  std::size_t offset = kApplicationPortsHeaderSize;
  for (std::uint16_t port : request.ports) {
    StoreLe16(out, offset, port);
    offset += 2;
  }
  return out;
}

std::optional<ApplicationPorts> DecodeApplicationPorts(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kApplicationPortsHeaderSize) {
    return std::nullopt;
  }
  const std::uint32_t count = LoadLe32(bytes, 4);
  if (count > kMaxApplicationPorts || bytes.size() != kApplicationPortsHeaderSize + 2 * count) {
    return std::nullopt;
  }
  ApplicationPorts request{LoadLe32(bytes, 0), {}};
  request.ports.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    request.ports.push_back(LoadLe16(bytes, kApplicationPortsHeaderSize + 2 * i));
  }
  return request;
}

}  // namespace harlune::protocol
