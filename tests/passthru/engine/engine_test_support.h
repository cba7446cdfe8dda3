#pragma once

// Records and packets for the engine's tests.

#include <cstdint>

#include "passthru/engine/packet.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/tbf_setting_data.h"

namespace harlune::testing {

constexpr std::uint32_t Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return protocol::HostToNet32((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                               (std::uint32_t{c} << 8) | std::uint32_t{d});
}

// A TCP send class matching everything, limited to `rate` bytes per second.
inline _TBF_SETTING_DATA AnyTcpSend(std::uint32_t rate) {
  _TBF_SETTING_DATA record;
  record.TBFRate = rate;
  record.TBFMPU = 0;
  record.TBFMode = 0;
  record.Protocol = 6;
  return record;
}

inline Packet TcpPacket(Direction direction, std::uint16_t localPort, std::uint16_t remotePort,
                        std::uint32_t length = 1000) {
  Packet packet;
  packet.direction = direction;
  packet.protocol = kProtocolTcp;
  packet.localAddress = Ipv4Address(10, 0, 0, 2);
  packet.remoteAddress = Ipv4Address(192, 0, 2, 10);
  packet.localPort = protocol::HostToNet16(localPort);
  packet.remotePort = protocol::HostToNet16(remotePort);
  packet.length = length;
  return packet;
}

// The same TCP packet between 2001:db8:0:1::2 (local) and 2001:db8::10.
inline Packet Tcp6Packet(Direction direction, std::uint16_t localPort, std::uint16_t remotePort,
                         std::uint32_t length = 1000) {
  Packet packet = TcpPacket(direction, localPort, remotePort, length);
  packet.family = IpFamily::Ipv6;
  packet.localAddress = *ParseIpAddress("2001:db8:0:1::2");
  packet.remoteAddress = *ParseIpAddress("2001:db8::10");
  return packet;
}

}  // namespace harlune::testing
