#pragma once

// Ending one TCP connection of the system's table, as the connection control
// engine does with a connection its rules condemn: the local end is removed
// from the system and the peer is sent a reset.

#include <cstdint>

namespace harlune {

// One IPv4 TCP connection as the system's table names it, seen from the
// local end. Every field is a stored value in network byte order (ports in
// the low 16 bits), exactly as the table row holds it.
struct TcpConnectionKey {
  std::uint32_t localAddr = 0;
  std::uint32_t localPort = 0;
  std::uint32_t remoteAddr = 0;
  std::uint32_t remotePort = 0;

  friend bool operator==(const TcpConnectionKey&, const TcpConnectionKey&) = default;
};

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
  virtual ConnectionResetResult ResetConnection(const TcpConnectionKey& key) = 0;
};

}  // namespace harlune
