#include "passthru/real/real_traffic.h"

#include <poll.h>

#include <net/if.h>

namespace harlune {
namespace {

constexpr std::size_t kEthernetHeaderSize = 14;

}  // namespace

RealTraffic::RealTraffic(PacketEngine& engine, QueueRules& rules, std::ostream& log)
    : engine_(engine), rules_(rules), log_(log) {}

RealTraffic::~RealTraffic() { Stop(); }

std::string RealTraffic::Start() {
  if (!rules_.Prepare()) {
    return "cannot set up the iptables chains (is iptables installed, and are we root?)";
  }
  started_ = true;
  if (std::string error = queue_.Open(kVerdictQueueNumber, kVerdictQueueLength); !error.empty()) {
    Stop();
    return error;
  }
  for (const std::string& name : engine_.AdapterNames()) {
    Watch(*engine_.FindAdapter(name));
  }
  return {};
}

void RealTraffic::Watch(AdapterState& adapter) {
  const std::string name = adapter.Name();
  sessions_.try_emplace(name);
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
  if (session.interfaceIndex == 0 || !rules_.Add(name)) {
    log_ << "harlune-passthru: cannot queue the packets of " << name << std::endl;
    return;
  }
  session.open = true;
  byInterfaceIndex_[session.interfaceIndex] = engine_.FindAdapter(name);
  session.capture = std::make_unique<FrameCapture>();
  if (const std::string error = session.capture->Open(name); !error.empty()) {
    // Shaping and statistics work without it; only the capture records miss.
    log_ << "harlune-passthru: no capture on " << name << ": " << error << std::endl;
    session.capture.reset();
  }
}

void RealTraffic::Close(const std::string& name, Session& session) {
  if (!session.open) {
    return;
  }
  if (!rules_.Remove(name)) {
    log_ << "harlune-passthru: cannot remove the rules of " << name << std::endl;
  }
  byInterfaceIndex_.erase(session.interfaceIndex);
  session.capture.reset();
  session.open = false;
}

void RealTraffic::Remember(const PacketKey& key, Verdict verdict) {
  if (!verdicts_.insert_or_assign(key, verdict).second) {
    return;
  }
  verdictOrder_.push_back(key);
  if (verdictOrder_.size() > kRememberedVerdicts) {
    verdicts_.erase(verdictOrder_.front());
    verdictOrder_.pop_front();
  }
}

Verdict RealTraffic::RememberedVerdict(const PacketKey& key) const {
  const auto it = verdicts_.find(key);
  return it == verdicts_.end() ? Verdict::Pass : it->second;
}

void RealTraffic::OnQueued(const QueuedPacket& queued) {
  const Direction direction = queued.outInterface != 0 ? Direction::Send : Direction::Receive;
  const auto adapter = byInterfaceIndex_.find(direction == Direction::Send ? queued.outInterface
                                                                           : queued.inInterface);
  std::optional<Packet> packet = ParseIpv4Packet(queued.ip, direction);
  if (adapter == byInterfaceIndex_.end() || !packet) {
    queue_.Verdict(queued.id, true);
    return;
  }
  packet->sourceTag = queued.id;
  const Verdict verdict = adapter->second->Offer(*packet);
  if (const std::optional<PacketKey> key = KeyOfIpv4Packet(queued.ip, direction)) {
    Remember(*key, verdict);
  }
  if (verdict == Verdict::Queued) {
    ++held_;
  } else {
    queue_.Verdict(queued.id, verdict == Verdict::Pass);
  }
}

void RealTraffic::OnFrame(AdapterState& adapter, std::span<const std::uint8_t> frame,
                          bool outgoing) {
  if (frame.size() <= kEthernetHeaderSize) {
    return;
  }
  const Direction direction = outgoing ? Direction::Send : Direction::Receive;
  const auto ip = frame.subspan(kEthernetHeaderSize);
  const std::optional<Packet> packet = ParseIpv4Packet(ip, direction);
  const std::optional<PacketKey> key = KeyOfIpv4Packet(ip, direction);
  if (packet && key) {
    adapter.CaptureFrame(*packet, frame, RememberedVerdict(*key));
  }
}

void RealTraffic::Poll(int timeoutMilliseconds) {
  std::vector<pollfd> watched{{queue_.Fd(), POLLIN, 0}};
  std::vector<std::pair<AdapterState*, FrameCapture*>> captures;
  for (auto& [name, session] : sessions_) {
    if (session.capture) {
      watched.push_back({session.capture->Fd(), POLLIN, 0});
      captures.emplace_back(engine_.FindAdapter(name), session.capture.get());
    }
  }
  ::poll(watched.data(), watched.size(), timeoutMilliseconds);
  // The queue first: a frame captured on arrival finds its verdict then.
  queue_.Receive([this](const QueuedPacket& queued) { OnQueued(queued); });
  for (auto& [adapter, capture] : captures) {
    capture->Receive([this, adapter = adapter](std::span<const std::uint8_t> frame, bool out) {
      OnFrame(*adapter, frame, out);
    });
  }
}

void RealTraffic::Stop() {
  if (!started_) {
    return;
  }
  started_ = false;
  for (auto& [name, session] : sessions_) {
    AdapterState* adapter = engine_.FindAdapter(name);
    adapter->StopFiltering();  // held packets pass
    adapter->SetSessionObserver(nullptr);
    adapter->SetOutcomeHandler(nullptr);
    session.capture.reset();
    session.open = false;
  }
  byInterfaceIndex_.clear();
  rules_.RemoveAll();
}

}  // namespace harlune
