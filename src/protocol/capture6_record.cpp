#include "protocol/capture6_record.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

constexpr std::size_t kDestinationMac = 4;
constexpr std::size_t kSourceMac = 10;
constexpr std::size_t kEtherType = 16;
constexpr std::size_t kVersionClassFlow = 18;
constexpr std::size_t kPayloadLength = 22;
constexpr std::size_t kNextHeader = 24;
constexpr std::size_t kHopLimit = 25;
constexpr std::size_t kSource = 26;
constexpr std::size_t kDestination = 42;
constexpr std::size_t kUpperProtocol = 58;
constexpr std::size_t kFlags = 59;
constexpr std::size_t kTransport = 60;
constexpr std::size_t kDirection = 80;
constexpr std::size_t kVerdict = 81;
static_assert(kDestination + 16 == kUpperProtocol);
static_assert(kTransport + 20 == kDirection);
static_assert(kVerdict + 3 == kCapture6RecordSize);

void StoreBe(Bytes bytes, std::size_t offset, std::uint32_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
  }
}

template <std::size_t N>
void Put(Bytes bytes, std::size_t offset, const std::array<std::uint8_t, N>& value) {
  std::copy(value.begin(), value.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

template <std::size_t N>
std::array<std::uint8_t, N> Take(ConstBytes bytes, std::size_t offset) {
  std::array<std::uint8_t, N> value{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), N, value.begin());
  return value;
}

}  // namespace

std::array<std::uint8_t, kCapture6RecordSize> EncodeCapture6Record(const Capture6Record& record) {
  std::array<std::uint8_t, kCapture6RecordSize> out{};
  Bytes bytes(out);
  StoreLe32(bytes, 0, record.driverClassId);
  Put(bytes, kDestinationMac, record.destinationMac);
  Put(bytes, kSourceMac, record.sourceMac);
  StoreBe(bytes, kEtherType, kEtherTypeIpv6, 2);
  const std::uint32_t versionClassFlow =
      (6u << 28) | (std::uint32_t{record.trafficClass} << 20) | (record.flowLabel & 0xFFFFFu);
  StoreBe(bytes, kVersionClassFlow, versionClassFlow, 4);
  StoreBe(bytes, kPayloadLength, record.payloadLength, 2);
  out[kNextHeader] = record.nextHeader;
  out[kHopLimit] = record.hopLimit;
  Put(bytes, kSource, record.source);
  Put(bytes, kDestination, record.destination);
  out[kUpperProtocol] = record.upperProtocol;
  out[kFlags] = record.flags;
  Put(bytes, kTransport, record.transportHeader);
  out[kDirection] = record.direction;
  out[kVerdict] = record.verdict;
  return out;
}

std::optional<Capture6Record> DecodeCapture6Record(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kCapture6RecordSize ||
      ((bytes[kEtherType] << 8) | bytes[kEtherType + 1]) != kEtherTypeIpv6 ||
      (bytes[kVersionClassFlow] >> 4) != 6) {
    return std::nullopt;
  }
  Capture6Record record;
  record.driverClassId = LoadLe32(bytes, 0);
  record.destinationMac = Take<6>(bytes, kDestinationMac);
  record.sourceMac = Take<6>(bytes, kSourceMac);
  const std::uint32_t versionClassFlow = LoadBe32(bytes, kVersionClassFlow);
  record.trafficClass = static_cast<std::uint8_t>(versionClassFlow >> 20);
  record.flowLabel = versionClassFlow & 0xFFFFFu;
  record.payloadLength =
      static_cast<std::uint16_t>((bytes[kPayloadLength] << 8) | bytes[kPayloadLength + 1]);
  record.nextHeader = bytes[kNextHeader];
  record.hopLimit = bytes[kHopLimit];
  record.source = Take<16>(bytes, kSource);
  record.destination = Take<16>(bytes, kDestination);
  record.upperProtocol = bytes[kUpperProtocol];
  record.flags = bytes[kFlags];
  record.transportHeader = Take<20>(bytes, kTransport);
  record.direction = bytes[kDirection];
  record.verdict = bytes[kVerdict];
  return record;
}

}  // namespace harlune::protocol
