#pragma once

// The kernel's verdict queue (NFQUEUE) for the packets the queue rules send
// to it: each packet waits in the kernel until the daemon says accept or
// drop. The queue is opened fail-open, so packets pass when it is full.
//
// The queue is the daemon's hot path, so it works in batches: one system
// call receives many packets, and verdicts collect in a buffer that one
// call sends. Segmentation offload packets (a TCP send of up to 64 KiB,
// say) are queued whole rather than cut into wire-sized packets first.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

struct mnl_socket;

namespace harlune {

struct QueuedPacket {
  std::uint32_t id = 0;
  std::uint32_t inInterface = 0;   // interface index, 0 when none
  std::uint32_t outInterface = 0;  // interface index, 0 when none
  // The packet's length at the IP layer: for an offload packet, the whole
  // of it, of which `ip` holds only the first bytes.
  std::uint32_t length = 0;
  std::span<const std::uint8_t> ip;  // the IPv4 or IPv6 header and the bytes after it
};

class VerdictQueue {
 public:
  using Handler = std::function<void(const QueuedPacket&)>;

  VerdictQueue() = default;
  ~VerdictQueue();
  VerdictQueue(const VerdictQueue&) = delete;
  VerdictQueue& operator=(const VerdictQueue&) = delete;

  // Binds the queue; `maxLength` packets may wait in the kernel. Empty on
  // success, else the reason.
  std::string Open(std::uint16_t queueNumber, std::uint32_t maxLength);
  int Fd() const;
  // Reads the packets waiting, at most 256 a call, without blocking; the
  // caller polls again while more wait. Sends the verdicts given meanwhile.
  void Receive(const Handler& handler);
  // Adds a verdict to the batch; Flush (or the next Receive) sends it.
  void Verdict(std::uint32_t id, bool accept);
  void Flush();

 private:
  std::string Configure(std::uint32_t maxLength);
  bool SendAndAcknowledge(std::vector<char>& buffer);
  int ReceiveBatch(const Handler& handler);

  mnl_socket* socket_ = nullptr;
  std::uint16_t queueNumber_ = 0;
  std::uint32_t portId_ = 0;
  std::uint32_t sequence_ = 0;
  std::vector<char> receiveBuffer_;
  std::vector<char> verdicts_;
  std::size_t verdictBytes_ = 0;
};

}  // namespace harlune
