#pragma once

// Everything the driver keeps for one adapter: the ordered class list, the
// filtering switch, the totals and the capture rings (IPv4 and IPv6). A
// packet offered to the adapter goes to the first class, in list order,
// whose record and families match it (ClassMatches).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "passthru/engine/capture_ring.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet.h"
#include "passthru/engine/rate_meter.h"
#include "passthru/engine/token_bucket.h"
#include "protocol/class_family.h"
#include "protocol/replies.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

// At most this many classes per adapter; the application uses up to 128.
inline constexpr std::size_t kMaxClassesPerAdapter = 1024;

class AdapterState {
 public:
  // Told the fate of a packet that was queued: Pass when it finally left,
  // Drop when it was thrown away.
  using OutcomeHandler = std::function<void(const Packet&, Verdict)>;
  // Told when a session starts (HlInitialize) and when it ends (the first
  // of HlReleaseAdapter and HlUninitialize after it), so that a real
  // interface can install and remove its hooks.
  enum class SessionEvent { Started, Ended };
  using SessionObserver = std::function<void(SessionEvent)>;

  AdapterState(std::string name, const Clock& clock);

  const std::string& Name() const { return name_; }
  void SetOutcomeHandler(OutcomeHandler handler) { outcome_ = std::move(handler); }
  void SetSessionObserver(SessionObserver observer) { sessionObserver_ = std::move(observer); }
  // With a separate capture of the wire (real mode) the packets offered are
  // not captured again: their records come from CaptureFrame.
  void SetCaptureOffered(bool captureOffered) { captureOffered_ = captureOffered; }

  // Every class goes (its waiting packets pass) and filtering is off; no
  // session event.
  void ResetSession();
  // HlInitialize: an empty session starts, also over one still open.
  void StartSession();
  // HlReleaseAdapter: filtering stops (waiting packets pass) and the
  // session ends; the classes stay readable until HlUninitialize.
  void ReleaseAdapter();
  // HlUninitialize: every class goes and the session, if still open, ends.
  void EndSession();
  bool InSession() const { return inSession_; }
  void StartFiltering();
  void StopFiltering();
  bool Filtering() const { return filtering_; }

  // Appends a class and returns its DriverClassId, or nothing when the
  // adapter holds kMaxClassesPerAdapter classes. Its families are what the
  // record alone says (DefaultFamiliesOf), without IPv6 prefixes.
  std::optional<std::uint32_t> AddClass(const _TBF_SETTING_DATA& record);
  // The record's DriverClassId names the class; its counters are kept. Its
  // families are set anew from the record, as on add.
  bool ModifyClass(const _TBF_SETTING_DATA& record);
  // HlSetTBFClassFamily: the families and IPv6 prefixes of the class that
  // `family.driverClassId` names.
  bool SetClassFamily(const protocol::ClassFamily& family);
  bool DeleteClass(std::uint32_t driverClassId);
  // Swap with the neighbour; a class already at that end stays (success).
  bool MoveUp(std::uint32_t driverClassId);
  bool MoveDown(std::uint32_t driverClassId);
  bool SetRate(std::uint32_t driverClassId, std::uint32_t rate);
  bool SetApplicationPorts(std::uint32_t driverClassId, std::vector<std::uint16_t> ports);

  std::optional<protocol::ClassStatistics> ClassStatistics(std::uint32_t driverClassId) const;
  protocol::TotalStatistics TotalStatistics() const;
  void ResetTraffic();

  // A packet seen on the adapter; the verdict says what happens to it now.
  Verdict Offer(const Packet& packet);
  // Whether a packet of `family` going in `direction` could be held or
  // dropped: filtering is on and a class for that direction and family is
  // available and not TBFThrough. When not, every such packet passes, and a
  // real interface need not ask.
  bool MayStopPackets(Direction direction, IpFamily family = IpFamily::Ipv4) const;
  // Whether a packet of the flow of `packet` could match one of the classes
  // (CouldMatchFlow) while they stay as they are. A real interface lets a
  // flow no class could match pass without asking the engine again.
  bool CouldMatchFlow(const Packet& packet, bool fragment) const;
  // Grows whenever the classes could match differently: a class added,
  // modified, deleted or moved, its families or application ports set, the
  // session reset or filtering switched.
  std::uint64_t MatchChanges() const { return matchChanges_; }
  // A packet that crossed the adapter without being offered (nothing could
  // stop it): counted as a passed one, by its class and in the totals.
  void CountCrossed(const Packet& packet);
  // Lets queued packets go as their buckets allow.
  void Tick();
  // When the earliest waiting packet can go (engine clock nanoseconds), so
  // that a loop need wake only then; nothing while no packet waits.
  std::optional<std::uint64_t> NextDeadline() const;
  // A frame captured on the wire: `frame` starts at the Ethernet header.
  // Recorded, in the ring of the packet's family, with the DriverClassId of
  // the class matching `packet`.
  void CaptureFrame(const Packet& packet, std::span<const std::uint8_t> frame, Verdict verdict);
  // Up to 100 IPv4 capture records, oldest first.
  std::vector<std::uint8_t> ReadPackets() { return capture_.Take(); }
  // Up to 100 IPv6 capture records, oldest first.
  std::vector<std::uint8_t> ReadPackets6() { return capture6_.Take(); }
  // The records the reads would deliver now, all of them.
  std::size_t PendingRecords() const { return capture_.Size(); }
  std::size_t PendingRecords6() const { return capture6_.Size(); }

  std::vector<std::uint32_t> ClassOrder() const;
  std::optional<_TBF_SETTING_DATA> ClassRecord(std::uint32_t driverClassId) const;
  std::optional<protocol::ClassFamily> ClassFamilyOf(std::uint32_t driverClassId) const;

 private:
  struct TrafficClass {
    _TBF_SETTING_DATA record;
    protocol::ClassFamily family;
    std::vector<std::uint16_t> applicationPorts;
    TokenBucket bucket;
    std::uint64_t passedBytes = 0;
    RateMeter rate;
  };
  using ClassList = std::list<TrafficClass>;

  ClassList::iterator Find(std::uint32_t driverClassId);
  ClassList::const_iterator Find(std::uint32_t driverClassId) const;
  TrafficClass* Match(const Packet& packet);
  void Notify(SessionEvent event) const;
  void LeaveSession();
  std::uint32_t NextClassId();
  void CountPassed(TrafficClass* trafficClass, const Packet& packet);
  void Passed(const std::vector<Packet>& packets, TrafficClass* trafficClass);
  void Dropped(const std::vector<Packet>& packets);

  std::string name_;
  const Clock& clock_;
  OutcomeHandler outcome_;
  SessionObserver sessionObserver_;
  bool captureOffered_ = true;
  ClassList classes_;
  std::uint32_t lastClassId_ = 0;
  bool filtering_ = false;
  bool inSession_ = false;
  std::uint64_t sentBytes_ = 0;
  std::uint64_t receivedBytes_ = 0;
  RateMeter sendRate_;
  RateMeter receiveRate_;
  CaptureRing capture_;
  Capture6Ring capture6_;
  std::uint16_t nextIdentification_ = 1;
  std::uint64_t matchChanges_ = 0;
};

TokenBucketSettings BucketSettingsOf(const _TBF_SETTING_DATA& record);

}  // namespace harlune
