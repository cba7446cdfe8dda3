#pragma once

// The machine a connection table needs, for fuzz targets that count
// captured packets to connections: a table of the target's own rows, no
// processes, no host names.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/monitor/connection_monitor.h"

namespace fuzz_fakes {

class RecordTable : public harlune::TcpTableSource {
 public:
  std::vector<harlune::TcpTableRow> rows;
  harlune::TcpTableResult ReadTable() override { return {true, 0, rows}; }
  bool RowsCarryOwners() const override { return true; }
};

class NoProcesses : public harlune::ProcessSource {
 public:
  std::vector<harlune::ProcessEntry> ListProcesses() override { return {}; }
  harlune::SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

class NoHosts : public harlune::HostNameCache {
 public:
  std::string CachedName(const harlune::IpAddress&) const override { return {}; }
  void QueueLookup(const harlune::IpAddress&) override {}
  void Stop() override {}
};

}  // namespace fuzz_fakes
