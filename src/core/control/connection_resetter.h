#pragma once

// Ending one TCP connection of the system's table, as the connection control
// engine does with a connection its rules condemn: the local end is removed
// from the system and the peer is sent a reset.

#include <cstdint>

#include "protocol/tcp_four_tuple.h"

namespace harlune {

enum class ConnectionResetStatus {
  kOk,            // the connection was ended
  kNotPermitted,  // the system refuses this process (a privilege is missing)
  kNoDriver,      // refused for want of the privilege, and no driver answered to do it
  kNotSupported,  // the system cannot end connections this way
  kGone,          // no such connection (it ended on its own, or never was)
  kError,         // any other failure; errorCode says which
};

struct ConnectionResetResult {
  ConnectionResetStatus status = ConnectionResetStatus::kError;
  int errorCode = 0;  // the errno behind the status, 0 for kOk

  friend bool operator==(const ConnectionResetResult&, const ConnectionResetResult&) = default;
};

class ConnectionResetter {
 public:
  virtual ~ConnectionResetter() = default;
  // Ends exactly the connection named by key and no other socket: a key
  // whose connection has gone gives kGone even when a listening socket
  // still holds its local port. Reports nothing to the user; the caller
  // decides what a failure means (the engine retries at its next pass).
  virtual ConnectionResetResult ResetConnection(const TcpFourTuple& key) = 0;
};

}  // namespace harlune
