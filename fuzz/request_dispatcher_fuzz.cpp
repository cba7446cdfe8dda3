// Arbitrary request frames, one after another on one connection, go to the
// driver stand-in's dispatcher; every reply must be well formed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz_target.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/request_dispatcher.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace harlune;
  ManualClock clock;
  PacketEngine engine(clock);
  engine.AddAdapter("eth0");
  RequestDispatcher dispatcher(engine);
  ConnectionState connection;

  std::span<const std::uint8_t> rest(data, size);
  while (rest.size() >= protocol::kRequestHeaderSize) {
    const protocol::RequestHeader header =
        protocol::DecodeRequestHeader(rest.first<protocol::kRequestHeaderSize>());
    rest = rest.subspan(protocol::kRequestHeaderSize);
    if (!header.WithinLimits()) {
      return 0;  // the server closes such a connection
    }
    const std::size_t length = std::min<std::size_t>(header.inputLength, rest.size());
    const auto reply = dispatcher.Dispatch(connection, header, rest.first(length));
    rest = rest.subspan(length);
    if (reply.size() < protocol::kReplyHeaderSize) {
      std::abort();
    }
    const std::uint32_t error = protocol::LoadLe32(reply, 0);
    const std::uint32_t returned = protocol::LoadLe32(reply, 4);
    if (returned != reply.size() - protocol::kReplyHeaderSize || returned > header.outputCapacity ||
        (error != 0 && returned != 0)) {
      std::abort();
    }
    // Some traffic between requests, so statistics and capture have data.
    clock.AdvanceMilliseconds(7);
    Packet packet;
    packet.length = 500;
    engine.Offer("eth0", packet);
    engine.Tick();
  }
  return 0;
}
