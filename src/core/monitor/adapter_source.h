#pragma once

// The system's list of network adapters, as the adapter table reads it.

#include <cstdint>
#include <string>
#include <vector>

namespace harlune {

struct SystemAdapter {
  std::int32_t index = 0;  // the system's adapter index
  std::string description;
  std::string name;                      // the name the driver binds to
  std::vector<std::uint32_t> addresses;  // IPv4, network order, system order
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
