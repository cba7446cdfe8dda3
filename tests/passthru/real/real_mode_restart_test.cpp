// The daemon killed and started again during a session, as a package
// upgrade or `systemctl restart` does, with gaps from none to seconds: the
// application notices, gives the new daemon the whole session again, and
// the filter limits the flow within a few seconds of each restart.

#include <csignal>
#include <iostream>
#include <thread>

#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

// Each run has a server of its own: an iperf3 server stays busy for a while
// after a run whose last bytes the shaper held.
constexpr std::uint16_t kFirstPort = 5201;
constexpr std::uint16_t kLastPort = 5205;
constexpr std::uint32_t kLimit = 50 * 1024;
// The flow starts with the new daemon; what it carries from 3 s on is
// measured, so a session healed later than that shows as too fast.
constexpr int kFlowSeconds = 8;
constexpr int kUnmeasuredSeconds = 3;
constexpr double kTolerance = 0.10;
// A small send buffer: what is queued when a run ends drains in well under a
// second at the limit, so the server is free for the next run.
constexpr const char* kSmallBuffer = "-w 16K";

double WireRate(const Measured& measured) { return WireBytes(measured.Rate(), 1448, 52); }

TEST_F(RealModeTest, ARestartedDaemonIsGivenTheSessionBackWhateverTheGap) {
  ASSERT_TRUE(WriteSettings([](Settings& settings) {
    PacketFilterSetting filter = SendFilter("limited", 6, kFirstPort, kLimit, 0);
    filter.RemotePorts[0] = protocol::HostPortRange(kFirstPort, kLastPort);
    settings.filters.Add(filter);
  }));
  auto daemon = StartDaemon();
  auto headless = StartHeadless();
  ASSERT_TRUE(WaitForVethQueued());
  std::uint16_t port = kFirstPort;
  const Measured before = Iperf(port++, kSmallBuffer, kFlowSeconds, kUnmeasuredSeconds);
  EXPECT_NEAR(WireRate(before), kLimit, kLimit * kTolerance) << before.json;

  for (const auto gap : {0ms, 50ms, 500ms, 3000ms}) {
    ASSERT_TRUE(daemon->Signal(SIGKILL));
    ASSERT_TRUE(daemon->WaitForExit(5s).has_value());
    std::this_thread::sleep_for(gap);
    daemon = StartDaemon();
    const Measured after = Iperf(port++, kSmallBuffer, kFlowSeconds, kUnmeasuredSeconds);
    EXPECT_NEAR(WireRate(after), kLimit, kLimit * kTolerance) << "gap " << gap.count() << " ms\n"
                                                              << after.json;
    // One class for the one filter: nothing was added twice or left over.
    protocol::ClassStatistics statistics;
    EXPECT_TRUE(driver_->HlGetTBFClassStatistics(kDaemonVeth, 1, statistics));
    EXPECT_FALSE(driver_->HlGetTBFClassStatistics(kDaemonVeth, 2, statistics));
    EXPECT_FALSE(headless->WaitForExit(0ms).has_value()) << "the application ended";
    std::cout << "[ FIGURES  ] after a gap of " << gap.count() << " ms: " << WireRate(after)
              << " B/s on the wire (limit " << kLimit << ")\n";
  }
}

}  // namespace
}  // namespace harlune::testing
