#include "core/capture/packet_info.h"

#include <algorithm>
#include <ctime>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Offsets inside the 20 transport bytes, the same for both families.
constexpr std::size_t kSourcePort = 0;
constexpr std::size_t kDestinationPort = 2;
constexpr std::size_t kSequenceNumber = 4;
constexpr std::size_t kAcknowledgementNumber = 8;
constexpr std::size_t kTcpFlags = 13;
constexpr std::size_t kWindow = 14;
static_assert(frame_offset::kTransportHeader + kWindow == frame_offset::kWindow);
static_assert(frame_offset::kTransportHeader + kTcpFlags == frame_offset::kTcpFlags);

MacAddress LoadMac(Bytes bytes, std::size_t offset) {
  MacAddress mac{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), mac.size(), mac.begin());
  return mac;
}

}  // namespace

PacketInfo PacketInfo::FromRecord(CaptureRecord record, std::int64_t captureTime) {
  PacketInfo packet;
  std::copy_n(record.begin() + kFrameHeaderRecordOffset, kFrameHeaderSize,
              packet.FrameHeader.begin());
  packet.CaptureTime = captureTime;
  return packet;
}

std::optional<PacketInfo> PacketInfo::FromRecord6(std::span<const std::uint8_t> record,
                                                  std::int64_t captureTime) {
  std::optional<protocol::Capture6Record> decoded = protocol::DecodeCapture6Record(record);
  if (!decoded) {
    return std::nullopt;
  }
  PacketInfo packet;
  packet.Ipv6 = std::move(decoded);
  packet.CaptureTime = captureTime;
  return packet;
}

MacAddress PacketInfo::DestinationMac() const {
  return Ipv6 ? Ipv6->destinationMac : LoadMac(FrameHeader, frame_offset::kDestinationMac);
}

MacAddress PacketInfo::SourceMac() const {
  return Ipv6 ? Ipv6->sourceMac : LoadMac(FrameHeader, frame_offset::kSourceMac);
}

std::uint16_t PacketInfo::EtherType() const {
  return Ipv6 ? protocol::kEtherTypeIpv6
              : protocol::LoadBe16(FrameHeader, frame_offset::kEtherType);
}

std::uint16_t PacketInfo::TotalLength() const {
  return Ipv6 ? 0 : protocol::LoadBe16(FrameHeader, frame_offset::kTotalLength);
}

std::uint16_t PacketInfo::Identification() const {
  return Ipv6 ? 0 : protocol::LoadBe16(FrameHeader, frame_offset::kIdentification);
}

std::uint32_t PacketInfo::FlowLabel() const { return Ipv6 ? Ipv6->flowLabel : 0; }

std::uint8_t PacketInfo::TrafficClass() const { return Ipv6 ? Ipv6->trafficClass : 0; }

std::uint8_t PacketInfo::Ttl() const {
  return Ipv6 ? Ipv6->hopLimit : FrameHeader[frame_offset::kTtl];
}

std::uint8_t PacketInfo::ProtocolNumber() const {
  return Ipv6 ? Ipv6->upperProtocol : FrameHeader[frame_offset::kProtocol];
}

IpAddress PacketInfo::SourceAddress() const {
  if (Ipv6) {
    return IpAddress::FromIpv6(Ipv6->source);
  }
  return IpAddress::FromIpv4(
      protocol::LoadRaw<std::uint32_t>(FrameHeader, frame_offset::kSourceAddress));
}

IpAddress PacketInfo::DestinationAddress() const {
  if (Ipv6) {
    return IpAddress::FromIpv6(Ipv6->destination);
  }
  return IpAddress::FromIpv4(
      protocol::LoadRaw<std::uint32_t>(FrameHeader, frame_offset::kDestinationAddress));
}

std::uint32_t PacketInfo::PacketLength() const {
  if (Ipv6) {
    return kEthernetHeaderBytes + kIpv6HeaderBytes + Ipv6->payloadLength;
  }
  return kEthernetHeaderBytes + TotalLength();
}

bool PacketInfo::IsLaterFragment() const {
  return Ipv6 && (Ipv6->flags & protocol::kCapture6LaterFragment) != 0;
}

bool PacketInfo::HasExtensionHeaders() const {
  return Ipv6 && (Ipv6->flags & protocol::kCapture6ExtensionHeaders) != 0;
}

std::span<const std::uint8_t, 20> PacketInfo::Transport() const {
  if (Ipv6) {
    return std::span<const std::uint8_t, 20>(Ipv6->transportHeader);
  }
  return std::span<const std::uint8_t>(FrameHeader).subspan<frame_offset::kTransportHeader, 20>();
}

std::uint16_t PacketInfo::SourcePort() const {
  return protocol::LoadBe16(Transport(), kSourcePort);
}

std::uint16_t PacketInfo::DestinationPort() const {
  return protocol::LoadBe16(Transport(), kDestinationPort);
}

std::uint32_t PacketInfo::SequenceNumber() const {
  return protocol::LoadBe32(Transport(), kSequenceNumber);
}

std::uint32_t PacketInfo::AcknowledgementNumber() const {
  return protocol::LoadBe32(Transport(), kAcknowledgementNumber);
}

std::uint8_t PacketInfo::TcpFlags() const { return Transport()[kTcpFlags]; }

std::uint16_t PacketInfo::Window() const { return protocol::LoadBe16(Transport(), kWindow); }

bool PacketInfo::HasPorts() const {
  const std::uint8_t number = ProtocolNumber();
  return (number == kIpProtocolTcp || number == kIpProtocolUdp) && HasTransportHeader();
}

std::int64_t SystemCaptureClock() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace harlune
