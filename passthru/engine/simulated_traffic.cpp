#include "passthru/engine/simulated_traffic.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

MacAddress MacFor(std::uint32_t address, std::uint8_t kind) {
  // Locally administered addresses derived from the IPv4 address.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
  return {0x02, kind, bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace

SimulatedTraffic::SimulatedTraffic(std::vector<Flow> flows, std::uint64_t startNanoseconds)
    : flows_(std::move(flows)), states_(flows_.size()), last_(startNanoseconds) {}

Packet SimulatedTraffic::PacketOf(const Flow& flow, FlowState& state) const {
  Packet packet;
  packet.direction = flow.direction;
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
  packet.length = std::clamp(flow.packetSize, kMinPacketSize, kMaxPacketSize);
  packet.localMac = MacFor(flow.localAddress, 0x00);
  packet.remoteMac = MacFor(flow.remoteAddress, 0x01);
  return packet;
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
    const double size = std::clamp(flow.packetSize, kMinPacketSize, kMaxPacketSize);
    state.credit += seconds * flow.rate;
    while (state.credit >= size) {
      state.credit -= size;
      offer(flow.adapter, PacketOf(flow, state));
    }
  }
}

}  // namespace harlune
