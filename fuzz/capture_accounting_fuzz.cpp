// Arbitrary bytes as a batch of capture records, counted against a table
// that holds the connection of every record: each TCP record's bytes count
// exactly once, to one side of one connection, and nothing else counts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "connection_table_fakes.h"
#include "core/monitor/connection_monitor.h"
#include "fuzz_target.h"
#include "protocol/byte_order.h"
#include "protocol/replies.h"

namespace {

using fuzz_fakes::NoHosts;
using fuzz_fakes::NoProcesses;
using fuzz_fakes::RecordTable;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using harlune::protocol::LoadRaw;
  const std::span<const std::uint8_t> bytes(data, size);
  const std::size_t count = harlune::protocol::CaptureRecordCount(size);
  if (count > 1000) {
    return 0;  // far beyond a driver read; keeps the counters below their limit
  }
  RecordTable table;
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto record = bytes.subspan(i * 60, 60);
    harlune::TcpTableRow row;
    row.state = harlune::kTcpStateEstablished;
    row.localAddr = harlune::IpAddress::FromIpv4(LoadRaw<std::uint32_t>(record, 30));
    row.localPort = LoadRaw<std::uint16_t>(record, 38);
    row.remoteAddr = harlune::IpAddress::FromIpv4(LoadRaw<std::uint32_t>(record, 34));
    row.remotePort = LoadRaw<std::uint16_t>(record, 40);
    if (row.remoteAddr.IsUnspecified()) {
      continue;  // such a row is a listener: its remote port is not kept
    }
    table.rows.push_back(row);
    if (record[27] == 6) {
      expected += ((std::uint32_t{record[20]} << 8) | record[21]) + 14u;
    }
  }
  NoProcesses processes;
  NoHosts hosts;
  harlune::ConnectionMonitor monitor(table, processes, hosts, [] { return 0; });
  if (!monitor.Refresh()) {
    __builtin_trap();
  }
  // Records without a row (remote address 0) may still count in reverse.
  monitor.AccountPackets(bytes);
  std::uint64_t counted = 0;
  for (const auto& [key, connection] : monitor.Connections()) {
    counted += std::uint64_t{connection->upBytesCycle} + connection->downBytesCycle;
  }
  if (counted < expected) {
    __builtin_trap();
  }
  return 0;
}
