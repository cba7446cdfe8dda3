#include "passthru/engine/adapter_state.h"

#include <algorithm>
#include <iterator>

#include "passthru/engine/classifier.h"

namespace harlune {

TokenBucketSettings BucketSettingsOf(const _TBF_SETTING_DATA& record) {
  return {record.TBFRate, record.TBFMaxTokenSize, record.TBFMPU, record.TBFMaxQueueSize};
}

namespace {

protocol::ClassFamily FamilyOfRecord(const _TBF_SETTING_DATA& record, std::uint32_t classId) {
  return {classId, protocol::DefaultFamiliesOf(record), {}, {}};
}

}  // namespace

AdapterState::AdapterState(std::string name, const Clock& clock)
    : name_(std::move(name)), clock_(clock) {}

AdapterState::ClassList::iterator AdapterState::Find(std::uint32_t driverClassId) {
  return std::find_if(classes_.begin(), classes_.end(), [driverClassId](const TrafficClass& c) {
    return c.record.DriverClassId == driverClassId;
  });
}

AdapterState::ClassList::const_iterator AdapterState::Find(std::uint32_t driverClassId) const {
  return std::find_if(classes_.begin(), classes_.end(), [driverClassId](const TrafficClass& c) {
    return c.record.DriverClassId == driverClassId;
  });
}

std::uint32_t AdapterState::NextClassId() {
  // Ids are never 0 (the capture records' "no class") and never reused while
  // the counter has not wrapped; after a wrap, ids in use are skipped.
  do {
    ++lastClassId_;
  } while (lastClassId_ == 0 || Find(lastClassId_) != classes_.end());
  return lastClassId_;
}

void AdapterState::Notify(SessionEvent event) const {
  if (sessionObserver_) {
    sessionObserver_(event);
  }
}

void AdapterState::ResetSession() {
  for (TrafficClass& c : classes_) {
    Passed(c.bucket.Flush(), nullptr);
  }
  classes_.clear();
  filtering_ = false;
  ++matchChanges_;
}

void AdapterState::StartSession() {
  ResetSession();
  inSession_ = true;
  Notify(SessionEvent::Started);
}

void AdapterState::ReleaseAdapter() {
  StopFiltering();
  LeaveSession();
}

void AdapterState::EndSession() {
  ResetSession();
  LeaveSession();
}

void AdapterState::LeaveSession() {
  // The application releases and then uninitializes: one end, told once.
  if (inSession_) {
    inSession_ = false;
    Notify(SessionEvent::Ended);
  }
}

void AdapterState::StartFiltering() {
  filtering_ = true;
  ++matchChanges_;
}

void AdapterState::StopFiltering() {
  filtering_ = false;
  ++matchChanges_;
  for (TrafficClass& c : classes_) {
    Passed(c.bucket.Flush(), &c);
  }
}

std::optional<std::uint32_t> AdapterState::AddClass(const _TBF_SETTING_DATA& record) {
  if (classes_.size() >= kMaxClassesPerAdapter) {
    return std::nullopt;
  }
  const std::uint64_t now = clock_.NowNanoseconds();
  const std::uint32_t classId = NextClassId();
  TrafficClass added{record, FamilyOfRecord(record, classId),
                     {},     TokenBucket(BucketSettingsOf(record), now),
                     0,      {}};
  added.record.DriverClassId = classId;
  classes_.push_back(std::move(added));
  ++matchChanges_;
  return classes_.back().record.DriverClassId;
}

bool AdapterState::ModifyClass(const _TBF_SETTING_DATA& record) {
  const auto it = Find(record.DriverClassId);
  if (it == classes_.end()) {
    return false;
  }
  it->record = record;
  it->family = FamilyOfRecord(record, record.DriverClassId);
  ++matchChanges_;
  Dropped(it->bucket.Reconfigure(BucketSettingsOf(record), clock_.NowNanoseconds()));
  if (record.TBFThrough == 1) {
    Passed(it->bucket.Flush(), &*it);
  }
  return true;
}

bool AdapterState::SetClassFamily(const protocol::ClassFamily& family) {
  const auto it = Find(family.driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  it->family = family;
  ++matchChanges_;
  return true;
}

bool AdapterState::DeleteClass(std::uint32_t driverClassId) {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  // What waited in the class is no longer limited by anything.
  Passed(it->bucket.Flush(), nullptr);
  classes_.erase(it);
  ++matchChanges_;
  return true;
}

bool AdapterState::MoveUp(std::uint32_t driverClassId) {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  if (it != classes_.begin()) {
    classes_.splice(std::prev(it), classes_, it);
    ++matchChanges_;
  }
  return true;
}

bool AdapterState::MoveDown(std::uint32_t driverClassId) {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  const auto next = std::next(it);
  if (next != classes_.end()) {
    classes_.splice(it, classes_, next);
    ++matchChanges_;
  }
  return true;
}

bool AdapterState::SetRate(std::uint32_t driverClassId, std::uint32_t rate) {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  it->record.TBFRate = rate;
  Dropped(it->bucket.SetRate(rate, clock_.NowNanoseconds()));
  return true;
}

bool AdapterState::SetApplicationPorts(std::uint32_t driverClassId,
                                       std::vector<std::uint16_t> ports) {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return false;
  }
  if (it->applicationPorts != ports) {
    it->applicationPorts = std::move(ports);
    ++matchChanges_;
  }
  return true;
}

std::optional<protocol::ClassStatistics> AdapterState::ClassStatistics(
    std::uint32_t driverClassId) const {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return std::nullopt;
  }
  return protocol::ClassStatistics{it->passedBytes, it->rate.Rate(clock_.NowNanoseconds())};
}

