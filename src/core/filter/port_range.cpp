#include "core/filter/port_range.h"

#include <algorithm>
#include <utility>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using protocol::NetToHost16;
using protocol::PortRange;

constexpr std::string_view kAllPorts = "All";
constexpr std::string_view kNoApplicationPort = "None";
constexpr std::uint32_t kMaxPort = 65535;

void AppendRange(std::string& text, const PortRange& range) {
  const std::uint16_t first = NetToHost16(range.first);
  const std::uint16_t last = NetToHost16(range.last);
  text += std::to_string(first);
  if (first != last) {
    text += '-';
    text += std::to_string(last);
  }
}

// The leading decimal number of the text as a port; 0 without digits or
// outside 0..65535.
std::uint16_t LeadingPort(std::string_view text) {
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      break;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > kMaxPort) {
      return 0;
    }
  }
  return static_cast<std::uint16_t>(value);
}

bool InRange(std::uint16_t hostPort, const PortRange& range) {
  return NetToHost16(range.first) <= hostPort && hostPort <= NetToHost16(range.last);
}

}  // namespace

std::string PortListText(std::span<const PortRange> ranges) {
  std::string text;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (i != 0) {
      text += ',';
    }
    AppendRange(text, ranges[i]);
  }
  return text;
}

std::string PortListText(std::uint32_t count, const protocol::PortRanges& ranges) {
  return PortListText(UsedPortRanges(count, ranges));
}

std::span<const PortRange> UsedPortRanges(std::uint32_t count, const protocol::PortRanges& ranges) {
  return std::span<const PortRange>(ranges).first(std::min<std::size_t>(count, ranges.size()));
}

PortRange ParsePortRange(std::string_view piece) {
  // The piece is read as the C string it once was: up to its first NUL.
  piece = piece.substr(0, std::min(piece.find('\0'), kMaxPortPieceLength));
  if (piece == kAllPorts) {
    return PortRange{0, 0};
  }
  // Whichever comes first decides: a '-' separates two ends, while a blank
  // or '(' starts a note such as "80 (web)" after a single port.
  const std::size_t stop = piece.find_first_of("- (");
  std::uint16_t first = LeadingPort(piece);
  std::uint16_t last = first;
  if (stop != std::string_view::npos && piece[stop] == '-') {
    last = LeadingPort(piece.substr(stop + 1));
  }
  if (last < first) {
    std::swap(first, last);
  }
  return PortRange{HostToNet16(first), HostToNet16(last)};
}

std::string ApplicationPortText(std::span<const std::uint16_t> appPorts,
                                std::span<const PortRange> localRanges) {
  std::string text;
  for (const std::uint16_t port : appPorts) {
    const bool kept =
        localRanges.empty() || std::any_of(localRanges.begin(), localRanges.end(),
                                           [port](const PortRange& r) { return InRange(port, r); });
    if (!kept) {
      continue;
    }
    if (!text.empty()) {
      text += ',';
    }
    text += std::to_string(port);
  }
  return text.empty() ? std::string(kNoApplicationPort) : text;
}

}  // namespace harlune
