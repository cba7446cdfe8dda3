#pragma once

// The system's list of network adapters, as the adapter table reads it.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/ip_address.h"

namespace harlune {

struct SystemAdapter {
  SystemAdapter() = default;
  // The fields in order; the IPv6 addresses may be left out, so that the
  // four-field lists written before IPv6 was known still make an adapter.
  SystemAdapter(std::int32_t systemIndex, std::string adapterDescription, std::string adapterName,
                std::vector<std::uint32_t> ipv4, std::vector<IpAddress> ipv6 = {})
      : index(systemIndex),
        description(std::move(adapterDescription)),
        name(std::move(adapterName)),
        addresses(std::move(ipv4)),
        ipv6Addresses(std::move(ipv6)) {}

  std::int32_t index = 0;  // the system's adapter index
  std::string description;
  std::string name;                      // the name the driver binds to
  std::vector<std::uint32_t> addresses;  // IPv4, network order, system order
  std::vector<IpAddress> ipv6Addresses;  // link-local ones included, system order
};

struct AdapterListResult {
  enum class Status {
    Ok,      // adapters holds the list
    NoData,  // the system has no adapters
    Failed,  // errorCode tells why
  };
  Status status = Status::Ok;
  int errorCode = 0;
  std::vector<SystemAdapter> adapters;
};

class AdapterSource {
 public:
  virtual ~AdapterSource() = default;
  virtual AdapterListResult ListAdapters() = 0;
};

}  // namespace harlune
