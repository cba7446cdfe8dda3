#include "passthru/engine/simulated_traffic.h"

#include <algorithm>
#include <cmath>

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

std::uint64_t SimulatedTraffic::NanosecondsToNextPacket(const Flow& flow,
                                                        const FlowState& state) const {
  const double size = SizeOf(flow);
  const double owed = size - state.credit;
  if (owed <= 0) {
    return 0;
  }
  auto wait = static_cast<std::uint64_t>(std::floor(owed * 1e9 / flow.rate));
  // Step to the first nanosecond at which Poll's own arithmetic pays.
  for (int step = 0;
       step < 1000 && state.credit + static_cast<double>(wait) / 1e9 * flow.rate < size; ++step) {
    ++wait;
  }
  return wait;
}

std::optional<std::uint64_t> SimulatedTraffic::NextPacketNanoseconds(
    const std::function<bool(const Flow&)>& running) const {
  std::optional<std::uint64_t> earliest;
  for (std::size_t i = 0; i < flows_.size(); ++i) {
    if (flows_[i].rate == 0 || !running(flows_[i])) {
      continue;
    }
    // Poll makes up no gap longer than kMaxCatchUpNanoseconds: a slower
    // flow needs a poll at least that often to earn its next packet.
    const std::uint64_t due =
        last_ + std::min(NanosecondsToNextPacket(flows_[i], states_[i]), kMaxCatchUpNanoseconds);
    earliest = earliest ? std::min(*earliest, due) : due;
  }
  return earliest;
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
