#include "passthru/real/real_traffic.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <net/if.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace harlune {
namespace {

constexpr std::size_t kEthernetHeaderSize = 14;
constexpr std::uint32_t kEthernetMtu = 1500;
constexpr Direction kDirections[] = {Direction::Send, Direction::Receive};
constexpr IpFamily kFamilies[] = {IpFamily::Ipv4, IpFamily::Ipv6};
constexpr auto kDropReportInterval = std::chrono::seconds(10);

std::uint32_t InterfaceMtu(const std::string& name) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const bool known = fd >= 0 && ::ioctl(fd, SIOCGIFMTU, &request) == 0 && request.ifr_mtu > 0;
  if (fd >= 0) {
    ::close(fd);
  }
  return known ? static_cast<std::uint32_t>(request.ifr_mtu) : kEthernetMtu;
}

std::string DirectionName(Direction direction, IpFamily family) {
  return std::string(direction == Direction::Send ? "outgoing" : "incoming") +
         (family == IpFamily::Ipv6 ? " IPv6" : "");
}

}  // namespace

std::size_t RealTraffic::PacketKeyHash::operator()(const PacketKey& key) const {
  std::uint64_t hash = (std::uint64_t{key.identification} << 32) | key.detail;
  const auto mix = [&hash](std::uint64_t value) {
    hash = (hash ^ value) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  };
  for (const IpAddress& address : {key.source, key.destination}) {
    std::uint64_t half[2] = {0, 0};
    std::memcpy(half, address.Ipv6Bytes().data(), sizeof half);
    mix(half[0]);
    mix(half[1]);
  }
  mix((std::uint64_t{key.ports} << 16) | (std::uint64_t{key.protocol} << 8) |
      static_cast<std::uint64_t>(key.direction));
  return std::hash<std::uint64_t>{}(hash);
}

RealTraffic::RealTraffic(PacketEngine& engine, QueueRules& rules, std::ostream& log)
    : engine_(engine), rules_(rules), log_(log), worker_(rules, RealtimeNanoseconds) {
  verdicts_.reserve(kRememberedVerdicts * 2);
}

RealTraffic::~RealTraffic() {
  Stop();
  if (epollFd_ >= 0) {
    ::close(epollFd_);
  }
}

bool RealTraffic::WatchFd(int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0;
}

void RealTraffic::UnwatchFd(int fd) { ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr); }

std::string RealTraffic::Start() {
  if (!rules_.Prepare()) {
    return "cannot set up the iptables chains (is iptables installed, and are we root?)";
  }
  started_ = true;
  if (!rules_.Ipv6Available()) {
    log_ << "harlune-passthru: cannot set up the ip6tables chains; IPv6 packets are counted "
            "and captured but never held or dropped"
         << std::endl;
  }
  StartRuleWatch();
  if (std::string error = worker_.Start(); !error.empty()) {
    Stop();
    return error;
  }
  if (std::string error = queue_.Open(kVerdictQueueNumber, kVerdictQueueLength); !error.empty()) {
    Stop();
    return error;
  }
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0 || !WatchFd(queue_.Fd()) || !WatchFd(worker_.Fd()) ||
      (rulesetMonitor_.Fd() >= 0 && !WatchFd(rulesetMonitor_.Fd()))) {
    const std::string reason = std::strerror(errno);  // before Stop's iptables calls
    Stop();
    return "cannot watch the verdict queue and the rule worker: " + reason;
  }
  StartBypass();
  for (const std::string& name : engine_.AdapterNames()) {
    Watch(*engine_.FindAdapter(name));
  }
  nextDropReport_ = std::chrono::steady_clock::now() + kDropReportInterval;
  return {};
}

void RealTraffic::StartRuleWatch() {
  if (!rules_.StartWatching()) {
    log_ << "harlune-passthru: cannot read back the rules just made; rules other programs "
            "remove are not put back"
         << std::endl;
  }
  const std::string error = rulesetMonitor_.Open();
  if (!error.empty()) {
    log_ << "harlune-passthru: " << error << "; the rules are checked every "
         << kRuleCheckInterval.count() << " ms instead" << std::endl;
  }
  worker_.WatchRules(error.empty());
}

void RealTraffic::Watch(AdapterState& adapter) {
  const std::string name = adapter.Name();
  sessions_.try_emplace(name).first->second.adapter = &adapter;
  adapter.SetCaptureOffered(false);
  adapter.SetSessionObserver(
      [this, name](AdapterState::SessionEvent event) { OnSessionEvent(name, event); });
  adapter.SetOutcomeHandler([this](const Packet& packet, Verdict verdict) {
    queue_.Verdict(static_cast<std::uint32_t>(packet.sourceTag), verdict == Verdict::Pass);
    --held_;
  });
}

