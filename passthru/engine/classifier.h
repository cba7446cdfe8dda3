#pragma once

// Whether a class's filter record matches a packet.

#include <cstdint>
#include <span>

#include "passthru/engine/packet.h"
#include "protocol/class_family.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

// Matches an IPv4 packet when the record is available, its direction and
// protocol are the packet's, both addresses lie under their masks (mask 0 =
// any), the ports lie in the port ranges (count 0 = any; ports only count
// for TCP and UDP) and, with HasApplication 1, the local port is one of
// `applicationPorts` (host order; an empty list matches nothing).
bool RecordMatches(const _TBF_SETTING_DATA& record, std::span<const std::uint16_t> applicationPorts,
                   const Packet& packet);

// A class of both families: an IPv4 packet matches by RecordMatches when the
// class's families are not IPv6 alone; an IPv6 packet, when they are not
// IPv4 alone, by the same rules with the record's IPv4 addresses ignored and
// the class's IPv6 prefixes applied instead. An unclassified packet matches
// nothing.
bool ClassMatches(const _TBF_SETTING_DATA& record, const protocol::ClassFamily& family,
                  std::span<const std::uint16_t> applicationPorts, const Packet& packet);

// Whether a class of these families applies to packets of `packetFamily`.
bool FamilyApplies(protocol::AddressFamilies families, IpFamily packetFamily);

// Whether one packet tells the class's verdict on every packet of its flow
// (the same direction, family, protocol, addresses and ports): a whole TCP
// or UDP packet whose ports are known. Fragments and other protocols do not.
bool SpeaksForItsFlow(const Packet& packet, bool fragment);

// Whether a packet of the flow `packet` belongs to could match the class,
// as long as the class and its application ports stay as they are. True
// whenever the packet does not speak for its flow, so that the daemon lets
// only flows it is sure of leave the verdict queue.
bool CouldMatchFlow(const _TBF_SETTING_DATA& record, const protocol::ClassFamily& family,
                    std::span<const std::uint16_t> applicationPorts, const Packet& packet,
                    bool fragment);

}  // namespace harlune
