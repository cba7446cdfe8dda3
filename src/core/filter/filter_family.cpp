#include "core/filter/filter_family.h"

namespace harlune {
namespace {

constexpr std::uint32_t kNoSuchAddress = 0;           // no packet comes from 0.0.0.0
constexpr std::uint32_t kWholeAddress = 0xFFFFFFFFu;  // 255.255.255.255

}  // namespace

_TBF_SETTING_DATA DriverRecordOf(const PacketFilterSetting& filter) {
  _TBF_SETTING_DATA record = filter;
  if (filter.EffectiveFamilies() == protocol::AddressFamilies::kIpv6) {
    record.RemoteIPAddr = kNoSuchAddress;
    record.RemoteIPAddrMask = kWholeAddress;
  }
  return record;
}

protocol::ClassFamily ClassFamilyOf(const PacketFilterSetting& filter) {
  return {filter.DriverClassId, filter.EffectiveFamilies(), filter.LocalIpv6, filter.RemoteIpv6};
}

bool NeedsFamilyRequest(const PacketFilterSetting& filter) {
  return filter.HasIpv6Settings() ||
         filter.EffectiveFamilies() != protocol::DefaultFamiliesOf(DriverRecordOf(filter));
}

}  // namespace harlune
