#pragma once

// What the tests on the system's real TCP table share: whether this process
// may end connections, and a host name cache that never finds a name.

#include <cstdint>
#include <fstream>
#include <string>

#include "core/monitor/connection_monitor.h"

namespace harlune::testing {

inline constexpr int kCapNetAdmin = 12;

// Whether CAP_NET_ADMIN is in this process's effective set (SOCK_DESTROY
// needs it).
inline bool HasNetAdmin() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> kCapNetAdmin) & 1u) != 0;
    }
  }
  return false;
}

class NoHostNames : public HostNameCache {
 public:
  std::string CachedName(const IpAddress&) const override { return {}; }
  void QueueLookup(const IpAddress&) override {}
  void Stop() override {}
};

}  // namespace harlune::testing
