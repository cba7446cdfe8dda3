#pragma once

// Traffic made up from flows: each flow offers packets of a fixed size at a
// steady rate on one adapter.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "passthru/engine/packet.h"
#include "passthru/engine/packet_source.h"

namespace harlune {

struct Flow {
  std::string adapter;
  Direction direction = Direction::Send;
  std::uint8_t protocol = kProtocolTcp;
  // Both of one family: IPv6 flows are made of IPv6 packets.
  IpAddress localAddress;
  IpAddress remoteAddress;
  std::uint16_t localPort = 0;  // host order
  std::uint16_t remotePort = 0;
  std::uint32_t rate = 0;           // offered bytes per second
  std::uint32_t packetSize = 1000;  // IP-layer length (IPv6: 40 + payload)
  // The owning process's local ports (host order); when given, the flow's
  // packets take their local port from it in turn.
  std::vector<std::uint16_t> processPorts;

  bool operator==(const Flow&) const = default;
};

inline constexpr std::uint32_t kMinPacketSize = 28;
inline constexpr std::uint32_t kMinIpv6PacketSize = 48;
inline constexpr std::uint32_t kMaxPacketSize = 65535;
// A gap longer than this (a stopped process, say) is not made up for.
inline constexpr std::uint64_t kMaxCatchUpNanoseconds = 1'000'000'000;

class SimulatedTraffic : public PacketSource {
 public:
  SimulatedTraffic(std::vector<Flow> flows, std::uint64_t startNanoseconds);

  void Poll(std::uint64_t nowNanoseconds, const Offer& offer) override;
  // Lets the time up to `nowNanoseconds` pass without packets, so that a
  // daemon that stops polling while nobody looks does not make that time
  // up in a burst when it polls again.
  void Skip(std::uint64_t nowNanoseconds);
  // When Poll next makes a packet of a flow that `running` admits (a flow of
  // rate 0 never does), or a second after the last Poll if that is sooner,
  // so that a daemon need wake only then; nothing when no flow could.
  std::optional<std::uint64_t> NextPacketNanoseconds(
      const std::function<bool(const Flow&)>& running) const;
  const std::vector<Flow>& Flows() const { return flows_; }

 private:
  struct FlowState {
    double credit = 0;  // bytes owed to the flow
    std::size_t nextPort = 0;
  };

  Packet PacketOf(const Flow& flow, FlowState& state) const;
  std::uint64_t NanosecondsToNextPacket(const Flow& flow, const FlowState& state) const;

  std::vector<Flow> flows_;
  std::vector<FlowState> states_;
  std::uint64_t last_;
};

}  // namespace harlune
