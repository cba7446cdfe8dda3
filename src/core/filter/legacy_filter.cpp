#include "core/filter/legacy_filter.h"

#include <algorithm>

#include "core/base/text_encoding.h"
#include "core/filter/port_range.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using protocol::PortRange;

constexpr std::string_view kAllAddresses = "全てのIP";
constexpr std::string_view kAllPorts = "全てのポート";
constexpr std::string_view kPortsAnd = "かつ";
constexpr std::string_view kArrowUp = "→";
constexpr std::string_view kArrowDown = "←";

void StorePortRanges(protocol::Bytes bytes, std::size_t offset,
                     const protocol::PortRanges& ranges) {
  for (const PortRange& range : ranges) {
    protocol::StoreRaw(bytes, offset, range.first);
    protocol::StoreRaw(bytes, offset + 2, range.last);
    offset += protocol::kPortRangeSize;
  }
}

// One side of a plain filter: its address, mask and port ranges.
struct PlainSide {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  std::uint32_t portCount = 0;
  protocol::PortRanges ports{};
};

PlainSide MakeSide(std::uint32_t address, std::uint32_t mask, bool allPorts,
                   const std::vector<PortRange>& ports) {
  PlainSide side{address, mask, 0, {}};
  if (!allPorts) {
    const std::size_t count = std::min(ports.size(), side.ports.size());
    std::copy_n(ports.begin(), count, side.ports.begin());
    side.portCount = static_cast<std::uint32_t>(count);
  }
  return side;
}

std::string_view ProtocolText(std::uint16_t protocolNumber) {
  switch (protocolNumber) {
    case 1:
      return "ICMP";
    case 6:
      return "TCP";
    case 17:
      return "UDP";
    default:
      return "その他";
  }
}

std::string AddressText(std::uint32_t address, std::uint32_t mask) {
  return mask != 0 ? FormatIpv4(address) : std::string(kAllAddresses);
}

}  // namespace

PlainFilterBytes EncodePlainFilter(const PlainFilter& filter) {
  PlainFilterBytes out{};  // padding stays zero
  const protocol::Bytes bytes(out);
  using namespace plain_filter_offset;
  protocol::StoreLe16(bytes, kProtocol, filter.protocolNumber);
  protocol::StoreRaw(bytes, kSourceAddress, filter.sourceAddress);
  protocol::StoreRaw(bytes, kDestinationAddress, filter.destinationAddress);
  protocol::StoreRaw(bytes, kSourceMask, filter.sourceMask);
  protocol::StoreRaw(bytes, kDestinationMask, filter.destinationMask);
  protocol::StoreLe32(bytes, kSourcePortCount, filter.sourcePortCount);
  protocol::StoreLe32(bytes, kDestinationPortCount, filter.destinationPortCount);
  StorePortRanges(bytes, kSourcePorts, filter.sourcePorts);
  StorePortRanges(bytes, kDestinationPorts, filter.destinationPorts);
  bytes[kDrop] = filter.drop ? 1 : 0;
  bytes[kDropSynOnly] = filter.dropSynOnly ? 1 : 0;
  protocol::StoreLe32(bytes, kBandwidth, static_cast<std::uint32_t>(filter.bandwidth));
  protocol::StoreLe32(bytes, kMinimumPacketSize,
                      static_cast<std::uint32_t>(filter.minimumPacketSize));
  return out;
}

void CommonFilter::SetComment(std::string_view text) {
  comment_ = CutToCp932Bytes(text.substr(0, text.find('\0')), kMaxCommentBytes);
}

PlainFilter PacketFilter::ToPlainFilter() const {
  PlainFilter plain;
  plain.protocolNumber = Protocol;
  plain.drop = Drop;
  plain.dropSynOnly = DropSynOnly;
  plain.bandwidth = DoBand ? Bandwidth : 0;
  plain.minimumPacketSize = MinimumPacketSize;

  const PlainSide mine = MakeSide(MyIp, MyIpMask, IsMyAllPort, MyPorts);
  const PlainSide other = MakeSide(OtherIp, OtherIpMask, IsOtherAllPort, OtherPorts);
  const PlainSide* source = nullptr;
  const PlainSide* destination = nullptr;
  if (Direction == kDirectionUp) {
    source = &mine;
    destination = &other;
  } else if (Direction == kDirectionDown) {
    source = &other;
    destination = &mine;
  } else {
    return plain;  // neither side is known: addresses and ports stay zero
  }
  plain.sourceAddress = source->address;
  plain.sourceMask = source->mask;
  plain.sourcePortCount = source->portCount;
  plain.sourcePorts = source->ports;
  plain.destinationAddress = destination->address;
  plain.destinationMask = destination->mask;
  plain.destinationPortCount = destination->portCount;
  plain.destinationPorts = destination->ports;
  return plain;
}

std::unique_ptr<Filter> PacketFilter::Clone() const {
  return std::make_unique<PacketFilter>(*this);
}

std::string PacketFilter::DescriptionText() const {
  std::string localPorts;
  if (IsMyAllPort) {
    localPorts = AppName.empty() ? std::string(kAllPorts) : AppName;
  } else {
    localPorts = PortListText(MyPorts);
    if (!AppName.empty()) {
      localPorts.append(kPortsAnd).append(AppName);
    }
  }
  const std::string remotePorts =
      IsOtherAllPort ? std::string(kAllPorts) : PortListText(OtherPorts);

  std::string text = "<";
  text.append(ProtocolText(Protocol)).append(" ");
  text.append(AddressText(MyIp, MyIpMask)).append(":").append(localPorts).append(" ");
  text.append(Direction == kDirectionUp ? kArrowUp : kArrowDown).append(" ");
  text.append(AddressText(OtherIp, OtherIpMask)).append(":").append(remotePorts);
  text.append(">");
  return text;
}

PlainFilter DynamicFilter::ToPlainFilter() const {
  throw FilterConversionError(std::string(kNotConvertibleText));
}

std::unique_ptr<Filter> DynamicFilter::Clone() const {
  return std::make_unique<DynamicFilter>(*this);
}

std::string DynamicFilter::DescriptionText() const { return {}; }

}  // namespace harlune
