#pragma once

// Which address families a class applies to, and its IPv6 addresses: the
// input of HlSetTBFClassFamily, which follows HlAddTBFClass and
// HlModifyTBFClass. The 200-byte record holds IPv4 addresses only, so a
// driver that is given the record alone applies a class to both families
// when both of its IPv4 masks are 0 (any address) and to IPv4 alone
// otherwise; this request says anything else.
//
// Layout (40 bytes, little-endian unless stated):
//   0  u32  DriverClassId
//   4  u8   families: 0 both, 1 IPv4 only, 2 IPv6 only
//   5  u8   local prefix length, 0..128 (0 = any local address)
//   6  u8   remote prefix length, 0..128 (0 = any remote address)
//   7  u8   0
//   8  16 bytes  local IPv6 address, network order
//   24 16 bytes  remote IPv6 address, network order

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/ip_address.h"
#include "protocol/tbf_setting_data.h"

namespace harlune::protocol {

enum class AddressFamilies : std::uint8_t {
  kBoth = 0,
  kIpv4 = 1,
  kIpv6 = 2,
};

inline constexpr std::size_t kClassFamilySize = 40;
inline constexpr std::uint8_t kMaxIpv6PrefixLength = 128;

// An IPv6 address and how many of its leading bits must match; length 0
// matches every address.
struct Ipv6Prefix {
  IpAddress::Bytes16 address{};
  std::uint8_t length = 0;

  bool operator==(const Ipv6Prefix&) const = default;
};

struct ClassFamily {
  std::uint32_t driverClassId = 0;
  AddressFamilies families = AddressFamilies::kBoth;
  Ipv6Prefix local;
  Ipv6Prefix remote;

  bool operator==(const ClassFamily&) const = default;
};

std::array<std::uint8_t, kClassFamilySize> EncodeClassFamily(const ClassFamily& family);
// Nothing unless exactly 40 bytes with families 0..2, prefix lengths up to
// 128 and a zero byte 7.
std::optional<ClassFamily> DecodeClassFamily(std::span<const std::uint8_t> bytes);

// The families a driver gives a class that it has only the record of.
AddressFamilies DefaultFamiliesOf(const _TBF_SETTING_DATA& record);

// Whether the first `prefix.length` bits of `address` are the prefix's.
bool Ipv6PrefixMatches(const Ipv6Prefix& prefix, const IpAddress::Bytes16& address);

}  // namespace harlune::protocol
