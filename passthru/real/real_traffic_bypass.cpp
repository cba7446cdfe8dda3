// The part of real mode that lets flows no class can match leave the verdict
// queue (real_traffic.h, bypass_mark.h).

#include "passthru/real/bypass_mark.h"
#include "passthru/real/real_traffic.h"

namespace harlune {

void RealTraffic::StartBypass() {
  if (const std::string error = conntrack_.Open(); !error.empty()) {
    log_ << "harlune-passthru: " << error << "; every packet of a queued direction is queued"
         << std::endl;
    return;
  }
  // Marks an earlier run gave would let flows pass the rules of this one.
  if (conntrack_.ClearAll(kBypassMarkMask) < 0) {
    log_ << "harlune-passthru: cannot read the conntrack table (is nf_conntrack_netlink "
            "there?); every packet of a queued direction is queued"
         << std::endl;
    return;
  }
  // The rules come with the first queued direction (FollowMatchChanges).
  bypassGeneration_ = 1;
}

void RealTraffic::FollowMatchChanges() {
  bool changed = false;
  bool queued = false;
  for (auto& [name, session] : sessions_) {
    const std::uint64_t changes = session.adapter->MatchChanges();
    changed = changed || changes != session.matchChanges;
    session.matchChanges = changes;
    for (const DirectionQueue& direction : session.directions) {
      queued = queued || direction.wanted;
    }
  }
  if (bypassGeneration_ == 0) {
    return;
  }
  if (changed) {
    const std::uint32_t next = NextBypassGeneration(bypassGeneration_);
    if (WrapsAround(bypassGeneration_, next) && !ClearMarksForANewRound()) {
      return;
    }
    bypassGeneration_ = next;
  }
  // Only while a direction is queued: the connmark match makes conntrack
  // track every packet of the network namespace, which costs where nothing
  // needs it.
  const std::uint32_t wanted = queued ? bypassGeneration_ : 0;
  if (wanted != bypassWanted_) {
    bypassWanted_ = wanted;
    worker_.WantBypass(wanted);
  }
}

bool RealTraffic::ClearMarksForANewRound() {
  // A flow idle since a generation was last used may still carry it. A dump
  // the kernel cut short (the table changed under it) is read again.
  if (conntrack_.ClearAll(kBypassMarkMask) >= 0 || conntrack_.ClearAll(kBypassMarkMask) >= 0) {
    bypassed_.KeepOnly(bypassGeneration_);
    return true;
  }
  log_ << "harlune-passthru: cannot clear the conntrack marks; every packet of a queued "
          "direction is queued from now on"
       << std::endl;
  bypassGeneration_ = 0;
  bypassWanted_ = 0;
  worker_.WantBypass(0);
  return false;
}

void RealTraffic::PassQueueIfUnmatched(Session& session, const Packet& packet,
                                       std::span<const std::uint8_t> ip) {
  // The classes are those of this generation or newer (it moves on after
  // they change), so a flow judged here is never marked as judged earlier.
  const std::uint32_t generation = bypassGeneration_;
  const FlowKey flow = FlowKeyOf(packet);
  const Direction direction = packet.direction;
  if (generation == 0 || bypassed_.MarkedIn(flow, direction, generation) ||
      !bypassed_.WorthTrying(flow, direction, generation) ||
      session.adapter->CouldMatchFlow(packet, IsIpFragment(ip))) {
    return;
  }
  const bool send = direction == Direction::Send;
  const Direction other = send ? Direction::Receive : Direction::Send;
  // The other direction keeps its bit when it was judged in this generation.
  const bool otherMarked = bypassed_.MarkedIn(flow, other, generation);
  const std::uint32_t mark = BypassMark(generation, send || otherMarked, !send || otherMarked);
  const bool taken = conntrack_.Set(HeaderTupleOf(packet), mark, kBypassMarkMask);
  // Read after conntrack took it: frames captured from now on passed the
  // queue (the kernel's capture of a packet comes before the hook it meets
  // on arrival and after it on departure).
  const std::uint64_t now = RealtimeNanoseconds();
  if (taken) {
    bypassed_.Marked(flow, direction, generation, now);
  } else {
    bypassed_.Failed(flow, direction, generation);
  }
}

bool RealTraffic::PassedQueue(const Packet& packet, std::uint64_t realtimeNanoseconds) {
  const std::optional<std::uint32_t> generation =
      bypassed_.GenerationAt(FlowKeyOf(packet), packet.direction, realtimeNanoseconds);
  return generation && bypassTimeline_.MayPassAt(*generation, realtimeNanoseconds);
}

}  // namespace harlune
