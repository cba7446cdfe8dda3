#pragma once

// The daemon's real mode: the packets of the machine's interfaces fed to the
// engine. Two paths see the IPv4 and IPv6 packets of an adapter in a
// session:
//
// - the capture path (AF_PACKET) sees every frame as it crossed the
//   interface and makes its capture record with the real headers;
// - the verdict path (NFQUEUE) offers a packet to the engine, whose classes
//   and token buckets decide pass, drop or hold. It costs a trip through
//   the daemon for each packet, so a direction of a family is queued only
//   while a class could hold or drop its packets (filtering on, a class for
//   that direction and family available and not TBFThrough), or always when
//   the interface has no capture (it is not Ethernet). Both families share
//   the one queue; a packet's version nibble tells them apart.
//
// Each packet is counted once: by the verdict path when its direction was
// queued, else by the capture path, which then counts it as passed (nothing
// could have stopped it). A frame is judged by the state of its direction
// at the moment the kernel captured it.
//
// In a queued direction, a flow (a conntrack entry) that no class of that
// direction could match is passed and marked (bypass_mark.h): a rule before
// the queue rules lets its later packets pass without the daemon. The mark
// carries a generation that changes with every change of the classes, so
// each flow is judged again after one. The capture counts the frames of a
// marked flow from the moment conntrack took the mark, while the rule of
// its generation was in place, unless the queue saw the packet.
//
// The rules change on a thread of their own (QueueRuleWorker): the loop
// never waits for iptables, and learns from the worker when each change
// started and from when it holds. The worker also puts back the daemon's
// rules when another program removed them; the loop wakes it on every
// change of the nf_tables ruleset (RulesetMonitor) and logs what it did.
//
// Both paths run for an adapter from the start of its session
// (HlInitialize) to its end (HlReleaseAdapter or HlUninitialize), as the
// adapter reports them. Outside a session its packets bypass the daemon.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>

#include "passthru/engine/adapter_state.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/real/bypass_flows.h"
#include "passthru/real/conntrack_marks.h"
#include "passthru/real/fragment_ports.h"
#include "passthru/real/frame_capture.h"
#include "passthru/real/ip6_packet.h"
#include "passthru/real/ip_packet.h"
#include "passthru/real/queue_rule_worker.h"
#include "passthru/real/queue_rules.h"
#include "passthru/real/rule_timeline.h"
#include "passthru/real/ruleset_monitor.h"
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
  // Readable while queued packets, captured blocks or the rule worker's
  // reports wait: the daemon's loop sleeps on it (an epoll set of them).
  int Fd() const { return epollFd_; }
  // Asks for the directions the classes now need to be queued and serves
  // what waits, without waiting: at most 256 queued packets a call, so that
  // a flood never keeps the clients waiting (Fd stays readable meanwhile).
  void Poll();
  // Sends the verdicts given since the last Poll (the engine's tick
  // releases held packets between polls).
  void SendVerdicts() { queue_.Flush(); }
  // Lets every held packet pass and removes every rule (waiting for
  // iptables: the daemon is ending).
  void Stop();
  std::size_t HeldPackets() const { return held_; }

 private:
  // Whether one direction and family of an interface goes through the
  // verdict queue.
  struct DirectionQueue {
    bool wanted = false;  // what was last asked of the rule worker
    RuleTimeline rule;    // what the rule worker reported
  };
  struct Session {
    bool open = false;
    AdapterState* adapter = nullptr;
    unsigned interfaceIndex = 0;
    std::uint32_t mtu = 0;
    std::unique_ptr<FrameCapture> capture;
    std::array<DirectionQueue, 4> directions;
    std::uint64_t matchChanges = 0;  // the adapter's, when last followed
    DirectionQueue& Of(Direction direction, IpFamily family) {
      return directions[2 * static_cast<std::size_t>(family) + static_cast<std::size_t>(direction)];
    }
  };
  struct PacketKeyHash {
    std::size_t operator()(const PacketKey& key) const;
  };
  // A verdict of the queue, until the capture sees the packet cross: a
  // later packet with the same key (its identification wrapped) is another.
  struct RememberedVerdict {
    Verdict verdict = Verdict::Pass;
    bool crossed = false;
  };

  void Watch(AdapterState& adapter);
  void OnSessionEvent(const std::string& name, AdapterState::SessionEvent event);
  void Open(const std::string& name, Session& session);
  void Close(const std::string& name, Session& session);
  void FollowClasses(const std::string& name, Session& session);
  void TakeRuleEvents();
  // Rules put back after other programs removed them: from here on
  // (before the worker starts) until Stop.
  void StartRuleWatch();
  void ReportCaptureDrops();
  void OnQueued(const QueuedPacket& queued);
  void OnFrame(Session& session, const CapturedFrame& frame);
  void Remember(const PacketKey& key, Verdict verdict);
  bool WatchFd(int fd);
  void UnwatchFd(int fd);
  // Flows no class can match leave the queue (bypass_mark.h).
  void StartBypass();
  void FollowMatchChanges();
  // False when the marks could not be cleared: the bypass stops for good.
  bool ClearMarksForANewRound();
  void PassQueueIfUnmatched(Session& session, const Packet& packet,
                            std::span<const std::uint8_t> ip);
  bool PassedQueue(const Packet& packet, std::uint64_t realtimeNanoseconds);

  PacketEngine& engine_;
  QueueRules& rules_;
  std::ostream& log_;
  QueueRuleWorker worker_;
  RulesetMonitor rulesetMonitor_;
  // Frames stamped before this are judged by what the worker reported.
  std::uint64_t eventsCompleteUntil_ = 0;
  VerdictQueue queue_;
  std::map<std::string, Session> sessions_;
  std::map<unsigned, Session*> byInterfaceIndex_;
  std::size_t held_ = 0;
  std::unordered_map<PacketKey, RememberedVerdict, PacketKeyHash> verdicts_;
  std::deque<PacketKey> verdictOrder_;
  FragmentPorts fragments_;
  ConntrackMarks conntrack_;
  BypassedFlows bypassed_;
  BypassTimeline bypassTimeline_;
  std::uint32_t bypassGeneration_ = 0;  // 0: flows are not marked
  std::uint32_t bypassWanted_ = 0;      // what was last asked of the worker
  std::chrono::steady_clock::time_point nextDropReport_;
  int epollFd_ = -1;
  bool started_ = false;
};

}  // namespace harlune