void RealTraffic::OnSessionEvent(const std::string& name, AdapterState::SessionEvent event) {
  Session& session = sessions_[name];
  if (event == AdapterState::SessionEvent::Started) {
    Open(name, session);
  } else {
    Close(name, session);
  }
}

void RealTraffic::Open(const std::string& name, Session& session) {
  if (session.open) {
    return;
  }
  session.interfaceIndex = ::if_nametoindex(name.c_str());
  if (session.interfaceIndex == 0 || !UsableInterfaceName(name)) {
    log_ << "harlune-passthru: cannot queue the packets of " << name << std::endl;
    return;
  }
  session.open = true;
  session.mtu = InterfaceMtu(name);
  // The directions keep what the worker reported: a rule of the last
  // session may still be on its way out.
  byInterfaceIndex_[session.interfaceIndex] = &session;
  session.capture = std::make_unique<FrameCapture>();
  if (const std::string error = session.capture->Open(name); !error.empty()) {
    // Shaping and counting work without it, through the queue in both
    // directions; only the capture records miss.
    log_ << "harlune-passthru: no capture on " << name << ": " << error << std::endl;
    session.capture.reset();
  } else if (!WatchFd(session.capture->Fd())) {
    log_ << "harlune-passthru: no capture on " << name << ": cannot watch it" << std::endl;
    session.capture.reset();
  }
}

void RealTraffic::Close(const std::string& name, Session& session) {
  if (!session.open) {
    return;
  }
  // Asked even when not wanted: a removal iptables refused is tried again.
  for (const IpFamily family : kFamilies) {
    for (const Direction direction : kDirections) {
      session.Of(direction, family).wanted = false;
      worker_.Want(name, direction, false, family);
    }
  }
  byInterfaceIndex_.erase(session.interfaceIndex);
  if (session.capture) {
    UnwatchFd(session.capture->Fd());
  }
  session.capture.reset();
  session.open = false;
}

void RealTraffic::FollowClasses(const std::string& name, Session& session) {
  for (const IpFamily family : kFamilies) {
    if (family == IpFamily::Ipv6 && !rules_.Ipv6Available()) {
      continue;
    }
    for (const Direction direction : kDirections) {
      DirectionQueue& queue = session.Of(direction, family);
      // Without a capture (an interface that is not Ethernet) only the
      // queue can count, so it takes everything.
      const bool wanted = !session.capture || session.adapter->MayStopPackets(direction, family);
      if (wanted != queue.wanted) {
        queue.wanted = wanted;
        worker_.Want(name, direction, wanted, family);
      }
    }
  }
}

void RealTraffic::TakeRuleEvents() {
  RuleEvents taken = worker_.TakeEvents();
  eventsCompleteUntil_ = taken.completeUntil;
  for (const std::string& report : taken.reports) {
    log_ << "harlune-passthru: " << report << std::endl;
  }
  for (const RuleEvent& event : taken.events) {
    if (event.bypass) {
      bypassTimeline_.Apply(event);
      if (event.kind == RuleEvent::Kind::Refused) {
        log_ << "harlune-passthru: cannot move the rules that let unmatched flows pass the queue"
             << std::endl;
      }
      continue;
    }
    if (const auto session = sessions_.find(event.interfaceName); session != sessions_.end()) {
      session->second.Of(event.direction, event.family).rule.Apply(event);
    }
    if (event.kind == RuleEvent::Kind::Refused) {
      // Once: the worker does not ask again until the classes change.
      log_ << "harlune-passthru: cannot " << (event.queued ? "stop queueing" : "queue") << " the "
           << DirectionName(event.direction, event.family) << " packets of " << event.interfaceName
           << std::endl;
    }
  }
}

void RealTraffic::ReportCaptureDrops() {
  const auto now = std::chrono::steady_clock::now();
  if (now < nextDropReport_) {
    return;
  }
  nextDropReport_ = now + kDropReportInterval;
  for (auto& [name, session] : sessions_) {
    if (!session.capture) {
      continue;
    }
    if (const std::uint32_t dropped = session.capture->TakeDropCount(); dropped != 0) {
      log_ << "harlune-passthru: the capture of " << name << " missed " << dropped
           << " frames (records, and counts of directions not queued, are short)" << std::endl;
    }
  }
}

