#include "passthru/engine/classifier.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

bool AddressMatches(std::uint32_t wanted, std::uint32_t mask, std::uint32_t actual) {
  // Both in network order: masking works byte for byte whatever the host.
  return (wanted & mask) == (actual & mask);
}

bool PortMatches(std::uint32_t count, const protocol::PortRanges& ranges, std::uint16_t port) {
  if (count == 0) {
    return true;
  }
  const std::size_t used = std::min<std::size_t>(count, protocol::kMaxPortRanges);
  const std::uint16_t host = protocol::NetToHost16(port);
  return std::any_of(ranges.begin(), ranges.begin() + static_cast<std::ptrdiff_t>(used),
                     [host](const protocol::PortRange& range) {
                       return protocol::NetToHost16(range.first) <= host &&
                              host <= protocol::NetToHost16(range.last);
                     });
}

// Everything of the record but its addresses.
bool RestMatches(const _TBF_SETTING_DATA& record, std::span<const std::uint16_t> applicationPorts,
                 const Packet& packet) {
  if (record.Available != 1 || record.TBFMode != static_cast<std::uint32_t>(packet.direction) ||
      record.Protocol != packet.protocol) {
    return false;
  }
  const bool hasPorts = packet.protocol == kProtocolTcp || packet.protocol == kProtocolUdp;
  if (hasPorts && (!PortMatches(record.LocalPortCount, record.LocalPorts, packet.localPort) ||
                   !PortMatches(record.RemotePortCount, record.RemotePorts, packet.remotePort))) {
    return false;
  }
  if (record.HasApplication == 1) {
    const std::uint16_t local = protocol::NetToHost16(packet.localPort);
    return hasPorts && std::find(applicationPorts.begin(), applicationPorts.end(), local) !=
                           applicationPorts.end();
  }
  return true;
}

}  // namespace

bool RecordMatches(const _TBF_SETTING_DATA& record, std::span<const std::uint16_t> applicationPorts,
                   const Packet& packet) {
  return AddressMatches(record.LocalIPAddr, record.LocalIPAddrMask,
                        packet.localAddress.Ipv4Value()) &&
         AddressMatches(record.RemoteIPAddr, record.RemoteIPAddrMask,
                        packet.remoteAddress.Ipv4Value()) &&
         RestMatches(record, applicationPorts, packet);
}

bool FamilyApplies(protocol::AddressFamilies families, IpFamily packetFamily) {
  using protocol::AddressFamilies;
  return packetFamily == IpFamily::Ipv4 ? families != AddressFamilies::kIpv6
                                        : families != AddressFamilies::kIpv4;
}

bool ClassMatches(const _TBF_SETTING_DATA& record, const protocol::ClassFamily& family,
                  std::span<const std::uint16_t> applicationPorts, const Packet& packet) {
  if (packet.unclassified || !FamilyApplies(family.families, packet.family)) {
    return false;
  }
  if (packet.family == IpFamily::Ipv4) {
    return RecordMatches(record, applicationPorts, packet);
  }
  return protocol::Ipv6PrefixMatches(family.local, packet.localAddress.Ipv6Bytes()) &&
         protocol::Ipv6PrefixMatches(family.remote, packet.remoteAddress.Ipv6Bytes()) &&
         RestMatches(record, applicationPorts, packet);
}

bool SpeaksForItsFlow(const Packet& packet, bool fragment) {
  return !fragment && !packet.unclassified &&
         (packet.protocol == kProtocolTcp || packet.protocol == kProtocolUdp);
}

bool CouldMatchFlow(const _TBF_SETTING_DATA& record, const protocol::ClassFamily& family,
                    std::span<const std::uint16_t> applicationPorts, const Packet& packet,
                    bool fragment) {
  // Every packet of a TCP or UDP flow has the flow's addresses and ports, so
  // what matches one matches them all; application ports are the class's
  // list at this moment, and the daemon judges its flows again when it changes.
  return !SpeaksForItsFlow(packet, fragment) ||
         ClassMatches(record, family, applicationPorts, packet);
}

}  // namespace harlune
