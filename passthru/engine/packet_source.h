#pragma once

// Where packets come from: the simulator's flows, or later a real interface.
// The daemon polls every source on each turn of its loop and offers what it
// produced to the engine.

#include <cstdint>
#include <functional>
#include <string_view>

#include "passthru/engine/packet.h"

namespace harlune {

class PacketSource {
 public:
  using Offer = std::function<void(std::string_view adapterName, const Packet& packet)>;

  virtual ~PacketSource() = default;
  // Produces the packets due up to `nowNanoseconds`, oldest first.
  virtual void Poll(std::uint64_t nowNanoseconds, const Offer& offer) = 0;
};

}  // namespace harlune