void RealTraffic::Remember(const PacketKey& key, Verdict verdict) {
  if (!verdicts_.insert_or_assign(key, RememberedVerdict{verdict, false}).second) {
    return;
  }
  verdictOrder_.push_back(key);
  if (verdictOrder_.size() > kRememberedVerdicts) {
    verdicts_.erase(verdictOrder_.front());
    verdictOrder_.pop_front();
  }
}

void RealTraffic::OnQueued(const QueuedPacket& queued) {
  const Direction direction = queued.outInterface != 0 ? Direction::Send : Direction::Receive;
  const auto link = byInterfaceIndex_.find(direction == Direction::Send ? queued.outInterface
                                                                        : queued.inInterface);
  std::optional<Packet> packet =
      ParseIpPacket(queued.ip, direction, fragments_, RealtimeNanoseconds());
  if (link == byInterfaceIndex_.end() || !packet) {
    queue_.Verdict(queued.id, true);
    return;
  }
  packet->sourceTag = queued.id;
  // Offload packets count, and cost tokens, as the packets they become.
  packet->length =
      WireLength(queued.ip, std::max(queued.length, packet->length), link->second->mtu);
  const Verdict verdict = link->second->adapter->Offer(*packet);
  if (const std::optional<PacketKey> key = KeyOfIpPacket(queued.ip, direction)) {
    Remember(*key, verdict);
  }
  if (verdict == Verdict::Pass) {
    PassQueueIfUnmatched(*link->second, *packet, queued.ip);
  }
  if (verdict == Verdict::Queued) {
    ++held_;
  } else {
    queue_.Verdict(queued.id, verdict == Verdict::Pass);
  }
}

void RealTraffic::OnFrame(Session& session, const CapturedFrame& frame) {
  if (frame.bytes.size() <= kEthernetHeaderSize || frame.length <= kEthernetHeaderSize) {
    return;
  }
  const Direction direction = frame.outgoing ? Direction::Send : Direction::Receive;
  const auto ip = frame.bytes.subspan(kEthernetHeaderSize);
  std::optional<Packet> packet =
      ParseIpPacket(ip, direction, fragments_, frame.realtimeNanoseconds);
  const std::optional<PacketKey> key = KeyOfIpPacket(ip, direction);
  if (!packet || !key) {
    return;
  }
  Verdict verdict = Verdict::Pass;
  bool seenByQueue = false;
  if (const auto remembered = verdicts_.find(*key);
      remembered != verdicts_.end() && !remembered->second.crossed) {
    verdict = remembered->second.verdict;
    remembered->second.crossed = true;
    seenByQueue = true;
  }
  // A change the worker started before the frame must be known to judge it.
  if (frame.realtimeNanoseconds >= eventsCompleteUntil_) {
    TakeRuleEvents();
  }
  // A packet the queue has seen was counted there (a held packet released
  // after its direction stopped being queued, say).
  if (!seenByQueue &&
      (!session.Of(direction, packet->family).rule.QueuedAt(frame.realtimeNanoseconds) ||
       PassedQueue(*packet, frame.realtimeNanoseconds))) {
    const auto ipLength = static_cast<std::uint32_t>(frame.length - kEthernetHeaderSize);
    packet->length = WireLength(ip, std::max(ipLength, packet->length), session.mtu);
    session.adapter->CountCrossed(*packet);
    verdict = Verdict::Pass;
  }
  session.adapter->CaptureFrame(*packet, frame.bytes, verdict);
}

void RealTraffic::Poll() {
  std::vector<Session*> captures;
  for (auto& [name, session] : sessions_) {
    if (session.open) {
      FollowClasses(name, session);
    }
    if (session.capture) {
      captures.push_back(&session);
    }
  }
  FollowMatchChanges();
  if (rulesetMonitor_.TakeChanges()) {
    worker_.WantCheck();
  }
  TakeRuleEvents();
  // The queue first: a frame captured on arrival finds its verdict then.
  queue_.Receive([this](const QueuedPacket& queued) { OnQueued(queued); });
  for (Session* session : captures) {
    session->capture->Receive(
        [this, session](const CapturedFrame& frame) { OnFrame(*session, frame); });
  }
  ReportCaptureDrops();
}

void RealTraffic::Stop() {
  if (!started_) {
    return;
  }
  started_ = false;
  worker_.Stop();  // the rules are the loop's again
  for (auto& [name, session] : sessions_) {
    session.adapter->StopFiltering();  // held packets pass
    session.adapter->SetSessionObserver(nullptr);
    session.adapter->SetOutcomeHandler(nullptr);
    session.capture.reset();
    session.open = false;
  }
  queue_.Flush();
  byInterfaceIndex_.clear();
  rules_.RemoveAll();
}

}  // namespace harlune
