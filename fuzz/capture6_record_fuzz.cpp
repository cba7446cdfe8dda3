// Arbitrary bytes as a batch of IPv6 capture records. Each record that
// decodes encodes back to its own bytes (the two zero bytes at its end
// aside) and gives a packet whose texts and command line can be made in
// both views; one that does not decode gives no packet and no serial
// number. The batch then goes through the packet monitor, the first byte
// (the driver's class id, which the monitor never reads) picking the store
// size and how it is drawn, and through the connection table, where every
// TCP record that is not a later fragment counts to its connection.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "connection_table_fakes.h"
#include "core/app/ini_file_object.h"
#include "core/capture/packet_columns.h"
#include "core/capture/packet_info.h"
#include "core/capture/packet_monitor.h"
#include "core/command/external_command_file.h"
#include "core/monitor/connection_monitor.h"
#include "fuzz_target.h"
#include "protocol/byte_order.h"
#include "protocol/capture6_record.h"

namespace {

namespace protocol = harlune::protocol;

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

using fuzz_fakes::NoHosts;
using fuzz_fakes::NoProcesses;
using fuzz_fakes::RecordTable;

// The record's own checks; true when it decoded.
bool CheckRecord(std::span<const std::uint8_t> bytes) {
  const std::optional<protocol::Capture6Record> record = protocol::DecodeCapture6Record(bytes);
  const std::optional<harlune::PacketInfo> packet = harlune::PacketInfo::FromRecord6(bytes, 0);
  Check(record.has_value() == packet.has_value());
  if (!record) {
    return false;
  }
  const auto again = protocol::EncodeCapture6Record(*record);
  Check(std::equal(again.begin(), again.end() - 2, bytes.begin()));
  Check(packet->PacketLength() == 54u + record->payloadLength);
  Check(!packet->HasPorts() || !packet->IsLaterFragment());
  const harlune::PacketEntry entry{1, std::make_shared<const harlune::PacketInfo>(*packet)};
  for (const auto view : {harlune::PacketView::kTcp, harlune::PacketView::kUdp}) {
    Check(harlune::PacketRowTexts(view, entry).size() == harlune::PacketColumnCount(view));
  }
  const std::string line =
      harlune::ExpandPacketMacros("%SrcAddr% %SrcPort% %DestAddr% %DestPort%", entry).Text();
  Check(line.find("%SrcAddr%") == std::string::npos);
  Check((line.find("%SrcPort%") == std::string::npos) == packet->HasPorts());
  return true;
}

// A row for the record's connection, when it is a TCP packet that counts.
std::optional<harlune::TcpTableRow> RowOf(std::span<const std::uint8_t> bytes) {
  const std::optional<protocol::Capture6Record> record = protocol::DecodeCapture6Record(bytes);
  if (!record || record->upperProtocol != 6 ||
      (record->flags & protocol::kCapture6LaterFragment) != 0) {
    return std::nullopt;
  }
  harlune::TcpTableRow row;
  row.state = harlune::kTcpStateEstablished;
  row.localAddr = harlune::IpAddress::FromIpv6(record->source);
  row.localPort = protocol::LoadRaw<std::uint16_t>(record->transportHeader, 0);
  row.remoteAddr = harlune::IpAddress::FromIpv6(record->destination);
  row.remotePort = protocol::LoadRaw<std::uint16_t>(record->transportHeader, 2);
  return row;
}

void CheckAccounting(const protocol::CaptureBatch& batch) {
  RecordTable table;
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i < batch.RecordCount(); ++i) {
    const std::optional<harlune::TcpTableRow> row = RowOf(batch.Record(i));
    // A row without a remote address is a listener: its remote port is not kept.
    if (row && !row->remoteAddr.IsUnspecified()) {
      table.rows.push_back(*row);
      expected += 54u + ((std::uint32_t{batch.Record(i)[22]} << 8) | batch.Record(i)[23]);
    }
  }
  NoProcesses processes;
  NoHosts hosts;
  harlune::ConnectionMonitor monitor(table, processes, hosts, [] { return 0; });
  Check(monitor.Refresh());
  monitor.AccountCapture(batch);
  std::uint64_t counted = 0;
  for (const auto& [key, connection] : monitor.Connections()) {
    counted += std::uint64_t{connection->upBytesCycle} + connection->downBytesCycle;
  }
  // Records without a row may still count in reverse.
  Check(counted >= expected);
}

void CheckMonitor(const protocol::CaptureBatch& batch, std::uint8_t control, std::size_t decoded) {
  harlune::IniFileObject settings;
  settings.MAX_PACKET_CAPTURE_NUM = control & 7;
  harlune::ExternalCommandIni commands("ExternalCommand.ini");
  harlune::PacketMonitor monitor(settings, commands, [] { return std::int64_t{0}; });
  monitor.AddCapturedBatch(batch, (control & 8) != 0);
  if ((control & 16) != 0) {
    monitor.ClickFreezeBox(harlune::CheckState::kChecked);
  }
  monitor.AddCapturedBatch(batch, false);
  monitor.ClickFreezeBox(harlune::CheckState::kUnchecked);
  const auto max = static_cast<std::size_t>(settings.MAX_PACKET_CAPTURE_NUM);
  for (const std::size_t index : {monitor.AllIndex(), monitor.UnmatchedIndex()}) {
    const harlune::PacketList& list = monitor.List(index);
    Check(list.Rows().size() == std::min(max, 2 * decoded));
    Check(std::ranges::all_of(list.Rows(), [](const harlune::PacketEntry& entry) {
      return entry.Packet != nullptr && entry.Packet->IsIpv6();
    }));
    Check(list.NextSerial() == 2 * decoded + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (protocol::Capture6RecordCount(size) > 1000) {
    return 0;  // far beyond a driver read
  }
  const protocol::CaptureBatch batch{true, std::span<const std::uint8_t>(data, size)};
  std::size_t decoded = 0;
  for (std::size_t i = 0; i < batch.RecordCount(); ++i) {
    decoded += CheckRecord(batch.Record(i)) ? 1 : 0;
  }
  CheckMonitor(batch, size > 0 ? data[0] : 0, decoded);
  CheckAccounting(batch);
  return 0;
}
