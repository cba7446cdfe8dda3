#pragma once

// The daemon's real mode: the packets of the machine's interfaces fed to the
// engine. Two paths see every IPv4 packet of an adapter in a session:
//
// - the verdict path (NFQUEUE): each packet is offered to the engine, whose
//   classes and token buckets decide pass, drop or hold; this path alone
//   counts the class statistics and the adapter's totals;
// - the capture path (AF_PACKET): each frame as it crossed the interface
//   becomes a capture record with its real headers; it counts nothing.
//
// Both paths run for an adapter from the start of its session
// (HlInitialize) to its end (HlReleaseAdapter or HlUninitialize), as the
// adapter reports them. Outside a session its packets bypass the daemon.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "passthru/engine/adapter_state.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/real/frame_capture.h"
#include "passthru/real/ip_packet.h"
#include "passthru/real/queue_rules.h"
#include "passthru/real/verdict_queue.h"

namespace harlune {

inline constexpr std::uint16_t kVerdictQueueNumber = 20006;
// Room for the packets the application's classes can hold: up to 128
// classes with the default queue of 128 packets each. Beyond it the kernel
// lets packets pass (fail-open) rather than drop them.
inline constexpr std::uint32_t kVerdictQueueLength = 128 * 128;
// How many recent verdicts the capture path can look up.
inline constexpr std::size_t kRememberedVerdicts = 4096;

class RealTraffic {
 public:
  RealTraffic(PacketEngine& engine, QueueRules& rules, std::ostream& log);
  ~RealTraffic();
  RealTraffic(const RealTraffic&) = delete;
  RealTraffic& operator=(const RealTraffic&) = delete;

  // Removes rules an earlier run left, makes the chains and opens the
  // verdict queue. Empty on success, else the reason.
  std::string Start();
  // Waits up to `timeoutMilliseconds` for packets and serves them; then
  // follows the adapters' sessions.
  void Poll(int timeoutMilliseconds);
  // Lets every held packet pass and removes every rule.
  void Stop();
  std::size_t HeldPackets() const { return held_; }

 private:
  struct Session {
    bool open = false;
    unsigned interfaceIndex = 0;
    std::unique_ptr<FrameCapture> capture;
  };

  void Watch(AdapterState& adapter);
  void OnSessionEvent(const std::string& name, AdapterState::SessionEvent event);
  void Open(const std::string& name, Session& session);
  void Close(const std::string& name, Session& session);
  void OnQueued(const QueuedPacket& queued);
  void OnFrame(AdapterState& adapter, std::span<const std::uint8_t> frame, bool outgoing);
  void Remember(const PacketKey& key, Verdict verdict);
  Verdict RememberedVerdict(const PacketKey& key) const;

  PacketEngine& engine_;
  QueueRules& rules_;
  std::ostream& log_;
  VerdictQueue queue_;
  std::map<std::string, Session> sessions_;
  std::map<unsigned, AdapterState*> byInterfaceIndex_;
  std::size_t held_ = 0;
  std::map<PacketKey, Verdict> verdicts_;
  std::deque<PacketKey> verdictOrder_;
  bool started_ = false;
};

}  // namespace harlune
