#include "protocol/tbf_setting_data.h"

namespace harlune::protocol {
namespace {

void StorePortRanges(Bytes bytes, std::size_t offset, const PortRanges& ranges) {
  for (const PortRange& range : ranges) {
    StoreRaw(bytes, offset, range.first);
    StoreRaw(bytes, offset + 2, range.last);
    offset += kPortRangeSize;
  }
}

PortRanges LoadPortRanges(ConstBytes bytes, std::size_t offset) {
  PortRanges ranges{};
  for (PortRange& range : ranges) {
    range.first = LoadRaw<std::uint16_t>(bytes, offset);
    range.last = LoadRaw<std::uint16_t>(bytes, offset + 2);
    offset += kPortRangeSize;
  }
  return ranges;
}

}  // namespace

TbfSettingBytes EncodeTbfSettingData(const _TBF_SETTING_DATA& record) {
  TbfSettingBytes out{};  // padding stays zero
  const Bytes bytes(out);
  using namespace tbf_offset;
  StoreLe32(bytes, kMaxQueueSize, record.TBFMaxQueueSize);
  StoreLe32(bytes, kMaxTokenSize, record.TBFMaxTokenSize);
  StoreLe32(bytes, kMpu, record.TBFMPU);
  StoreLe32(bytes, kRate, record.TBFRate);
  StoreLe32(bytes, kPeakRate, record.TBFPeakRate);
  StoreLe32(bytes, kMtu, record.TBFMTU);
  bytes[kThrough] = record.TBFThrough;
  StoreLe32(bytes, kMode, record.TBFMode);
  StoreLe32(bytes, kDriverClassId, record.DriverClassId);
  StoreLe16(bytes, kProtocol, record.Protocol);
  StoreRaw(bytes, kLocalIpAddr, record.LocalIPAddr);
  StoreRaw(bytes, kRemoteIpAddr, record.RemoteIPAddr);
  StoreRaw(bytes, kLocalIpAddrMask, record.LocalIPAddrMask);
  StoreRaw(bytes, kRemoteIpAddrMask, record.RemoteIPAddrMask);
  StoreLe32(bytes, kLocalPortCount, record.LocalPortCount);
  StoreLe32(bytes, kRemotePortCount, record.RemotePortCount);
  StorePortRanges(bytes, kLocalPorts, record.LocalPorts);
  StorePortRanges(bytes, kRemotePorts, record.RemotePorts);
  StoreLe32(bytes, kHasApplication, record.HasApplication);
  StoreLe32(bytes, kAvailable, record.Available);
  return out;
}

_TBF_SETTING_DATA DecodeTbfSettingData(std::span<const std::uint8_t, kTbfSettingDataSize> in) {
  const ConstBytes bytes(in);
  using namespace tbf_offset;
  _TBF_SETTING_DATA record;
  record.TBFMaxQueueSize = LoadLe32(bytes, kMaxQueueSize);
  record.TBFMaxTokenSize = LoadLe32(bytes, kMaxTokenSize);
  record.TBFMPU = LoadLe32(bytes, kMpu);
  record.TBFRate = LoadLe32(bytes, kRate);
  record.TBFPeakRate = LoadLe32(bytes, kPeakRate);
  record.TBFMTU = LoadLe32(bytes, kMtu);
  record.TBFThrough = bytes[kThrough];
  record.TBFMode = LoadLe32(bytes, kMode);
  record.DriverClassId = LoadLe32(bytes, kDriverClassId);
  record.Protocol = LoadLe16(bytes, kProtocol);
  record.LocalIPAddr = LoadRaw<std::uint32_t>(bytes, kLocalIpAddr);
  record.RemoteIPAddr = LoadRaw<std::uint32_t>(bytes, kRemoteIpAddr);
  record.LocalIPAddrMask = LoadRaw<std::uint32_t>(bytes, kLocalIpAddrMask);
  record.RemoteIPAddrMask = LoadRaw<std::uint32_t>(bytes, kRemoteIpAddrMask);
  record.LocalPortCount = LoadLe32(bytes, kLocalPortCount);
  record.RemotePortCount = LoadLe32(bytes, kRemotePortCount);
  record.LocalPorts = LoadPortRanges(bytes, kLocalPorts);
  record.RemotePorts = LoadPortRanges(bytes, kRemotePorts);
  record.HasApplication = LoadLe32(bytes, kHasApplication);
  record.Available = LoadLe32(bytes, kAvailable);
  return record;
}

}  // namespace harlune::protocol
