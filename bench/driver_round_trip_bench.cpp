// One full driver request (connect, bind, request, close) over the Unix
// socket transport, against a driver endpoint served by another thread.

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
  DriverLink link(transport, {server.path().string()});
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.HlGetVersion("eth0"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DriverRoundTrip_GetVersion)->UseRealTime();

void BM_DriverRoundTrip_ClassStatistics(benchmark::State& state) {
  TempDir dir;
  SocketDriverServer server(dir.path() / "PassThru", SocketDriverServer::AcceptEverything());
  UnixSocketTransport transport;
  DriverLink link(transport, {server.path().string()});
  protocol::ClassStatistics statistics;
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.HlGetTBFClassStatistics("eth0", 1, statistics));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DriverRoundTrip_ClassStatistics)->UseRealTime();

// The same through the fallback name, as a per-user driver is reached.
void BM_DriverRoundTrip_FallbackName(benchmark::State& state) {
  TempDir dir;
  SocketDriverServer server(dir.path() / "PassThru", SocketDriverServer::AcceptEverything());
  UnixSocketTransport transport;
  DriverLink link(transport, {(dir.path() / "absent").string(), server.path().string()});
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.HlGetVersion("eth0"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DriverRoundTrip_FallbackName)->UseRealTime();

}  // namespace
}  // namespace harlune
