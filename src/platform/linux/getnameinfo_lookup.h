#pragma once

// The system's name service for the host resolver: reverse lookups with
// getnameinfo (NI_NAMEREQD, so an address without a name fails instead of
// coming back as its own digits), the local name with gethostname and its
// address with getaddrinfo. getnameinfo reports no aliases, and glibc never
// answers a reverse lookup with aliases but no official name, so no alias is
// ever offered.

#include <cstdint>
#include <optional>
#include <string>

#include "core/monitor/host_resolver.h"

namespace harlune {

class GetnameinfoLookup : public HostNameLookup {
 public:
  std::optional<ReverseLookupAnswer> ReverseLookup(const IpAddress& address) override;
  std::optional<std::string> LocalHostName() override;
  std::optional<std::uint32_t> FirstAddressOf(const std::string& hostName) override;
};

}  // namespace harlune
