#pragma once

// Ending a TCP connection from an application without CAP_NET_ADMIN. The
// direct way (SOCK_DESTROY from this process) is tried first; only when the
// system refuses this process for want of the privilege is the four-tuple
// forwarded to the packet driver, which runs as root in real mode and ends
// the connection itself: an IPv4 key (an IPv4-mapped one included) by
// HlResetTcpConnection, a key of IPv6 addresses by HlResetTcp6Connection.
// The request goes to the system's adapters in their listed order until a
// driver answers on one of them; the driver's status is turned into the
// result as the direct way's errno would be (so a driver without the
// privilege still says kNotPermitted). A driver that fails the IPv6 request
// as unknown (one that ends IPv4 connections only) or refuses its input
// cannot end the connection: the result is the direct way's refusal. When
// no driver answers on any adapter the result is kNoDriver with the direct
// way's errno; a key that cannot name a connection keeps the direct way's
// refusal.

#include <optional>

#include "core/control/connection_resetter.h"
#include "core/driver/driver_link.h"
#include "core/monitor/adapter_source.h"

namespace harlune {

class ForwardingResetter : public ConnectionResetter {
 public:
  // The three are the caller's and must outlive the resetter. The link is
  // used from the resetter's (the user-interface) thread only.
  ForwardingResetter(ConnectionResetter& direct, DriverLink& driver, AdapterSource& adapters)
      : direct_(direct), driver_(driver), adapters_(adapters) {}

  ConnectionResetResult ResetConnection(const TcpFourTuple& key) override;

 private:
  // The result of asking the driver on one adapter, or nothing when no
  // driver answered there.
  std::optional<ConnectionResetResult> AskDriver(const SystemAdapter& adapter,
                                                 const TcpFourTuple& key,
                                                 const ConnectionResetResult& direct);

  ConnectionResetter& direct_;
  DriverLink& driver_;
  AdapterSource& adapters_;
};

}  // namespace harlune
