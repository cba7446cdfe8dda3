// The driver stand-in: requests served over its socket, packets classified
// by its engine.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "passthru/daemon/socket_server.h"
#include "passthru/engine/adapter_state.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/packet_engine.h"
#include "passthru/engine/request_dispatcher.h"
#include "passthru/real/ip_packet.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "protocol/utf16.h"

namespace harlune {
namespace {

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool ReceiveReply(int fd, std::size_t size) {
  std::vector<std::uint8_t> reply(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, reply.data() + got, size - got, 0);
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// Connect, bind, one version request, close: what every application request
// costs.
void BM_PassthruOneShotRequest(benchmark::State& state) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("passthru-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto path = folder / "PassThru";
  SteadyClock clock;
  PacketEngine engine(clock);
  engine.AddAdapter("eth0");
  RequestDispatcher dispatcher(engine);
  SocketServer server(dispatcher);
  if (!server.Listen(path).empty()) {
    state.SkipWithError("cannot listen");
    return;
  }
  std::atomic<bool> stop{false};
  std::thread thread([&] {
    while (!stop.load()) {
      server.Poll(10);
    }
  });
  const auto bind =
      protocol::EncodeRequest(0x0012C808, protocol::EncodeUtf16Le(u"\\DEVICE\\eth0"), 4);
  const auto version = protocol::EncodeRequest(0x001260EC, {}, 4);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  for (auto _ : state) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool ok =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        SendAll(fd, bind) && ReceiveReply(fd, 12) && SendAll(fd, version) && ReceiveReply(fd, 12);
    ::close(fd);
    if (!ok) {
      state.SkipWithError("request failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  stop.store(true);
  thread.join();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PassthruOneShotRequest)->UseRealTime();

// `count` TBFThrough classes, one remote port each from `firstPort` on,
// filtering on.
void AddThroughClasses(AdapterState& adapter, std::uint16_t firstPort, std::uint16_t count) {
  for (std::uint16_t i = 0; i < count; ++i) {
    _TBF_SETTING_DATA record;
    record.TBFThrough = 1;
    record.RemotePortCount = 1;
    const auto port = static_cast<std::uint16_t>(firstPort + i);
    record.RemotePorts[0] = protocol::HostPortRange(port, port);
    adapter.AddClass(record);
  }
  adapter.StartFiltering();
}

// A packet that matches only the last of 128 classes, filtering on, through
// class: the whole list is compared for every packet.
void BM_PassthruClassify128(benchmark::State& state) {
  ManualClock clock;
  AdapterState adapter("eth0", clock);
  AddThroughClasses(adapter, 1000, 128);
  Packet packet;
  packet.remotePort = protocol::HostToNet16(1127);
  packet.length = 1000;
  for (auto _ : state) {
    benchmark::DoNotOptimize(adapter.Offer(packet));
    if ((state.iterations() & 0x3FF) == 0) {
      benchmark::DoNotOptimize(adapter.ReadPackets());
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PassthruClassify128);

// What the real mode's capture path does for one frame of a direction that
// is not queued: read the packet, its key and its wire length (an offload
// send of 45 segments), count it for its class (the last of 8) and the
// totals, and make its capture record.
void BM_PassthruCountCapturedFrame(benchmark::State& state) {
  ManualClock clock;
  AdapterState adapter("eth0", clock);
  AddThroughClasses(adapter, 5201, 8);
  // Ethernet, IPv4 (total length 65212), TCP with a 32-byte header to port 5208.
  std::vector<std::uint8_t> frame(14 + 20 + 32, 0);
  frame[12] = 0x08;
  const std::uint8_t ip[] = {0x45, 0, 0xFE, 0xBC, 0x12, 0x34, 0x40, 0,  64, 6,
                             0,    0, 198,  18,   0,    1,    198,  18, 0,  2};
  std::copy(std::begin(ip), std::end(ip), frame.begin() + 14);
  const std::uint8_t tcp[] = {0x9C, 0x40, 0x14, 0x58};
  std::copy(std::begin(tcp), std::end(tcp), frame.begin() + 34);
  frame[34 + 12] = 0x80;
  const std::span<const std::uint8_t> ipBytes = std::span(frame).subspan(14);
  for (auto _ : state) {
    std::optional<Packet> packet = ParseIpv4Packet(ipBytes, Direction::Send);
    benchmark::DoNotOptimize(KeyOfIpv4Packet(ipBytes, Direction::Send));
    packet->length = WireLength(ipBytes, 65212, 1500);
    adapter.CountCrossed(*packet);
    adapter.CaptureFrame(*packet, frame, Verdict::Pass);
    if ((state.iterations() & 0x3FF) == 0) {
      benchmark::DoNotOptimize(adapter.ReadPackets());
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PassthruCountCapturedFrame);

}  // namespace
}  // namespace harlune
