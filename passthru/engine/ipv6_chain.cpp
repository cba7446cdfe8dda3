#include "passthru/engine/ipv6_chain.h"

#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kFixedHeaderSize = 40;
constexpr std::uint8_t kEsp = 50;
constexpr std::uint8_t kAuthentication = 51;

bool IsLengthedOptionHeader(std::uint8_t next) {
  return next == 0 || next == 43 || next == 60 || next == 135 || next == 139 || next == 140;
}

// The size of the extension header at `offset`, or 0 when it is not all
// there.
std::size_t ExtensionSize(std::span<const std::uint8_t> ip, std::size_t offset, std::uint8_t kind) {
  if (offset + 8 > ip.size()) {
    return 0;
  }
  const std::size_t size = kind == kIpv6FragmentHeader ? 8
                           : kind == kAuthentication   ? (std::size_t{ip[offset + 1]} + 2) * 4
                                                       : (std::size_t{ip[offset + 1]} + 1) * 8;
  return offset + size <= ip.size() ? size : 0;
}

}  // namespace

bool IsIpv6Header(std::span<const std::uint8_t> ip) {
  return ip.size() >= kFixedHeaderSize && (ip[0] >> 4) == 6;
}

std::optional<Ipv6Chain> WalkIpv6Chain(std::span<const std::uint8_t> ip) {
  if (!IsIpv6Header(ip)) {
    return std::nullopt;
  }
  Ipv6Chain chain;
  std::uint8_t next = ip[6];
  std::size_t offset = kFixedHeaderSize;
  for (int step = 0; step <= kMaxIpv6ExtensionHeaders; ++step) {
    const bool extension =
        IsLengthedOptionHeader(next) || next == kIpv6FragmentHeader || next == kAuthentication;
    if (!extension) {
      chain.upperProtocol = next;
      chain.transportOffset = next == kEsp || next == kIpv6NoNextHeader ? 0 : offset;
      break;
    }
    if (step == kMaxIpv6ExtensionHeaders) {
      break;  // too long a chain: the upper layer stays unknown
    }
    const std::size_t size = ExtensionSize(ip, offset, next);
    if (size == 0) {
      break;  // cut short
    }
    chain.extensionHeaders = true;
    if (next == kIpv6FragmentHeader) {
      const std::uint16_t field = protocol::LoadBe16(ip, offset + 2);
      chain.fragment = Ipv6Fragment{protocol::LoadBe32(ip, offset + 4),
                                    static_cast<std::uint16_t>(field >> 3), (field & 1u) != 0};
    } else if (!chain.fragment) {
      chain.unfragmentableBytes = offset + size - kFixedHeaderSize;
    }
    next = ip[offset];
    offset += size;
    if (chain.LaterFragment()) {
      // What follows is the middle of the original packet, not a header.
      chain.upperProtocol = next;
      break;
    }
  }
  return chain;
}

}  // namespace harlune
