#include "protocol/class_family.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

constexpr std::size_t kFamiliesOffset = 4;
constexpr std::size_t kLocalLengthOffset = 5;
constexpr std::size_t kRemoteLengthOffset = 6;
constexpr std::size_t kReservedOffset = 7;
constexpr std::size_t kLocalAddressOffset = 8;
constexpr std::size_t kRemoteAddressOffset = 24;
static_assert(kRemoteAddressOffset + 16 == kClassFamilySize);

IpAddress::Bytes16 LoadAddress(std::span<const std::uint8_t> bytes, std::size_t offset) {
  IpAddress::Bytes16 address{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), address.size(), address.begin());
  return address;
}

}  // namespace

std::array<std::uint8_t, kClassFamilySize> EncodeClassFamily(const ClassFamily& family) {
  std::array<std::uint8_t, kClassFamilySize> bytes{};
  StoreLe32(bytes, 0, family.driverClassId);
  bytes[kFamiliesOffset] = static_cast<std::uint8_t>(family.families);
  bytes[kLocalLengthOffset] = family.local.length;
  bytes[kRemoteLengthOffset] = family.remote.length;
  std::copy(family.local.address.begin(), family.local.address.end(),
            bytes.begin() + kLocalAddressOffset);
  std::copy(family.remote.address.begin(), family.remote.address.end(),
            bytes.begin() + kRemoteAddressOffset);
  return bytes;
}

std::optional<ClassFamily> DecodeClassFamily(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kClassFamilySize ||
      bytes[kFamiliesOffset] > static_cast<std::uint8_t>(AddressFamilies::kIpv6) ||
      bytes[kLocalLengthOffset] > kMaxIpv6PrefixLength ||
      bytes[kRemoteLengthOffset] > kMaxIpv6PrefixLength || bytes[kReservedOffset] != 0) {
    return std::nullopt;
  }
  ClassFamily family;
  family.driverClassId = LoadLe32(bytes, 0);
  family.families = static_cast<AddressFamilies>(bytes[kFamiliesOffset]);
  family.local = {LoadAddress(bytes, kLocalAddressOffset), bytes[kLocalLengthOffset]};
  family.remote = {LoadAddress(bytes, kRemoteAddressOffset), bytes[kRemoteLengthOffset]};
  return family;
}

AddressFamilies DefaultFamiliesOf(const _TBF_SETTING_DATA& record) {
  return record.LocalIPAddrMask == 0 && record.RemoteIPAddrMask == 0 ? AddressFamilies::kBoth
                                                                     : AddressFamilies::kIpv4;
}

bool Ipv6PrefixMatches(const Ipv6Prefix& prefix, const IpAddress::Bytes16& address) {
  const std::size_t length = std::min<std::size_t>(prefix.length, kMaxIpv6PrefixLength);
  const std::size_t whole = length / 8;
  if (!std::equal(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(whole),
                  prefix.address.begin())) {
    return false;
  }
  const std::size_t rest = length % 8;
  if (rest == 0) {
    return true;
  }
  const auto mask = static_cast<std::uint8_t>(0xFFu << (8 - rest));
  return (address[whole] & mask) == (prefix.address[whole] & mask);
}

}  // namespace harlune::protocol
