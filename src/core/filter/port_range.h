#pragma once

// Text forms of port ranges: the list shown for a filter ("80,443,1000-2000"),
// one range read from a piece of text, and the application ports of a filter
// that fall inside its local ranges.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "protocol/tbf_setting_data.h"

namespace harlune {

// A piece of text longer than this is read only up to this many characters.
inline constexpr std::size_t kMaxPortPieceLength = 63;

// The text of the ranges, joined by ",": a single port as "80", a range as
// "1000-2000", in host order. No ranges give the empty text.
std::string PortListText(std::span<const protocol::PortRange> ranges);

// The same for the first `count` ranges of a record's array (a count above
// the array's size is taken as the size).
std::string PortListText(std::uint32_t count, const protocol::PortRanges& ranges);

// The ranges of a record's array that its count says are used, the count
// clamped to the array's size.
std::span<const protocol::PortRange> UsedPortRanges(std::uint32_t count,
                                                    const protocol::PortRanges& ranges);

// One range of a piece such as "80", "1000-2000", "80 (http)" or "All" (which
// is 0-0). Each end is the piece's leading decimal number (0 when there are no
// digits, or when the number lies outside 0..65535); ends given in the wrong
// order are swapped. Both ends of the result are in network order.
protocol::PortRange ParsePortRange(std::string_view piece);

// The host-order ports of `appPorts` that lie in any of `localRanges`
// (network order), or all of them when there are no local ranges, written as
// "80,1500". "None" when no port is kept.
std::string ApplicationPortText(std::span<const std::uint16_t> appPorts,
                                std::span<const protocol::PortRange> localRanges);

}  // namespace harlune
