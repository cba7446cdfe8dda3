#include "core/filter/packet_filter_setting.h"

#include <algorithm>

#include "core/filter/port_range.h"

namespace harlune {

std::span<const protocol::PortRange> PacketFilterSetting::UsedLocalPorts() const {
  return UsedPortRanges(LocalPortCount, LocalPorts);
}

std::span<const protocol::PortRange> PacketFilterSetting::UsedRemotePorts() const {
  return UsedPortRanges(RemotePortCount, RemotePorts);
}

std::span<const std::uint16_t> PacketFilterSetting::UsedAppPorts() const {
  const auto count = static_cast<std::size_t>(
      std::clamp<std::int32_t>(AppPortCount, 0, static_cast<std::int32_t>(kMaxAppPorts)));
  return std::span<const std::uint16_t>(AppPorts).first(count);
}

std::uint32_t PacketFilterSetting::DerivedHasApplication() const { return AppName.empty() ? 0 : 1; }

std::string PacketFilterSetting::ApplicationPortText() const {
  return harlune::ApplicationPortText(UsedAppPorts(), UsedLocalPorts());
}

protocol::AddressFamilies PacketFilterSetting::EffectiveFamilies() const {
  if (AddressFamily) {
    return *AddressFamily;
  }
  if (LocalIpv6.length != 0 || RemoteIpv6.length != 0) {
    return protocol::AddressFamilies::kIpv6;
  }
  return protocol::DefaultFamiliesOf(*this);
}

}  // namespace harlune
