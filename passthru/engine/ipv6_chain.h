#pragma once

// Following the extension headers of an IPv6 packet to its upper layer.
// Hop-by-hop options (0), routing (43), destination options (60), mobility
// (135), HIP (139) and shim6 (140) say their length in 8-byte units after
// the first 8; AH (51) in 4-byte units after the first 8; a fragment header
// (44) is 8 bytes. ESP (50) and no next header (59) end the chain without a
// transport header the daemon could read. Every step is checked against the
// bytes there are, so a truncated packet ends the walk, never overruns it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace harlune {

inline constexpr std::uint8_t kIpv6NoNextHeader = 59;
inline constexpr std::uint8_t kIpv6FragmentHeader = 44;
// More are not followed: no real packet has them, and the walk stays short.
inline constexpr int kMaxIpv6ExtensionHeaders = 16;

struct Ipv6Fragment {
  std::uint32_t identification = 0;
  std::uint16_t offset = 0;  // in 8-byte units
  bool more = false;
};

struct Ipv6Chain {
  // The upper-layer protocol; 59 when the chain could not be followed.
  std::uint8_t upperProtocol = kIpv6NoNextHeader;
  // Where the upper-layer header starts, from the IPv6 header's start; 0
  // when there is none to read (ESP, no next header, a later fragment, a
  // chain cut short).
  std::size_t transportOffset = 0;
  bool extensionHeaders = false;
  // Bytes of extension headers before the fragment header (or all of them
  // when there is none): what a fragment repeats.
  std::size_t unfragmentableBytes = 0;
  std::optional<Ipv6Fragment> fragment;

  bool LaterFragment() const { return fragment && fragment->offset != 0; }
};

// Whether `ip` holds a whole fixed IPv6 header (version 6).
bool IsIpv6Header(std::span<const std::uint8_t> ip);
// Nothing unless IsIpv6Header.
std::optional<Ipv6Chain> WalkIpv6Chain(std::span<const std::uint8_t> ip);

}  // namespace harlune
