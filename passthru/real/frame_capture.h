#pragma once

// A copy of an interface's IPv4 and IPv6 frames, both directions, from an AF_PACKET
// socket with a TPACKET_V3 ring: the kernel fills blocks of frames that the
// daemon reads without a system call per frame. Frames are cut to their
// first 128 bytes, which hold every header a capture record keeps.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace harlune {

// One frame as the ring holds it.
struct CapturedFrame {
  std::span<const std::uint8_t> bytes;    // from the Ethernet header, cut short
  std::uint32_t length = 0;               // the whole frame's length
  bool outgoing = false;                  // sent by the interface
  std::uint64_t realtimeNanoseconds = 0;  // when the kernel saw it (CLOCK_REALTIME)
};

class FrameCapture {
 public:
  using Handler = std::function<void(const CapturedFrame&)>;

  FrameCapture() = default;
  ~FrameCapture();
  FrameCapture(const FrameCapture&) = delete;
  FrameCapture& operator=(const FrameCapture&) = delete;

  // Empty on success, else the reason.
  std::string Open(const std::string& interfaceName);
  int Fd() const { return fd_; }
  // Hands over every frame of the blocks the kernel has filled.
  void Receive(const Handler& handler);
  // Frames the ring had no room for since the last call (kernel count).
  std::uint32_t TakeDropCount();

 private:
  std::string SetUpRing();

  int fd_ = -1;
  std::uint8_t* ring_ = nullptr;
  std::size_t ringBytes_ = 0;
  std::size_t blockBytes_ = 0;
  std::size_t blockCount_ = 0;
  std::size_t nextBlock_ = 0;
};

}  // namespace harlune
