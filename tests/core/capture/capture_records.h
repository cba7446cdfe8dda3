#pragma once

// Capture records as the driver hands them out, for the packet monitor's
// tests: a TCP segment from 192.168.0.2:50000 to 10.0.0.1:80 unless changed,
// and its IPv6 counterpart from [2001:2::2]:50000 to [2001:2:0:1::1]:80.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/capture6_record.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"

namespace harlune::test {

using RecordBytes = std::array<std::uint8_t, protocol::kCaptureRecordSize>;

inline void PutBe16(RecordBytes& record, std::size_t offset, std::uint16_t value) {
  record[offset] = static_cast<std::uint8_t>(value >> 8);
  record[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void PutBe32(RecordBytes& record, std::size_t offset, std::uint32_t value) {
  PutBe16(record, offset, static_cast<std::uint16_t>(value >> 16));
  PutBe16(record, offset + 2, static_cast<std::uint16_t>(value));
}

// Offsets below are the record's (the frame starts at 4).
inline RecordBytes MakeRecord(std::uint8_t protocolNumber = 6, std::uint8_t tcpFlags = 0x18) {
  RecordBytes record{};
  record.fill(0xEE);  // the bytes the monitor must not look at
  const std::array<std::uint8_t, 12> macs{0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
                                          0xAA, 0xBB, 0xCC, 0xDD, 0x0E, 0xFF};
  for (std::size_t i = 0; i < macs.size(); ++i) {
    record[4 + i] = macs[i];
  }
  PutBe16(record, 16, 0x0800);
  record[18] = 0x45;
  PutBe16(record, 20, 40);      // total length
  PutBe16(record, 22, 0xBEEF);  // identification
  record[26] = 64;              // TTL
  record[27] = protocolNumber;
  PutBe32(record, 30, 0xC0A80002);  // 192.168.0.2
  PutBe32(record, 34, 0x0A000001);  // 10.0.0.1
  PutBe16(record, 38, 50000);
  PutBe16(record, 40, 80);
  PutBe32(record, 42, 4294967295u);  // sequence
  PutBe32(record, 46, 7);            // acknowledgement
  record[51] = tcpFlags;
  PutBe16(record, 52, 65535);  // window
  return record;
}

// `count` copies of a record, one after the other.
inline std::vector<std::uint8_t> Batch(std::size_t count,
                                       const RecordBytes& record = MakeRecord()) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
}

using Record6Bytes = std::array<std::uint8_t, protocol::kCapture6RecordSize>;

// The decoded form, to change before encoding; the upper layer's fields
// are the IPv4 record's.
inline protocol::Capture6Record MakeCapture6(std::uint8_t upperProtocol = 6,
                                             std::uint8_t flags = 0) {
  protocol::Capture6Record record;
  record.destinationMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  record.sourceMac = {0xAA, 0xBB, 0xCC, 0xDD, 0x0E, 0xFF};
  record.trafficClass = 0xB8;
  record.flowLabel = 0xABCDE;
  record.payloadLength = 20;
  record.nextHeader = flags == 0 ? upperProtocol : std::uint8_t{44};
  record.hopLimit = 63;
  record.source = ParseIpAddress("2001:2::2")->Ipv6Bytes();
  record.destination = ParseIpAddress("2001:2:0:1::1")->Ipv6Bytes();
  record.upperProtocol = upperProtocol;
  record.flags = flags;
  if ((flags & protocol::kCapture6LaterFragment) == 0) {
    record.transportHeader = {0xC3, 0x50, 0x00, 0x50,  // 50000, 80
                              0xFF, 0xFF, 0xFF, 0xFF,  // sequence
                              0x00, 0x00, 0x00, 0x07,  // acknowledgement
                              0x50, 0x18,              // header length, ACK PSH
                              0xFF, 0xFF};             // window
  }
  return record;
}

inline Record6Bytes MakeRecord6(std::uint8_t upperProtocol = 6, std::uint8_t flags = 0) {
  return protocol::EncodeCapture6Record(MakeCapture6(upperProtocol, flags));
}

// `count` copies of an IPv6 record, one after the other.
inline std::vector<std::uint8_t> Batch6(std::size_t count,
                                        const Record6Bytes& record = MakeRecord6()) {
  // Sized first and filled in place: appending in a loop made GCC 12 at -O3
  // warn of a write past the vector it had just grown.
  std::vector<std::uint8_t> bytes(count * record.size());
  for (std::size_t i = 0; i < count; ++i) {
    std::copy(record.begin(), record.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(i * record.size()));
  }
  return bytes;
}

}  // namespace harlune::test
