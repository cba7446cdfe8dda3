// One driver request over the Unix socket transport, against a driver
// endpoint served by another thread: in one-shot mode a full connect, bind,
// request, close; with the adapter's connection kept, the request alone.

#include <benchmark/benchmark.h>

#include "core/driver/driver_link.h"
#include "platform/linux/unix_socket_transport.h"
#include "support/socket_driver_server.h"

namespace harlune {
namespace {

using testing::SocketDriverServer;
using testing::TempDir;

void BM_DriverRoundTrip_GetVersion(benchmark::State& state) {
  TempDir dir;
  SocketDriverServer server(dir.path() / "PassThru", SocketDriverServer::AcceptEverything());
  UnixSocketTransport transport;
  DriverLink link(transport, {server.path().string()}, DriverConnections::kOneShot);
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.HlGetVersion("eth0"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DriverRoundTrip_GetVersion)->UseRealTime();

void BM_DriverRoundTrip_ClassStatistics(benchmark::State& state, DriverConnections connections) {
  TempDir dir;
  SocketDriverServer server(dir.path() / "PassThru", SocketDriverServer::AcceptEverything());
  UnixSocketTransport transport;
  DriverLink link(transport, {server.path().string()}, connections);
  protocol::ClassStatistics statistics;
  for (auto _ : state) {
    if (!link.HlGetTBFClassStatistics("eth0", 1, statistics)) {
      state.SkipWithError("the request failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK_CAPTURE(BM_DriverRoundTrip_ClassStatistics, one_shot, DriverConnections::kOneShot)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_DriverRoundTrip_ClassStatistics, reused, DriverConnections::kReused)
    ->UseRealTime();

// A one-shot request through the fallback name, as a per-user driver is
// reached; a kept connection pays for the fallback only once.
void BM_DriverRoundTrip_FallbackName(benchmark::State& state) {
  TempDir dir;
  SocketDriverServer server(dir.path() / "PassThru", SocketDriverServer::AcceptEverything());
  UnixSocketTransport transport;
  DriverLink link(transport, {(dir.path() / "absent").string(), server.path().string()},
                  DriverConnections::kOneShot);
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.HlGetVersion("eth0"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DriverRoundTrip_FallbackName)->UseRealTime();

}  // namespace
}  // namespace harlune
