#pragma once

// One request of one connection turned into its reply frame. The checks come
// in a fixed order: an unknown code fails with 1, wrong sizes with 87, any
// request but a bind on an unbound connection with 21, a request the engine
// refuses (an unknown DriverClassId, a full class list) with 31.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "passthru/engine/packet_engine.h"
#include "protocol/framing.h"

namespace harlune {

// What the driver remembers about one connection: the adapter it is bound to.
struct ConnectionState {
  AdapterState* adapter = nullptr;
};

class RequestDispatcher {
 public:
  explicit RequestDispatcher(PacketEngine& engine) : engine_(engine) {}

  // `input` is the frame's input; a length that differs from the header's
  // counts as wrong sizes.
  std::vector<std::uint8_t> Dispatch(ConnectionState& connection,
                                     const protocol::RequestHeader& header,
                                     std::span<const std::uint8_t> input);

 private:
  std::vector<std::uint8_t> Bind(ConnectionState& connection, std::span<const std::uint8_t> input);

  PacketEngine& engine_;
};

// The adapter name of a device path "\DEVICE\<name>" (the prefix in any
// case), or empty when the path has another form or the name is empty.
std::string AdapterNameOfDevicePath(std::span<const std::uint8_t> utf16le);

}  // namespace harlune
