#pragma once

// The kernel's verdict queue (NFQUEUE) for the packets the queue rules send
// to it: each packet waits in the kernel until the daemon says accept or
// drop. The queue is opened fail-open, so packets pass when it is full.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

struct mnl_socket;

namespace harlune {

struct QueuedPacket {
  std::uint32_t id = 0;
  std::uint32_t inInterface = 0;     // interface index, 0 when none
  std::uint32_t outInterface = 0;    // interface index, 0 when none
  std::span<const std::uint8_t> ip;  // the IPv4 header and the bytes after it
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
  // caller polls again while more wait.
  void Receive(const Handler& handler);
  void Verdict(std::uint32_t id, bool accept);

 private:
  std::string Configure(std::uint32_t maxLength);
  bool SendAndAcknowledge(std::vector<char>& buffer);

  mnl_socket* socket_ = nullptr;
  std::uint16_t queueNumber_ = 0;
  std::uint32_t portId_ = 0;
  std::uint32_t sequence_ = 0;
  std::vector<char> receiveBuffer_;
};

}  // namespace harlune
