#pragma once

// The driver's state for every adapter it serves, on one clock.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "passthru/engine/adapter_state.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet.h"

namespace harlune {

class PacketEngine {
 public:
  explicit PacketEngine(const Clock& clock) : clock_(clock) {}
  PacketEngine(const PacketEngine&) = delete;
  PacketEngine& operator=(const PacketEngine&) = delete;

  // Serves an adapter of this name (an existing one is kept as it is).
  AdapterState& AddAdapter(const std::string& name);
  AdapterState* FindAdapter(std::string_view name);
  std::vector<std::string> AdapterNames() const;

  // A packet on a named adapter; one the engine does not serve passes.
  Verdict Offer(std::string_view adapterName, const Packet& packet);
  // Releases queued packets on every adapter.
  void Tick();
  // The earliest time (clock nanoseconds) at which Tick has a packet to
  // release; nothing while none waits. Rates need no tick: they are worked
  // out from the clock when read.
  std::optional<std::uint64_t> NextDeadline() const;

  const Clock& GetClock() const { return clock_; }

 private:
  const Clock& clock_;
  std::map<std::string, AdapterState, std::less<>> adapters_;
};

}  // namespace harlune
