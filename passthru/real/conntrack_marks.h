#pragma once

// Setting bits of the conntrack mark of the machine's connections through
// ctnetlink. The verdict queue cannot carry a conntrack change on every
// kernel (that needs CONFIG_NETFILTER_NETLINK_GLUE_CT), so the daemon asks
// conntrack itself, on a netlink socket of its own, for the connection a
// queued packet belongs to. Only the bits of a mask change: the kernel
// keeps the rest of the mark as it is (CTA_MARK_MASK).

#include <cstdint>
#include <string>

#include "passthru/engine/packet.h"

struct mnl_socket;

namespace harlune {

// A packet's addresses, protocol and ports as its header has them (ports in
// network order). Either direction of a connection names it.
struct FlowTuple {
  IpFamily family = IpFamily::Ipv4;
  std::uint8_t protocol = 0;
  IpAddress source;
  IpAddress destination;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
};

// The header tuple of a packet the engine described from the adapter's side.
FlowTuple HeaderTupleOf(const Packet& packet);

class ConntrackMarks {
 public:
  ConntrackMarks() = default;
  ~ConntrackMarks();
  ConntrackMarks(const ConntrackMarks&) = delete;
  ConntrackMarks& operator=(const ConntrackMarks&) = delete;

  // Empty on success, else the reason.
  std::string Open();
  bool IsOpen() const { return socket_ != nullptr; }
  // Sets the bits of `mask` in the mark of the tuple's connection to those
  // of `value`. False when conntrack has no such connection (the first
  // packet of one is not confirmed until it leaves the hook) or refuses.
  bool Set(const FlowTuple& tuple, std::uint32_t value, std::uint32_t mask);
  // Clears the bits of `mask` in every connection's mark: how many had
  // any of them, or -1 when the table could not be read.
  int ClearAll(std::uint32_t mask);

 private:
  bool Acknowledged(unsigned sequence);

  mnl_socket* socket_ = nullptr;
  std::uint32_t portId_ = 0;
  unsigned sequence_ = 0;
};

}  // namespace harlune
