#pragma once

// The filter record: the 200-byte record that the driver receives, followed
// by the name, binding and run-time state the program keeps for the filter.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "core/base/string_resources.h"
#include "protocol/class_family.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

class PacketFilterSetting : public _TBF_SETTING_DATA {
 public:
  static constexpr std::size_t kMaxAppPorts = 204;

  PacketFilterSetting() = default;
  PacketFilterSetting(const PacketFilterSetting&) = default;
  PacketFilterSetting& operator=(const PacketFilterSetting&) = default;
  PacketFilterSetting(PacketFilterSetting&&) = default;
  PacketFilterSetting& operator=(PacketFilterSetting&&) = default;
  virtual ~PacketFilterSetting() = default;

  // The local ranges that LocalPortCount says are used (at most 16).
  std::span<const protocol::PortRange> UsedLocalPorts() const;
  // The remote ranges that RemotePortCount says are used (at most 16).
  std::span<const protocol::PortRange> UsedRemotePorts() const;
  // The application ports that AppPortCount says are valid (0..204).
  std::span<const std::uint16_t> UsedAppPorts() const;

  // HasApplication as it is stored: 1 when the filter names a process.
  std::uint32_t DerivedHasApplication() const;

  // The application ports lying in the local ranges, "None" when none does.
  std::string ApplicationPortText() const;

  // Persistent members.
  std::string Name{strings::kNewFilter};
  std::string Comment;
  std::string AppName;  // empty = not bound to a process
  std::string LowerAdapterName;
  std::int32_t ID = -1;  // -1 = not yet assigned
  // IPv6, which the 200-byte record cannot hold. The families the user
  // chose; unset follows the addresses (EffectiveFamilies).
  std::optional<protocol::AddressFamilies> AddressFamily;
  protocol::Ipv6Prefix LocalIpv6;   // length 0 = any local address
  protocol::Ipv6Prefix RemoteIpv6;  // length 0 = any remote address

  // The families the filter applies to: the user's choice; else IPv6 alone
  // when it has an IPv6 address; else both when its IPv4 masks are 0 (any
  // address) and IPv4 alone when not, as a driver reads the record alone.
  protocol::AddressFamilies EffectiveFamilies() const;
  // Whether the filter says something about IPv6 that the record cannot.
  bool HasIpv6Settings() const {
    return AddressFamily.has_value() || LocalIpv6.length != 0 || RemoteIpv6.length != 0;
  }

  // Run-time state.
  std::int32_t AppPortCount = 0;
  std::array<std::uint16_t, kMaxAppPorts> AppPorts{};  // host order
  std::uint64_t TransferredBytes = 0;
  std::deque<std::int32_t> RateHistory;
  std::int32_t AdapterIndex = -1;  // -1 = unknown
};

}  // namespace harlune
