#pragma once

// The captured packets of one adapter: 60-byte records in a bounded ring,
// oldest first; a full ring drops its oldest record.
//
// Record layout: 0 u32 little-endian DriverClassId of the class that matched
// (0 = none); 4 Ethernet header (destination, source, type 0x0800); 18 IPv4
// header without options; 38 the first 20 bytes of the TCP or UDP header
// (zero for other protocols); 58 direction (0 send, 1 receive); 59 verdict
// (0 passed, 1 queued, 2 dropped).

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "passthru/engine/packet.h"
#include "passthru/engine/token_bucket.h"
#include "protocol/replies.h"

namespace harlune {

using CaptureRecord = std::array<std::uint8_t, protocol::kCaptureRecordSize>;

inline constexpr std::size_t kCaptureRingCapacity = 1000;
inline constexpr std::size_t kMaxRecordsPerRead = 100;

CaptureRecord EncodeCaptureRecord(const Packet& packet, std::uint32_t driverClassId,
                                  Verdict verdict, std::uint16_t identification);
// The record of a real frame (Ethernet header first): its Ethernet header,
// its IPv4 header with any options cut off (checksum made anew) and the
// first 20 bytes of what follows the options; what the frame lacks is zero.
CaptureRecord EncodeFrameRecord(std::span<const std::uint8_t> frame, std::uint32_t driverClassId,
                                Direction direction, Verdict verdict);

class CaptureRing {
 public:
  explicit CaptureRing(std::size_t capacity = kCaptureRingCapacity) : capacity_(capacity) {}

  void Push(const CaptureRecord& record);
  // Up to `maxRecords` whole records, oldest first, removed from the ring.
  std::vector<std::uint8_t> Take(std::size_t maxRecords = kMaxRecordsPerRead);
  std::size_t Size() const { return records_.size(); }
  void Clear() { records_.clear(); }

 private:
  std::size_t capacity_;
  std::deque<CaptureRecord> records_;
};

}  // namespace harlune
