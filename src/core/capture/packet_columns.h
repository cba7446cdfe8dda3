#pragma once

// The columns of the packet lists and the text of every cell. The TCP view
// shows packets of every protocol in 16 columns; the UDP view shows 12
// columns and takes every packet for UDP without looking at its protocol.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/capture/packet_info.h"

namespace harlune {

enum class PacketView {
  kTcp,
  kUdp,
};

inline constexpr std::size_t kTcpViewColumnCount = 16;
inline constexpr std::size_t kUdpViewColumnCount = 12;

// The columns in creation order; the UDP view has the first twelve.
enum class PacketColumn : std::size_t {
  kSerial = 0,
  kCaptureTime,
  kSourceMac,
  kDestinationMac,
  kProtocol,
  kPacketLength,
  kIdentification,
  kTtl,
  kSourceAddress,
  kDestinationAddress,
  kSourcePort,
  kDestinationPort,
  kSequenceNumber,
  kAcknowledgementNumber,
  kTcpFlags,
  kWindow,
};

struct PacketColumnInfo {
  std::string_view heading;
  bool alignRight = false;
};

std::size_t PacketColumnCount(PacketView view);

// Heading and alignment; an empty heading for a column the view lacks.
PacketColumnInfo PacketColumnOf(PacketView view, std::size_t column);

// "ICMP", "TCP", "UDP", and for an IPv6 packet "ICMPv6" (58), otherwise
// "その他".
std::string_view IpProtocolName(std::uint8_t protocolNumber, bool ipv6 = false);

// The set flags among URG, ACK, PSH, RST, SYN, FIN in that order, joined by
// ","; the two high bits are not shown.
std::string TcpFlagText(std::uint8_t flags);

// The text of one cell; empty for a column that does not apply to the
// packet's protocol and for a column the view lacks. An IPv6 packet fills
// the columns of IPv4's header with what stands for them: its flow label as
// "IP識別子" (always the number, 0 included, as an IPv4 identification of 0
// is shown), its hop limit as "TTL", the fixed header and payload as the
// IP part of "パケット長", and RFC 5952 addresses. A later fragment has no
// port or TCP cells: its record holds no transport header.
std::string PacketCellText(PacketView view, std::size_t column, const PacketEntry& entry);

// Every cell of a row, in column order.
std::vector<std::string> PacketRowTexts(PacketView view, const PacketEntry& entry);

}  // namespace harlune
