#include "passthru/real/fragment_ports.h"

namespace harlune {

void FragmentPorts::Forget(std::uint64_t nowNanoseconds) {
  while (!order_.empty() && (order_.size() > capacity_ ||
                             order_.front().second + kFragmentMemoryNanoseconds < nowNanoseconds)) {
    // An entry renewed since keeps its later time; only its own turn ends it.
    const auto found = entries_.find(order_.front().first);
    if (found != entries_.end() && found->second.at == order_.front().second) {
      entries_.erase(found);
    }
    order_.pop_front();
  }
}

void FragmentPorts::Remember(const IpAddress& source, const IpAddress& destination,
                             std::uint32_t identification, const FragmentedPorts& ports,
                             std::uint64_t nowNanoseconds) {
  if (capacity_ == 0) {
    return;
  }
  const Key key{source, destination, identification};
  entries_[key] = Entry{ports, nowNanoseconds};
  order_.emplace_back(key, nowNanoseconds);
  Forget(nowNanoseconds);
}

std::optional<FragmentedPorts> FragmentPorts::Find(const IpAddress& source,
                                                   const IpAddress& destination,
                                                   std::uint32_t identification,
                                                   std::uint64_t nowNanoseconds) const {
  const auto found = entries_.find(Key{source, destination, identification});
  if (found == entries_.end() || found->second.at + kFragmentMemoryNanoseconds < nowNanoseconds) {
    return std::nullopt;
  }
  return found->second.ports;
}

}  // namespace harlune
