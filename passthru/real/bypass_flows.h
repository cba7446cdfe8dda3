#pragma once

// The flows the daemon marked to pass the verdict queue, so that the
// capture path can tell, per frame, whether its packet passed the queue
// (and is the capture's to count) or went through it. A mark takes effect
// when conntrack took it: packets of the flow before then met the queue
// and were counted there.

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>

#include "passthru/engine/packet.h"

namespace harlune {

// A flow seen from the adapter's side: both directions have the same key.
struct FlowKey {
  IpAddress localAddress;
  IpAddress remoteAddress;
  std::uint16_t localPort = 0;
  std::uint16_t remotePort = 0;
  std::uint8_t protocol = 0;
  IpFamily family = IpFamily::Ipv4;

  bool operator==(const FlowKey&) const = default;
};

FlowKey FlowKeyOf(const Packet& packet);

class BypassedFlows {
 public:
  explicit BypassedFlows(std::size_t capacity = 65536) : capacity_(capacity) {}

  // Conntrack took the mark of `generation` for the flow's packets going in
  // `direction` at `at` (CLOCK_REALTIME nanoseconds).
  void Marked(const FlowKey& flow, Direction direction, std::uint32_t generation, std::uint64_t at);
  // Whether the flow's packets of `direction` carry the mark of `generation`.
  bool MarkedIn(const FlowKey& flow, Direction direction, std::uint32_t generation) const;
  // The generation of the mark a packet of the flow going in `direction`
  // carried at `at`: that of the latest mark taken at or before it.
  std::optional<std::uint32_t> GenerationAt(const FlowKey& flow, Direction direction,
                                            std::uint64_t at);
  // A mark conntrack did not take (the flow's first packet is not in its
  // table yet, say); after a few the flow is not tried again in that
  // generation, so a flow conntrack never tracks costs no call per packet.
  void Failed(const FlowKey& flow, Direction direction, std::uint32_t generation);
  bool WorthTrying(const FlowKey& flow, Direction direction, std::uint32_t generation) const;
  // Forgets every mark of another generation: when the generations wrap
  // around and every mark in conntrack was cleared, an old mark of a
  // generation about to be used again says nothing.
  void KeepOnly(std::uint32_t generation);
  std::size_t Size() const { return flows_.size(); }

 private:
  struct Mark {
    std::uint32_t generation = 0;
    std::uint64_t at = 0;
  };
  // The last two marks of a direction: a frame waits in the capture ring for
  // a moment, and may be judged after the next mark.
  struct DirectionMarks {
    std::array<Mark, 2> recent{};
    std::uint32_t failedGeneration = 0;
    std::uint32_t failures = 0;
  };
  struct Entry {
    std::array<DirectionMarks, 2> directions;
    std::list<FlowKey>::iterator use;
  };
  struct FlowKeyHash {
    std::size_t operator()(const FlowKey& flow) const;
  };
  static constexpr std::uint32_t kMaxFailures = 3;

  Entry& Touch(const FlowKey& flow);

  std::size_t capacity_;
  std::unordered_map<FlowKey, Entry, FlowKeyHash> flows_;
  // Least recently marked or judged first: when the table is full, a flow
  // whose frames stopped coming goes before a running one.
  std::list<FlowKey> uses_;
};

}  // namespace harlune