protocol::TotalStatistics AdapterState::TotalStatistics() const {
  const std::uint64_t now = clock_.NowNanoseconds();
  return {sentBytes_, receivedBytes_, sendRate_.Rate(now), receiveRate_.Rate(now)};
}

void AdapterState::ResetTraffic() {
  sentBytes_ = 0;
  receivedBytes_ = 0;
  sendRate_.Reset();
  receiveRate_.Reset();
}

void AdapterState::CountPassed(TrafficClass* trafficClass, const Packet& packet) {
  const std::uint64_t now = clock_.NowNanoseconds();
  if (trafficClass != nullptr) {
    trafficClass->passedBytes += packet.length;
    trafficClass->rate.Add(packet.length, now);
  }
  if (packet.direction == Direction::Send) {
    sentBytes_ += packet.length;
    sendRate_.Add(packet.length, now);
  } else {
    receivedBytes_ += packet.length;
    receiveRate_.Add(packet.length, now);
  }
}

void AdapterState::Passed(const std::vector<Packet>& packets, TrafficClass* trafficClass) {
  for (const Packet& packet : packets) {
    CountPassed(trafficClass, packet);
    if (outcome_) {
      outcome_(packet, Verdict::Pass);
    }
  }
}

void AdapterState::Dropped(const std::vector<Packet>& packets) {
  if (outcome_) {
    for (const Packet& packet : packets) {
      outcome_(packet, Verdict::Drop);
    }
  }
}

AdapterState::TrafficClass* AdapterState::Match(const Packet& packet) {
  const auto match =
      std::find_if(classes_.begin(), classes_.end(), [&packet](const TrafficClass& c) {
        return ClassMatches(c.record, c.family, c.applicationPorts, packet);
      });
  return match == classes_.end() ? nullptr : &*match;
}

Verdict AdapterState::Offer(const Packet& packet) {
  TrafficClass* matched = Match(packet);
  Verdict verdict = Verdict::Pass;
  if (matched != nullptr && filtering_ && matched->record.TBFThrough != 1) {
    verdict = matched->bucket.Offer(packet, clock_.NowNanoseconds());
  }
  if (verdict == Verdict::Pass) {
    CountPassed(matched, packet);
  }
  if (captureOffered_) {
    const std::uint32_t classId = matched == nullptr ? 0 : matched->record.DriverClassId;
    if (packet.family == IpFamily::Ipv6) {
      capture6_.Push(EncodeCapture6Of(packet, classId, verdict));
    } else {
      capture_.Push(EncodeCaptureRecord(packet, classId, verdict, nextIdentification_++));
    }
  }
  return verdict;
}

bool AdapterState::MayStopPackets(Direction direction, IpFamily family) const {
  return filtering_ &&
         std::any_of(classes_.begin(), classes_.end(), [direction, family](const auto& c) {
           return c.record.Available == 1 &&
                  c.record.TBFMode == static_cast<std::uint32_t>(direction) &&
                  c.record.TBFThrough != 1 && FamilyApplies(c.family.families, family);
         });
}

bool AdapterState::CouldMatchFlow(const Packet& packet, bool fragment) const {
  return std::any_of(classes_.begin(), classes_.end(),
                     [&](const TrafficClass& c) {
                       return harlune::CouldMatchFlow(c.record, c.family, c.applicationPorts,
                                                      packet, fragment);
                     }) ||
         !SpeaksForItsFlow(packet, fragment);
}

void AdapterState::CountCrossed(const Packet& packet) { CountPassed(Match(packet), packet); }

void AdapterState::CaptureFrame(const Packet& packet, std::span<const std::uint8_t> frame,
                                Verdict verdict) {
  const TrafficClass* matched = Match(packet);
  const std::uint32_t classId = matched == nullptr ? 0 : matched->record.DriverClassId;
  if (packet.family == IpFamily::Ipv6) {
    capture6_.Push(EncodeFrame6Record(frame, classId, packet.direction, verdict));
  } else {
    capture_.Push(EncodeFrameRecord(frame, classId, packet.direction, verdict));
  }
}

void AdapterState::Tick() {
  const std::uint64_t now = clock_.NowNanoseconds();
  for (TrafficClass& c : classes_) {
    if (c.bucket.QueueLength() != 0) {
      Passed(c.bucket.Release(now), &c);
    }
  }
}

std::optional<std::uint64_t> AdapterState::NextDeadline() const {
  std::optional<std::uint64_t> earliest;
  for (const TrafficClass& c : classes_) {
    const std::optional<std::uint64_t> release = c.bucket.NextReleaseNanoseconds();
    if (release && (!earliest || *release < *earliest)) {
      earliest = release;
    }
  }
  return earliest;
}

std::vector<std::uint32_t> AdapterState::ClassOrder() const {
  std::vector<std::uint32_t> order;
  order.reserve(classes_.size());
  for (const TrafficClass& c : classes_) {
    order.push_back(c.record.DriverClassId);
  }
  return order;
}

std::optional<_TBF_SETTING_DATA> AdapterState::ClassRecord(std::uint32_t driverClassId) const {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return std::nullopt;
  }
  return it->record;
}

std::optional<protocol::ClassFamily> AdapterState::ClassFamilyOf(
    std::uint32_t driverClassId) const {
  const auto it = Find(driverClassId);
  if (it == classes_.end()) {
    return std::nullopt;
  }
  return it->family;
}

}  // namespace harlune
