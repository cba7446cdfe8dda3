// The capture path of one capture tick: batches of 100 records read from the
// driver socket, stored by the packet monitor and counted per connection.

#include <array>
#include <deque>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include "core/app/ini_file_object.h"
#include "core/capture/packet_monitor.h"
#include "core/command/external_command_file.h"
#include "core/driver/driver_link.h"
#include "core/monitor/connection_monitor.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "support/socket_driver_server.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

constexpr std::uint32_t kLocal = 0x0200A8C0;  // 192.168.0.2, network order
constexpr int kConnections = 1000;

std::uint16_t PortOf(int connection) { return static_cast<std::uint16_t>(40000 + connection); }

// 100 TCP records spread over the connections, half leaving, half arriving.
std::vector<std::uint8_t> CaptureBatch() {
  std::vector<std::uint8_t> batch(protocol::kReadPacketsBufferSize);
  for (std::size_t i = 0; i < 100; ++i) {
    const std::span<std::uint8_t> record(batch.data() + i * protocol::kCaptureRecordSize,
                                         protocol::kCaptureRecordSize);
    const bool leaving = i % 2 == 0;
    const auto connection = static_cast<int>(i * 7 % kConnections);
    record[16] = 0x08;  // IPv4
    record[18] = 0x45;
    protocol::StoreLe16(record, 20, htons(1000));
    record[27] = 6;
    const std::uint32_t remote = Ipv4(198, 51, 100, 7);
    std::memcpy(&record[leaving ? 30 : 34], &kLocal, 4);
    std::memcpy(&record[leaving ? 34 : 30], &remote, 4);
    const std::uint16_t localPort = htons(PortOf(connection));
    const std::uint16_t remotePort = htons(443);
    std::memcpy(&record[leaving ? 38 : 40], &localPort, 2);
    std::memcpy(&record[leaving ? 40 : 38], &remotePort, 2);
    record[51] = 0x18;
  }
  return batch;
}

class FixedTable final : public TcpTableSource {
 public:
  TcpTableResult ReadTable() override {
    TcpTableResult result{true, 0, {}};
    for (int i = 0; i < kConnections; ++i) {
      TcpTableRow row;
      row.state = kTcpStateEstablished;
      row.localAddr = IpAddress::FromIpv4(kLocal);
      row.localPort = htons(PortOf(i));
      row.remoteAddr = IpAddress::FromIpv4(Ipv4(198, 51, 100, 7));
      row.remotePort = htons(443);
      row.owningPid = 1;
      result.rows.push_back(row);
    }
    return result;
  }
  bool RowsCarryOwners() const override { return true; }
};

class NoProcesses final : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override { return {}; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

class NoNames final : public HostNameCache {
 public:
  std::string CachedName(const IpAddress&) const override { return {}; }
  void QueueLookup(const IpAddress&) override {}
  void Stop() override {}
};

void BM_CapturePath(benchmark::State& state) {
  testing::TempDir folder;
  const std::vector<std::uint8_t> batch = CaptureBatch();
  const auto readCode = static_cast<std::uint32_t>(protocol::RequestCode::HlReadPackets);
  const auto accept = testing::SocketDriverServer::AcceptEverything();
  testing::SocketDriverServer server(
      folder.path() / "PassThru",
      [&](const protocol::RequestHeader& header, std::span<const std::uint8_t> input) {
        if (header.code == readCode) {
          return std::optional(testing::SocketDriverServer::Answer(0, batch));
        }
        return accept(header, input);
      });
  UnixSocketTransport transport;
  DriverLink driver(transport, {server.path().string()});

  IniFileObject settings;
  settings.MAX_PACKET_CAPTURE_NUM = static_cast<std::int32_t>(state.range(0));
  ExternalCommandIni commands{"ExternalCommand.ini"};
  PacketMonitor packets(settings, commands);
  packets.ClickCaptureBox(CheckState::kChecked);
  FixedTable table;
  NoProcesses processes;
  NoNames names;
  ConnectionMonitor connections(table, processes, names);
  connections.Refresh();

  PacketReadBuffer buffer{};
  std::int64_t records = 0;
  for (auto _ : state) {
    const auto count = driver.HlReadPackets("eth0", buffer);
    if (!count) {
      state.SkipWithError("read failed");
      return;
    }
    const std::span<const std::uint8_t> read(buffer.data(), *count * protocol::kCaptureRecordSize);
    packets.AddCapturedRecords(read, true);
    connections.AccountPackets(read);
    records += static_cast<std::int64_t>(*count);
  }
  packets.RedrawAll();
  state.SetItemsProcessed(records);
}
BENCHMARK(BM_CapturePath)->Arg(100)->Arg(10000)->UseRealTime();

// The same without the socket: what storing and counting cost alone.
void BM_CaptureStoreAndCount(benchmark::State& state) {
  const std::vector<std::uint8_t> batch = CaptureBatch();
  IniFileObject settings;
  settings.MAX_PACKET_CAPTURE_NUM = static_cast<std::int32_t>(state.range(0));
  ExternalCommandIni commands{"ExternalCommand.ini"};
  PacketMonitor packets(settings, commands);
  FixedTable table;
  NoProcesses processes;
  NoNames names;
  ConnectionMonitor connections(table, processes, names);
  connections.Refresh();
  for (auto _ : state) {
    packets.AddCapturedRecords(batch, true);
    connections.AccountPackets(batch);
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_CaptureStoreAndCount)->Arg(100)->Arg(10000);

}  // namespace
}  // namespace harlune
