#pragma once

// Whether a class's filter record matches a packet.

#include <cstdint>
#include <span>

#include "passthru/engine/packet.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

// Matches when the record is available, its direction and protocol are the
// packet's, both addresses lie under their masks (mask 0 = any), the ports
// lie in the port ranges (count 0 = any; ports only count for TCP and UDP)
// and, with HasApplication 1, the local port is one of `applicationPorts`
// (host order; an empty list matches nothing).
bool RecordMatches(const _TBF_SETTING_DATA& record, std::span<const std::uint16_t> applicationPorts,
                   const Packet& packet);

}  // namespace harlune
