#include "core/capture/packet_info.h"

#include <algorithm>
#include <ctime>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

using Header = std::array<std::uint8_t, kFrameHeaderSize>;

std::uint16_t LoadBe16(const Header& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint32_t LoadBe32(const Header& bytes, std::size_t offset) {
  return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
         (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
}

MacAddress LoadMac(const Header& bytes, std::size_t offset) {
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

MacAddress PacketInfo::DestinationMac() const {
  return LoadMac(FrameHeader, frame_offset::kDestinationMac);
}

MacAddress PacketInfo::SourceMac() const { return LoadMac(FrameHeader, frame_offset::kSourceMac); }

std::uint16_t PacketInfo::EtherType() const {
  return LoadBe16(FrameHeader, frame_offset::kEtherType);
}

std::uint16_t PacketInfo::TotalLength() const {
  return LoadBe16(FrameHeader, frame_offset::kTotalLength);
}

std::uint16_t PacketInfo::Identification() const {
  return LoadBe16(FrameHeader, frame_offset::kIdentification);
}

std::uint8_t PacketInfo::Ttl() const { return FrameHeader[frame_offset::kTtl]; }

std::uint8_t PacketInfo::ProtocolNumber() const { return FrameHeader[frame_offset::kProtocol]; }

std::uint32_t PacketInfo::SourceAddress() const {
  return protocol::LoadRaw<std::uint32_t>(FrameHeader, frame_offset::kSourceAddress);
}

std::uint32_t PacketInfo::DestinationAddress() const {
  return protocol::LoadRaw<std::uint32_t>(FrameHeader, frame_offset::kDestinationAddress);
}

std::uint16_t PacketInfo::SourcePort() const {
  return LoadBe16(FrameHeader, frame_offset::kSourcePort);
}

std::uint16_t PacketInfo::DestinationPort() const {
  return LoadBe16(FrameHeader, frame_offset::kDestinationPort);
}

std::uint32_t PacketInfo::SequenceNumber() const {
  return LoadBe32(FrameHeader, frame_offset::kSequenceNumber);
}

std::uint32_t PacketInfo::AcknowledgementNumber() const {
  return LoadBe32(FrameHeader, frame_offset::kAcknowledgementNumber);
}

std::uint8_t PacketInfo::TcpFlags() const { return FrameHeader[frame_offset::kTcpFlags]; }

std::uint16_t PacketInfo::Window() const { return LoadBe16(FrameHeader, frame_offset::kWindow); }

bool PacketInfo::HasPorts() const {
  const std::uint8_t number = ProtocolNumber();
  return number == kIpProtocolTcp || number == kIpProtocolUdp;
}

std::int64_t SystemCaptureClock() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace harlune
