#pragma once

// The 200-byte filter record that the driver receives as it stands.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/byte_order.h"

namespace harlune::protocol {

// A range of ports, both ends in network byte order, first <= last.
struct PortRange {
  std::uint16_t first = 0;
  std::uint16_t last = 0;

  bool operator==(const PortRange&) const = default;
};

// The range first..last given in host order.
constexpr PortRange HostPortRange(std::uint16_t first, std::uint16_t last) {
  return PortRange{HostToNet16(first), HostToNet16(last)};
}

inline constexpr std::size_t kMaxPortRanges = 16;
using PortRanges = std::array<PortRange, kMaxPortRanges>;

}  // namespace harlune::protocol

// The record keeps the driver's own name and field names.
// NOLINTNEXTLINE(bugprone-reserved-identifier,readability-identifier-naming)
struct _TBF_SETTING_DATA {
  std::uint32_t TBFMaxQueueSize = 0;
  std::uint32_t TBFMaxTokenSize = 0;
  std::uint32_t TBFMPU = 100;
  std::uint32_t TBFRate = 102400;  // bytes per second
  std::uint32_t TBFPeakRate = 0;
  std::uint32_t TBFMTU = 0;
  std::uint8_t TBFThrough = 0;
  std::uint32_t TBFMode = 0;  // 0 send, 1 receive
  std::uint32_t DriverClassId = 0;
  std::uint16_t Protocol = 6;
  std::uint32_t LocalIPAddr = 0;  // network order, as are the next three
  std::uint32_t RemoteIPAddr = 0;
  std::uint32_t LocalIPAddrMask = 0;
  std::uint32_t RemoteIPAddrMask = 0;
  std::uint32_t LocalPortCount = 0;
  std::uint32_t RemotePortCount = 0;
  harlune::protocol::PortRanges LocalPorts{};
  harlune::protocol::PortRanges RemotePorts{};
  std::uint32_t HasApplication = 0;
  std::uint32_t Available = 1;

  bool operator==(const _TBF_SETTING_DATA&) const = default;
};

namespace harlune::protocol {

inline constexpr std::size_t kTbfSettingDataSize = 200;

// Byte offsets of the record's fields.
namespace tbf_offset {
inline constexpr std::size_t kMaxQueueSize = 0;
inline constexpr std::size_t kMaxTokenSize = 4;
inline constexpr std::size_t kMpu = 8;
inline constexpr std::size_t kRate = 12;
inline constexpr std::size_t kPeakRate = 16;
inline constexpr std::size_t kMtu = 20;
inline constexpr std::size_t kThrough = 24;  // u8, then 3 bytes padding
inline constexpr std::size_t kMode = 28;
inline constexpr std::size_t kDriverClassId = 32;
inline constexpr std::size_t kProtocol = 36;  // u16, then 2 bytes padding
inline constexpr std::size_t kLocalIpAddr = 40;
inline constexpr std::size_t kRemoteIpAddr = 44;
inline constexpr std::size_t kLocalIpAddrMask = 48;
inline constexpr std::size_t kRemoteIpAddrMask = 52;
inline constexpr std::size_t kLocalPortCount = 56;
inline constexpr std::size_t kRemotePortCount = 60;
inline constexpr std::size_t kLocalPorts = 64;
inline constexpr std::size_t kRemotePorts = 128;
inline constexpr std::size_t kHasApplication = 192;
inline constexpr std::size_t kAvailable = 196;
}  // namespace tbf_offset

inline constexpr std::size_t kPortRangeSize = 4;
inline constexpr std::size_t kPortRangesSize = kMaxPortRanges * kPortRangeSize;

// The layout is contiguous: every field starts where the one before it ends
// (with the stated padding), and the last one ends at byte 200.
static_assert(tbf_offset::kThrough + 1 + 3 == tbf_offset::kMode);
static_assert(tbf_offset::kProtocol + 2 + 2 == tbf_offset::kLocalIpAddr);
static_assert(tbf_offset::kLocalPorts + kPortRangesSize == tbf_offset::kRemotePorts);
static_assert(tbf_offset::kRemotePorts + kPortRangesSize == tbf_offset::kHasApplication);
static_assert(tbf_offset::kAvailable + 4 == kTbfSettingDataSize);

using TbfSettingBytes = std::array<std::uint8_t, kTbfSettingDataSize>;

TbfSettingBytes EncodeTbfSettingData(const _TBF_SETTING_DATA& record);

// Decodes exactly kTbfSettingDataSize bytes; padding is ignored. Port counts
// are taken as they are: a reader that trusts them must clamp them to 16.
_TBF_SETTING_DATA DecodeTbfSettingData(std::span<const std::uint8_t, kTbfSettingDataSize> bytes);

}  // namespace harlune::protocol
