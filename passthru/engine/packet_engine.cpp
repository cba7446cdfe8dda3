#include "passthru/engine/packet_engine.h"

namespace harlune {

AdapterState& PacketEngine::AddAdapter(const std::string& name) {
  return adapters_.try_emplace(name, name, clock_).first->second;
}

AdapterState* PacketEngine::FindAdapter(std::string_view name) {
  const auto it = adapters_.find(name);
  return it == adapters_.end() ? nullptr : &it->second;
}

std::vector<std::string> PacketEngine::AdapterNames() const {
  std::vector<std::string> names;
  for (const auto& [name, adapter] : adapters_) {
    names.push_back(name);
  }
  return names;
}

Verdict PacketEngine::Offer(std::string_view adapterName, const Packet& packet) {
  AdapterState* adapter = FindAdapter(adapterName);
  return adapter == nullptr ? Verdict::Pass : adapter->Offer(packet);
}

void PacketEngine::Tick() {
  for (auto& [name, adapter] : adapters_) {
    adapter.Tick();
  }
}

std::optional<std::uint64_t> PacketEngine::NextDeadline() const {
  std::optional<std::uint64_t> earliest;
  for (const auto& [name, adapter] : adapters_) {
    const std::optional<std::uint64_t> due = adapter.NextDeadline();
    if (due && (!earliest || *due < *earliest)) {
      earliest = due;
    }
  }
  return earliest;
}

}  // namespace harlune
