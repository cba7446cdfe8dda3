// harlune-passthru --real sleeps while nothing needs it: no wakeup without
// a session, none in a session of ten limiting classes with no traffic,
// none after the session ended and its client left; a SIGTERM still ends
// it at once, rules removed. Counted in context switches of all its
// threads (the rule worker's too), not timed.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "real_mode_fixture.h"
#include "thread_switches.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

// A handful: the odd switch of the kernel's own doing, never a tick (the
// fixed 5 ms loop made about a thousand in the same time).
constexpr std::uint64_t kMostSwitchesWhileIdle = 5;
constexpr auto kIdleSpan = 5s;

std::string CommandOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(file, name);
  return name;
}

// The daemon's context switches over kIdleSpan, after a moment for the
// last reply and the rule worker's report to be taken.
std::uint64_t SwitchesWhileLeftAlone(pid_t pid) {
  std::this_thread::sleep_for(500ms);
  const std::optional<std::uint64_t> before = ContextSwitchesOf(pid);
  std::this_thread::sleep_for(kIdleSpan);
  const std::optional<std::uint64_t> after = ContextSwitchesOf(pid);
  EXPECT_TRUE(before && after) << "cannot read /proc of the daemon";
  return before && after ? *after - *before : 0;
}

TEST_F(RealModeTest, AnIdleDaemonNeverWakesAndStopsAtOnceOnSigterm) {
  auto daemon = StartDaemon();
  // ip netns exec runs the daemon in its own process.
  ASSERT_EQ(CommandOf(daemon->Pid()), "harlune-passthr");
  ASSERT_EQ(driver_->HlGetVersion(kDaemonVeth), protocol::kDriverVersion);
  EXPECT_LE(SwitchesWhileLeftAlone(daemon->Pid()), kMostSwitchesWhileIdle) << "no session";

  // Ten limiting classes: the veth's capture is open and its outgoing
  // packets are queued, yet with no traffic nothing happens.
  ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
  for (std::uint16_t i = 0; i < 10; ++i) {
    PacketFilterSetting filter = SendFilter("idle", 6, kFirstServerPort, 1024 * 1024, 0);
    filter.RemotePorts[0] = protocol::HostPortRange(10000 + i, 10000 + i);
    ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, filter));
  }
  ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
  ASSERT_TRUE(WaitFor([this] { return VethQueued(); }, 5s)) << QueueRules();
  EXPECT_LE(SwitchesWhileLeftAlone(daemon->Pid()), kMostSwitchesWhileIdle) << "in a session";

  ASSERT_TRUE(driver_->HlReleaseAdapter(kDaemonVeth));
  ASSERT_TRUE(driver_->HlUninitialize(kDaemonVeth));
  driver_.reset();  // the client leaves
  ASSERT_TRUE(WaitFor([this] { return !VethQueued(); }, 5s)) << QueueRules();
  EXPECT_LE(SwitchesWhileLeftAlone(daemon->Pid()), kMostSwitchesWhileIdle) << "after the client";

  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_TRUE(daemon->Signal(SIGTERM));
  EXPECT_EQ(daemon->WaitForExit(1s), std::optional<int>(0))
      << ReadFileText(runtime_.path() / "daemon.out");
  std::cout << "[ FIGURES  ] stopped "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - signalled)
                   .count()
            << " ms after SIGTERM\n";
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
  EXPECT_EQ(QueueRules6().find("HARLUNE"), std::string::npos) << QueueRules6();
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

}  // namespace
}  // namespace harlune::testing
