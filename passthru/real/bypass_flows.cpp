#include "passthru/real/bypass_flows.h"

#include <cstring>
#include <functional>

namespace harlune {
namespace {

std::size_t Index(Direction direction) { return static_cast<std::size_t>(direction); }

}  // namespace

FlowKey FlowKeyOf(const Packet& packet) {
  return {packet.localAddress, packet.remoteAddress, packet.localPort,
          packet.remotePort,   packet.protocol,      packet.family};
}

std::size_t BypassedFlows::FlowKeyHash::operator()(const FlowKey& flow) const {
  std::uint64_t hash =
      (std::uint64_t{flow.localPort} << 24) | (std::uint64_t{flow.remotePort} << 8) | flow.protocol;
  for (const IpAddress& address : {flow.localAddress, flow.remoteAddress}) {
    std::uint64_t half[2] = {0, 0};
    std::memcpy(half, address.Ipv6Bytes().data(), sizeof half);
    hash = (hash ^ half[0]) * 0x9E3779B97F4A7C15ull;
    hash = (hash ^ half[1]) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  return std::hash<std::uint64_t>{}(hash);
}

BypassedFlows::Entry& BypassedFlows::Touch(const FlowKey& flow) {
  const auto [entry, added] = flows_.try_emplace(flow);
  if (added) {
    entry->second.use = uses_.insert(uses_.end(), flow);
    if (flows_.size() > capacity_) {
      flows_.erase(uses_.front());
      uses_.pop_front();
    }
  } else {
    uses_.splice(uses_.end(), uses_, entry->second.use);
  }
  return entry->second;
}

void BypassedFlows::Marked(const FlowKey& flow, Direction direction, std::uint32_t generation,
                           std::uint64_t at) {
  DirectionMarks& marks = Touch(flow).directions[Index(direction)];
  marks.recent[0] = marks.recent[1];
  marks.recent[1] = {generation, at};
}

bool BypassedFlows::MarkedIn(const FlowKey& flow, Direction direction,
                             std::uint32_t generation) const {
  const auto entry = flows_.find(flow);
  return entry != flows_.end() &&
         entry->second.directions[Index(direction)].recent[1].generation == generation;
}

std::optional<std::uint32_t> BypassedFlows::GenerationAt(const FlowKey& flow, Direction direction,
                                                         std::uint64_t at) {
  const auto entry = flows_.find(flow);
  if (entry == flows_.end()) {
    return std::nullopt;
  }
  uses_.splice(uses_.end(), uses_, entry->second.use);
  const DirectionMarks& marks = entry->second.directions[Index(direction)];
  for (auto mark = marks.recent.rbegin(); mark != marks.recent.rend(); ++mark) {
    if (mark->generation != 0 && at >= mark->at) {
      return mark->generation;
    }
  }
  return std::nullopt;
}

void BypassedFlows::Failed(const FlowKey& flow, Direction direction, std::uint32_t generation) {
  DirectionMarks& marks = Touch(flow).directions[Index(direction)];
  if (marks.failedGeneration != generation) {
    marks.failedGeneration = generation;
    marks.failures = 0;
  }
  ++marks.failures;
}

bool BypassedFlows::WorthTrying(const FlowKey& flow, Direction direction,
                                std::uint32_t generation) const {
  const auto entry = flows_.find(flow);
  if (entry == flows_.end()) {
    return true;
  }
  const DirectionMarks& marks = entry->second.directions[Index(direction)];
  return marks.failedGeneration != generation || marks.failures < kMaxFailures;
}

void BypassedFlows::KeepOnly(std::uint32_t generation) {
  for (auto& [flow, entry] : flows_) {
    for (DirectionMarks& marks : entry.directions) {
      for (Mark& mark : marks.recent) {
        if (mark.generation != generation) {
          mark = Mark{};
        }
      }
    }
  }
}

}  // namespace harlune
