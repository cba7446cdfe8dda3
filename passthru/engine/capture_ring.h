#pragma once

// The captured packets of one adapter: 60-byte records in a bounded ring,
// oldest first; a full ring drops its oldest record.
//
// Record layout: 0 u32 little-endian DriverClassId of the class that matched
// (0 = none); 4 Ethernet header (destination, source, type 0x0800); 18 IPv4
// header without options; 38 the first 20 bytes of the TCP or UDP header
// (zero for other protocols); 58 direction (0 send, 1 receive); 59 verdict
// (0 passed, 1 queued, 2 dropped).
//
// IPv6 packets go to a ring of their own, of the 84-byte records of
// protocol/capture6_record.h, read by HlReadPackets6.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "passthru/engine/packet.h"
#include "passthru/engine/token_bucket.h"
#include "protocol/capture6_record.h"
#include "protocol/replies.h"

namespace harlune {

using CaptureRecord = std::array<std::uint8_t, protocol::kCaptureRecordSize>;
using Capture6Bytes = std::array<std::uint8_t, protocol::kCapture6RecordSize>;

inline constexpr std::size_t kCaptureRingCapacity = 1000;
inline constexpr std::size_t kMaxRecordsPerRead = 100;

CaptureRecord EncodeCaptureRecord(const Packet& packet, std::uint32_t driverClassId,
                                  Verdict verdict, std::uint16_t identification);
// The record of a real frame (Ethernet header first): its Ethernet header,
// its IPv4 header with any options cut off (checksum made anew) and the
// first 20 bytes of what follows the options; what the frame lacks is zero.
CaptureRecord EncodeFrameRecord(std::span<const std::uint8_t> frame, std::uint32_t driverClassId,
                                Direction direction, Verdict verdict);

// The IPv6 record of a simulated packet: a fixed header without extension
// headers (hop limit 64, flow label 0) and a transport header made up as
// the IPv4 record's is.
Capture6Bytes EncodeCapture6Of(const Packet& packet, std::uint32_t driverClassId, Verdict verdict);
// The IPv6 record of a real frame (Ethernet header first): its Ethernet and
// fixed IPv6 headers, the upper protocol after the extension headers, the
// flags and the first 20 bytes of the upper-layer header; what the frame
// lacks is zero.
Capture6Bytes EncodeFrame6Record(std::span<const std::uint8_t> frame, std::uint32_t driverClassId,
                                 Direction direction, Verdict verdict);

template <typename Record>
class BasicCaptureRing {
 public:
  explicit BasicCaptureRing(std::size_t capacity = kCaptureRingCapacity) : capacity_(capacity) {}

  void Push(const Record& record) {
    if (capacity_ == 0) {
      return;
    }
    if (records_.size() >= capacity_) {
      records_.pop_front();
    }
    records_.push_back(record);
  }
  // Up to `maxRecords` whole records, oldest first, removed from the ring.
  std::vector<std::uint8_t> Take(std::size_t maxRecords = kMaxRecordsPerRead) {
    const std::size_t count = std::min(maxRecords, records_.size());
    std::vector<std::uint8_t> out;
    out.reserve(count * sizeof(Record));
    for (std::size_t i = 0; i < count; ++i) {
      out.insert(out.end(), records_.front().begin(), records_.front().end());
      records_.pop_front();
    }
    return out;
  }
  std::size_t Size() const { return records_.size(); }
  void Clear() { records_.clear(); }

 private:
  std::size_t capacity_;
  std::deque<Record> records_;
};

using CaptureRing = BasicCaptureRing<CaptureRecord>;
using Capture6Ring = BasicCaptureRing<Capture6Bytes>;

}  // namespace harlune
