#pragma once

// The capture record of an IPv6 packet, read by HlReadPackets6 (the 60-byte
// record of HlReadPackets stays IPv4's). 84 bytes, little-endian unless
// stated; header fields are in network order as on the wire:
//
//   0  u32  DriverClassId of the class that matched (0 = none)
//   4  6    Ethernet destination MAC
//   10 6    Ethernet source MAC
//   16 u16  Ethernet type, 0x86DD (network order)
//   18 40   the fixed IPv6 header: version, traffic class and flow label at
//           18, payload length at 22, next header at 24, hop limit at 25,
//           source address at 26, destination address at 42
//   58 u8   the upper-layer protocol: the next header after the extension
//           headers (59 when there is none, or the chain could not be
//           followed)
//   59 u8   flags: 0x01 a fragment after the first (no transport header),
//           0x02 extension headers came before the upper layer
//   60 20   the first 20 bytes of the upper-layer header (TCP: ports at 60
//           and 62, sequence at 64, acknowledgement at 68, flags at 73,
//           window at 74; UDP: ports); zero where the packet has none
//   80 u8   direction (0 send, 1 receive)
//   81 u8   verdict (0 passed, 1 queued, 2 dropped)
//   82 2    zero

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/ip_address.h"
#include "protocol/replies.h"

namespace harlune::protocol {

inline constexpr std::size_t kCapture6RecordSize = 84;
inline constexpr std::size_t kMaxCapture6RecordsPerRead = 100;
inline constexpr std::size_t kReadPackets6BufferSize =
    kCapture6RecordSize * kMaxCapture6RecordsPerRead;
inline constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
inline constexpr std::uint8_t kNoNextHeader = 59;
inline constexpr std::uint8_t kCapture6LaterFragment = 0x01;
inline constexpr std::uint8_t kCapture6ExtensionHeaders = 0x02;

struct Capture6Record {
  std::uint32_t driverClassId = 0;
  std::array<std::uint8_t, 6> destinationMac{};
  std::array<std::uint8_t, 6> sourceMac{};
  std::uint8_t trafficClass = 0;
  std::uint32_t flowLabel = 0;  // 20 bits
  std::uint16_t payloadLength = 0;
  std::uint8_t nextHeader = kNoNextHeader;  // the fixed header's own
  std::uint8_t hopLimit = 0;
  IpAddress::Bytes16 source{};
  IpAddress::Bytes16 destination{};
  std::uint8_t upperProtocol = kNoNextHeader;
  std::uint8_t flags = 0;
  std::array<std::uint8_t, 20> transportHeader{};
  std::uint8_t direction = 0;
  std::uint8_t verdict = 0;

  bool operator==(const Capture6Record&) const = default;
};

std::array<std::uint8_t, kCapture6RecordSize> EncodeCapture6Record(const Capture6Record& record);
// Nothing unless exactly 84 bytes with Ethernet type 0x86DD and IP version 6.
std::optional<Capture6Record> DecodeCapture6Record(std::span<const std::uint8_t> bytes);

// Whole records in a read; a partial tail is ignored.
constexpr std::size_t Capture6RecordCount(std::size_t bytesReturned) {
  return bytesReturned / kCapture6RecordSize;
}

// One successful packet read of an adapter: whole records of one family.
struct CaptureBatch {
  bool ipv6 = false;  // 84-byte HlReadPackets6 records, else 60-byte IPv4 ones
  std::span<const std::uint8_t> records;

  std::size_t RecordSize() const { return ipv6 ? kCapture6RecordSize : kCaptureRecordSize; }
  std::size_t RecordCount() const { return records.size() / RecordSize(); }
  std::span<const std::uint8_t> Record(std::size_t index) const {
    return records.subspan(index * RecordSize(), RecordSize());
  }
};

}  // namespace harlune::protocol
