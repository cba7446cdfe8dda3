#pragma once

// One request of one connection turned into its reply frame. The checks come
// in a fixed order: an unknown code fails with 1, wrong sizes with 87, any
// request but a bind on an unbound connection with 21, a request the engine
// refuses (an unknown DriverClassId, a full class list) with 31.
//
// HlInitialize starts the bound adapter's session; HlReleaseAdapter and
// HlUninitialize, the application's end of a session, each end it. The
// adapter tells its session observer of each start and of the end once.
//
// HlResetTcpConnection ends a TCP connection of the machine for a client
// without the privilege to do so itself. The engine knows no sockets: the
// daemon hands in the function that ends connections, and without one every
// reset answers EOPNOTSUPP. A four-tuple that cannot name a connection (a
// listening socket's, for one) is refused with 87 before it gets there.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "passthru/engine/packet_engine.h"
#include "protocol/framing.h"
#include "protocol/request_codes.h"
#include "protocol/tcp_four_tuple.h"

namespace harlune {

// What the driver remembers about one connection: the adapter it is bound to.
struct ConnectionState {
  AdapterState* adapter = nullptr;
};

// Ends the connection of a four-tuple: the errno of the attempt, 0 when the
// connection was ended.
using TcpConnectionDestroyer = std::function<int(const protocol::TcpFourTuple&)>;

class RequestDispatcher {
 public:
  explicit RequestDispatcher(PacketEngine& engine, TcpConnectionDestroyer destroyer = {})
      : engine_(engine), destroyer_(std::move(destroyer)) {}

  // `input` is the frame's input; a length that differs from the header's
  // counts as wrong sizes.
  std::vector<std::uint8_t> Dispatch(ConnectionState& connection,
                                     const protocol::RequestHeader& header,
                                     std::span<const std::uint8_t> input);

 private:
  std::vector<std::uint8_t> Bind(ConnectionState& connection, std::span<const std::uint8_t> input);
  std::vector<std::uint8_t> ResetTcpConnection(protocol::RequestCode code,
                                               std::span<const std::uint8_t> input);

  PacketEngine& engine_;
  TcpConnectionDestroyer destroyer_;
};

// Whether the request changes what the driver holds or does: its classes,
// sessions, filtering, totals, or a connection of the machine (a reset).
// Binding, reads and the capture's reads change nothing another client
// would see as a change.
bool ChangesDriverState(protocol::RequestCode code);

// The adapter name of a device path "\DEVICE\<name>" (the prefix in any
// case), or empty when the path has another form or the name is empty.
std::string AdapterNameOfDevicePath(std::span<const std::uint8_t> utf16le);

}  // namespace harlune
