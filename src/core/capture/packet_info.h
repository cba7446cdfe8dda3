#pragma once

// One captured packet as the packet monitor keeps it: the frame's Ethernet,
// IP and transport headers taken from the driver's capture record (the
// 60-byte IPv4 one or the 84-byte IPv6 one), and the time the program read
// it. The All and Unmatched lists share one PacketInfo through shared
// pointers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "protocol/capture6_record.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"

namespace harlune {

// The frame headers lie at record bytes 4..57; the first four and the last
// two bytes of a record are not the monitor's.
inline constexpr std::size_t kFrameHeaderRecordOffset = 4;
inline constexpr std::size_t kFrameHeaderSize = 54;
static_assert(kFrameHeaderRecordOffset + kFrameHeaderSize + 2 == protocol::kCaptureRecordSize);

// Offsets inside the frame header copy (record offset minus 4). Multi-byte
// fields are in network byte order.
namespace frame_offset {
inline constexpr std::size_t kDestinationMac = 0;  // 6 bytes
inline constexpr std::size_t kSourceMac = 6;       // 6 bytes
inline constexpr std::size_t kEtherType = 12;
inline constexpr std::size_t kIpHeader = 14;  // 20 bytes, options never looked at
inline constexpr std::size_t kTotalLength = 16;
inline constexpr std::size_t kIdentification = 18;
inline constexpr std::size_t kTtl = 22;
inline constexpr std::size_t kProtocol = 23;
inline constexpr std::size_t kSourceAddress = 26;
inline constexpr std::size_t kDestinationAddress = 30;
// The transport header is taken here whatever the IP header length says.
inline constexpr std::size_t kTransportHeader = 34;  // 20 bytes
inline constexpr std::size_t kSourcePort = 34;
inline constexpr std::size_t kDestinationPort = 36;
inline constexpr std::size_t kSequenceNumber = 38;
inline constexpr std::size_t kAcknowledgementNumber = 42;
inline constexpr std::size_t kTcpFlags = 47;
inline constexpr std::size_t kWindow = 48;
}  // namespace frame_offset

static_assert(frame_offset::kSourceMac + 6 + 2 == frame_offset::kIpHeader);
static_assert(frame_offset::kIpHeader + 20 == frame_offset::kTransportHeader);
static_assert(frame_offset::kTransportHeader + 20 == kFrameHeaderSize);
static_assert(frame_offset::kWindow + 2 <= kFrameHeaderSize);

inline constexpr std::uint8_t kIpProtocolIcmp = 1;
inline constexpr std::uint8_t kIpProtocolTcp = 6;
inline constexpr std::uint8_t kIpProtocolUdp = 17;
inline constexpr std::uint8_t kIpProtocolIcmpv6 = 58;

// Added to the IP total length for the packet length column: the Ethernet
// header.
inline constexpr std::uint32_t kEthernetHeaderBytes = 14;
// The fixed IPv6 header, which its payload length leaves out.
inline constexpr std::uint32_t kIpv6HeaderBytes = 40;

using MacAddress = std::array<std::uint8_t, 6>;
using CaptureRecord = std::span<const std::uint8_t, protocol::kCaptureRecordSize>;

class PacketInfo {
 public:
  PacketInfo() = default;
  PacketInfo(const PacketInfo&) = default;
  PacketInfo& operator=(const PacketInfo&) = default;
  virtual ~PacketInfo() = default;

  // The frame header bytes of one IPv4 capture record, read at `captureTime`.
  static PacketInfo FromRecord(CaptureRecord record, std::int64_t captureTime);
  // One IPv6 capture record (84 bytes); nothing for bytes that are not one,
  // so that a damaged read shows no row rather than a wrong one.
  static std::optional<PacketInfo> FromRecord6(std::span<const std::uint8_t> record,
                                               std::int64_t captureTime);

  bool IsIpv6() const { return Ipv6.has_value(); }

  MacAddress DestinationMac() const;
  MacAddress SourceMac() const;
  // Host order from here on.
  std::uint16_t EtherType() const;
  // IPv4 header fields; 0 for an IPv6 packet, whose header has none.
  std::uint16_t TotalLength() const;
  std::uint16_t Identification() const;
  // IPv6 header fields; 0 for an IPv4 packet.
  std::uint32_t FlowLabel() const;
  std::uint8_t TrafficClass() const;
  // The TTL, or the hop limit of an IPv6 packet.
  std::uint8_t Ttl() const;
  // The upper-layer protocol: IPv4's protocol field, or the next header
  // after an IPv6 packet's extension headers.
  std::uint8_t ProtocolNumber() const;
  IpAddress SourceAddress() const;
  IpAddress DestinationAddress() const;
  // The frame as it was on the wire: Ethernet header plus IP packet.
  std::uint32_t PacketLength() const;
  // An IPv6 fragment after the first, which carries no transport header.
  // IPv4 fragments are not told apart: the IPv4 record is read as it
  // always was.
  bool IsLaterFragment() const;
  // IPv6 extension headers came before the upper layer.
  bool HasExtensionHeaders() const;

  // Meaningful for TCP and UDP packets only.
  std::uint16_t SourcePort() const;
  std::uint16_t DestinationPort() const;
  // Meaningful for TCP packets only.
  std::uint32_t SequenceNumber() const;
  std::uint32_t AcknowledgementNumber() const;
  std::uint8_t TcpFlags() const;
  std::uint16_t Window() const;

  // Whether the record holds the upper layer's first bytes at all.
  bool HasTransportHeader() const { return !IsLaterFragment(); }
  // A TCP or UDP packet whose transport header is there.
  bool HasPorts() const;

  // Verbatim copy of an IPv4 record's bytes 4..57, network byte order; zero
  // for an IPv6 packet.
  std::array<std::uint8_t, kFrameHeaderSize> FrameHeader{};
  // The decoded record of an IPv6 packet; none for an IPv4 one.
  std::optional<protocol::Capture6Record> Ipv6;
  // Seconds since 1970 (UTC) when the program read the record.
  std::int64_t CaptureTime = 0;

 private:
  // The first 20 bytes of the upper-layer header as the record holds them.
  std::span<const std::uint8_t, 20> Transport() const;
};

// One packet in a list's store; Serial is the list's running number.
struct PacketEntry {
  std::uint32_t Serial = 0;
  std::shared_ptr<const PacketInfo> Packet;
};

// Seconds since 1970; tests inject their own.
using CaptureClock = std::function<std::int64_t()>;
std::int64_t SystemCaptureClock();

}  // namespace harlune
