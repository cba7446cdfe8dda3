#include "passthru/engine/simulated_traffic.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

MacAddress MacFor(const IpAddress& address, std::uint8_t kind) {
  // Locally administered addresses derived from the last four bytes of the
  // address (all of an IPv4 one).
  const IpAddress::Bytes16& bytes = address.Ipv6Bytes();
  return {0x02, kind, bytes[12], bytes[13], bytes[14], bytes[15]};
}

std::uint32_t SizeOf(const Flow& flow) {
  const std::uint32_t least = flow.localAddress.IsIpv4() ? kMinPacketSize : kMinIpv6PacketSize;
  return std::clamp(flow.packetSize, least, kMaxPacketSize);
}

}  // namespace

SimulatedTraffic::SimulatedTraffic(std::vector<Flow> flows, std::uint64_t startNanoseconds)
    : flows_(std::move(flows)), states_(flows_.size()), last_(startNanoseconds) {}

Packet SimulatedTraffic::PacketOf(const Flow& flow, FlowState& state) const {
  Packet packet;
  packet.direction = flow.direction;
  packet.family = flow.localAddress.IsIpv4() ? IpFamily::Ipv4 : IpFamily::Ipv6;
  packet.protocol = flow.protocol;
  packet.localAddress = flow.localAddress;
  packet.remoteAddress = flow.remoteAddress;
  std::uint16_t localPort = flow.localPort;
  if (!flow.processPorts.empty()) {
    localPort = flow.processPorts[state.nextPort % flow.processPorts.size()];
    state.nextPort = (state.nextPort + 1) % flow.processPorts.size();
  }
  packet.localPort = protocol::HostToNet16(localPort);
  packet.remotePort = protocol::HostToNet16(flow.remotePort);
  packet.length = SizeOf(flow);
  packet.localMac = MacFor(flow.localAddress, 0x00);
  packet.remoteMac = MacFor(flow.remoteAddress, 0x01);
  return packet;
}

void SimulatedTraffic::Skip(std::uint64_t nowNanoseconds) {
  last_ = std::max(last_, nowNanoseconds);
}

void SimulatedTraffic::Poll(std::uint64_t nowNanoseconds, const Offer& offer) {
  if (nowNanoseconds <= last_) {
    return;
  }
  const std::uint64_t elapsed = std::min(nowNanoseconds - last_, kMaxCatchUpNanoseconds);
  last_ = nowNanoseconds;
  const double seconds = static_cast<double>(elapsed) / 1e9;
  for (std::size_t i = 0; i < flows_.size(); ++i) {
    const Flow& flow = flows_[i];
    FlowState& state = states_[i];
    const double size = SizeOf(flow);
    state.credit += seconds * flow.rate;
    while (state.credit >= size) {
      state.credit -= size;
      offer(flow.adapter, PacketOf(flow, state));
    }
  }
}

}  // namespace harlune
