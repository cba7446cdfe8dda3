#pragma once

// The ports of IPv6 packets that came in fragments: only the first fragment
// carries the transport header, so a later one is classified by what the
// first said. Kept for a short while and for a bounded number of packets:
// fragments of one packet follow each other closely, and memory must not
// grow with what a peer sends.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <tuple>

#include "protocol/ip_address.h"

namespace harlune {

inline constexpr std::size_t kMaxRememberedFragments = 1024;
inline constexpr std::uint64_t kFragmentMemoryNanoseconds = 10'000'000'000;

// Network order, as on the wire.
struct FragmentedPorts {
  std::uint8_t protocol = 0;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;

  bool operator==(const FragmentedPorts&) const = default;
};

class FragmentPorts {
 public:
  explicit FragmentPorts(std::size_t capacity = kMaxRememberedFragments) : capacity_(capacity) {}

  void Remember(const IpAddress& source, const IpAddress& destination, std::uint32_t identification,
                const FragmentedPorts& ports, std::uint64_t nowNanoseconds);
  std::optional<FragmentedPorts> Find(const IpAddress& source, const IpAddress& destination,
                                      std::uint32_t identification,
                                      std::uint64_t nowNanoseconds) const;
  std::size_t Size() const { return entries_.size(); }

 private:
  using Key = std::tuple<IpAddress, IpAddress, std::uint32_t>;
  struct Entry {
    FragmentedPorts ports;
    std::uint64_t at = 0;
  };

  void Forget(std::uint64_t nowNanoseconds);

  std::size_t capacity_;
  std::map<Key, Entry> entries_;
  std::deque<std::pair<Key, std::uint64_t>> order_;  // oldest first
};

}  // namespace harlune
