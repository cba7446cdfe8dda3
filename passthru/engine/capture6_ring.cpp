// The IPv6 capture records of the engine's packets and of real frames.

#include <algorithm>

#include "passthru/engine/capture_ring.h"
#include "passthru/engine/ipv6_chain.h"
#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kEthernetSize = 14;
constexpr std::size_t kTransportBytes = 20;

// The made-up transport header of an engine packet, as the IPv4 record has
// it: ports, and TCP with five words and ACK or UDP with its length.
std::array<std::uint8_t, kTransportBytes> TransportOf(const Packet& packet) {
  std::array<std::uint8_t, kTransportBytes> header{};
  if (packet.protocol != kProtocolTcp && packet.protocol != kProtocolUdp) {
    return header;
  }
  protocol::Bytes bytes(header);
  const bool sending = packet.direction == Direction::Send;
  protocol::StoreRaw(bytes, 0, sending ? packet.localPort : packet.remotePort);
  protocol::StoreRaw(bytes, 2, sending ? packet.remotePort : packet.localPort);
  if (packet.protocol == kProtocolTcp) {
    header[12] = 0x50;
    header[13] = 0x10;
    protocol::StoreRaw(bytes, 14, protocol::HostToNet16(0xFFFF));
  } else {
    const std::uint32_t udpLength =
        packet.length > kIpv6HeaderSize ? packet.length - kIpv6HeaderSize : 0;
    protocol::StoreRaw(bytes, 4,
                       protocol::HostToNet16(
                           static_cast<std::uint16_t>(std::min<std::uint32_t>(udpLength, 0xFFFF))));
  }
  return header;
}

}  // namespace

Capture6Bytes EncodeCapture6Of(const Packet& packet, std::uint32_t driverClassId, Verdict verdict) {
  const bool sending = packet.direction == Direction::Send;
  protocol::Capture6Record record;
  record.driverClassId = driverClassId;
  record.destinationMac = sending ? packet.remoteMac : packet.localMac;
  record.sourceMac = sending ? packet.localMac : packet.remoteMac;
  const std::uint32_t payload =
      packet.length > kIpv6HeaderSize ? packet.length - kIpv6HeaderSize : 0;
  record.payloadLength = static_cast<std::uint16_t>(std::min<std::uint32_t>(payload, 0xFFFF));
  record.nextHeader = packet.protocol;
  record.hopLimit = 64;
  record.source = (sending ? packet.localAddress : packet.remoteAddress).Ipv6Bytes();
  record.destination = (sending ? packet.remoteAddress : packet.localAddress).Ipv6Bytes();
  record.upperProtocol = packet.protocol;
  record.transportHeader = TransportOf(packet);
  record.direction = static_cast<std::uint8_t>(packet.direction);
  record.verdict = static_cast<std::uint8_t>(verdict);
  return protocol::EncodeCapture6Record(record);
}

Capture6Bytes EncodeFrame6Record(std::span<const std::uint8_t> frame, std::uint32_t driverClassId,
                                 Direction direction, Verdict verdict) {
  protocol::Capture6Record record;
  record.driverClassId = driverClassId;
  record.direction = static_cast<std::uint8_t>(direction);
  record.verdict = static_cast<std::uint8_t>(verdict);
  if (frame.size() >= kEthernetSize) {
    std::copy_n(frame.begin(), 6, record.destinationMac.begin());
    std::copy_n(frame.begin() + 6, 6, record.sourceMac.begin());
  }
  const auto ip =
      frame.size() > kEthernetSize ? frame.subspan(kEthernetSize) : std::span<const std::uint8_t>{};
  const std::optional<Ipv6Chain> chain = WalkIpv6Chain(ip);
  if (!chain) {
    return protocol::EncodeCapture6Record(record);  // no IPv6 header to copy
  }
  const std::uint32_t first =
      (std::uint32_t{protocol::LoadBe16(ip, 0)} << 16) | protocol::LoadBe16(ip, 2);
  record.trafficClass = static_cast<std::uint8_t>(first >> 20);
  record.flowLabel = first & 0xFFFFFu;
  record.payloadLength = protocol::LoadBe16(ip, 4);
  record.nextHeader = ip[6];
  record.hopLimit = ip[7];
  std::copy_n(ip.begin() + 8, 16, record.source.begin());
  std::copy_n(ip.begin() + 24, 16, record.destination.begin());
  record.upperProtocol = chain->upperProtocol;
  record.flags = static_cast<std::uint8_t>(
      (chain->LaterFragment() ? protocol::kCapture6LaterFragment : 0) |
      (chain->extensionHeaders ? protocol::kCapture6ExtensionHeaders : 0));
  if (chain->transportOffset != 0) {
    const std::size_t available = std::min(kTransportBytes, ip.size() - chain->transportOffset);
    std::copy_n(ip.begin() + static_cast<std::ptrdiff_t>(chain->transportOffset), available,
                record.transportHeader.begin());
  }
  return protocol::EncodeCapture6Record(record);
}

}  // namespace harlune
