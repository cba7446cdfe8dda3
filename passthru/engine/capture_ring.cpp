#include "passthru/engine/capture_ring.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kEthernetOffset = 4;
constexpr std::size_t kIpOffset = 18;
constexpr std::size_t kTransportOffset = 38;
constexpr std::size_t kDirectionOffset = 58;
constexpr std::size_t kVerdictOffset = 59;
constexpr std::uint32_t kIpHeaderSize = 20;
static_assert(kTransportOffset + 20 == kDirectionOffset);
static_assert(kVerdictOffset + 1 == protocol::kCaptureRecordSize);

void StoreBe16(protocol::Bytes bytes, std::size_t offset, std::uint16_t value) {
  protocol::StoreRaw<std::uint16_t>(bytes, offset, protocol::HostToNet16(value));
}

std::uint16_t IpChecksum(protocol::ConstBytes header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < header.size(); i += 2) {
    sum += static_cast<std::uint32_t>((header[i] << 8) | header[i + 1]);
  }
  while ((sum >> 16) != 0) {
    sum = (sum & 0xFFFFu) + (sum >> 16);
  }
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

CaptureRecord EncodeCaptureRecord(const Packet& packet, std::uint32_t driverClassId,
                                  Verdict verdict, std::uint16_t identification) {
  CaptureRecord record{};
  protocol::Bytes bytes(record);
  protocol::StoreLe32(bytes, 0, driverClassId);

  const bool sending = packet.direction == Direction::Send;
  const MacAddress& destination = sending ? packet.remoteMac : packet.localMac;
  const MacAddress& source = sending ? packet.localMac : packet.remoteMac;
  std::copy(destination.begin(), destination.end(), record.begin() + kEthernetOffset);
  std::copy(source.begin(), source.end(), record.begin() + kEthernetOffset + 6);
  StoreBe16(bytes, kEthernetOffset + 12, 0x0800);

  const std::uint32_t sourceAddress =
      (sending ? packet.localAddress : packet.remoteAddress).Ipv4Value();
  const std::uint32_t destinationAddress =
      (sending ? packet.remoteAddress : packet.localAddress).Ipv4Value();
  record[kIpOffset] = 0x45;  // version 4, five words
  StoreBe16(bytes, kIpOffset + 2,
            static_cast<std::uint16_t>(std::min<std::uint32_t>(packet.length, 0xFFFF)));
  StoreBe16(bytes, kIpOffset + 4, identification);
  StoreBe16(bytes, kIpOffset + 6, 0x4000);  // do not fragment
  record[kIpOffset + 8] = 64;
  record[kIpOffset + 9] = packet.protocol;
  protocol::StoreRaw(bytes, kIpOffset + 12, sourceAddress);
  protocol::StoreRaw(bytes, kIpOffset + 16, destinationAddress);
  StoreBe16(bytes, kIpOffset + 10,
            IpChecksum(protocol::ConstBytes(record).subspan(kIpOffset, kIpHeaderSize)));

  if (packet.protocol == kProtocolTcp || packet.protocol == kProtocolUdp) {
    const std::uint16_t sourcePort = sending ? packet.localPort : packet.remotePort;
    const std::uint16_t destinationPort = sending ? packet.remotePort : packet.localPort;
    protocol::StoreRaw(bytes, kTransportOffset, sourcePort);
    protocol::StoreRaw(bytes, kTransportOffset + 2, destinationPort);
    if (packet.protocol == kProtocolTcp) {
      record[kTransportOffset + 12] = 0x50;  // five words, no options
      record[kTransportOffset + 13] = 0x10;  // ACK
      StoreBe16(bytes, kTransportOffset + 14, 0xFFFF);
    } else {
      const std::uint32_t udpLength =
          packet.length > kIpHeaderSize ? packet.length - kIpHeaderSize : 0;
      StoreBe16(bytes, kTransportOffset + 4,
                static_cast<std::uint16_t>(std::min<std::uint32_t>(udpLength, 0xFFFF)));
    }
  }
  record[kDirectionOffset] = static_cast<std::uint8_t>(packet.direction);
  record[kVerdictOffset] = static_cast<std::uint8_t>(verdict);
  return record;
}

CaptureRecord EncodeFrameRecord(std::span<const std::uint8_t> frame, std::uint32_t driverClassId,
                                Direction direction, Verdict verdict) {
  constexpr std::size_t kEthernetSize = kIpOffset - kEthernetOffset;
  CaptureRecord record{};
  protocol::Bytes bytes(record);
  protocol::StoreLe32(bytes, 0, driverClassId);
  const auto copy = [&](std::size_t from, std::size_t to, std::size_t count) {
    if (from < frame.size()) {
      const std::size_t available = std::min(count, frame.size() - from);
      std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(from), available,
                  record.begin() + static_cast<std::ptrdiff_t>(to));
    }
  };
  copy(0, kEthernetOffset, kEthernetSize);
  copy(kEthernetSize, kIpOffset, kIpHeaderSize);
  const std::size_t headerLength =
      frame.size() > kEthernetSize ? std::size_t{4} * (frame[kEthernetSize] & 0x0Fu) : 0;
  copy(kEthernetSize + std::max<std::size_t>(headerLength, kIpHeaderSize), kTransportOffset,
       kDirectionOffset - kTransportOffset);
  if (headerLength != kIpHeaderSize) {
    // The options are not in the record: say so in the header and make its
    // checksum fit the 20 bytes that are.
    record[kIpOffset] = 0x45;
    StoreBe16(bytes, kIpOffset + 10, 0);
    StoreBe16(bytes, kIpOffset + 10,
              IpChecksum(protocol::ConstBytes(record).subspan(kIpOffset, kIpHeaderSize)));
  }
  record[kDirectionOffset] = static_cast<std::uint8_t>(direction);
  record[kVerdictOffset] = static_cast<std::uint8_t>(verdict);
  return record;
}

}  // namespace harlune
