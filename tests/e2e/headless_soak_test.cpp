// A long run of harlune-headless against the simulated driver while
// loopback connections come and go, sampling the program's resident memory.
// Disabled in the test command; run by hand for the figure in
// docs/performance.md:
//   HARLUNE_SOAK_MINUTES=30 harlune_e2e_tests --gtest_also_run_disabled_tests
//       --gtest_filter='*Soak*'

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "child.h"
#include "e2e_support.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

// Connected loopback pairs, closed together when the object goes.
class LoopbackChurn {
 public:
  LoopbackChurn() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 64);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    address_ = address;
  }
  ~LoopbackChurn() {
    Close();
    ::close(listener_);
  }
  LoopbackChurn(const LoopbackChurn&) = delete;
  LoopbackChurn& operator=(const LoopbackChurn&) = delete;

  void Connect() {
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(client, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0) {
      fds_.push_back(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
    }
    fds_.push_back(client);
  }
  void Close() {
    for (const int fd : fds_) {
      ::close(fd);
    }
    fds_.clear();
  }

 private:
  int listener_ = -1;
  sockaddr_in address_{};
  std::vector<int> fds_;
};

// The resident set of a process in KiB, 0 when it cannot be read.
long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

TEST(HeadlessSoakTest, DISABLED_MemoryStaysFlatAfterTheFirstMinute) {
  const auto interface = testing::FirstInterface();
  if (!interface) {
    GTEST_SKIP() << "no network interface with an IPv4 address besides loopback";
  }
  const char* minutesText = std::getenv("HARLUNE_SOAK_MINUTES");
  const int minutes = minutesText != nullptr ? std::atoi(minutesText) : 30;
  testing::TempDir runtime;
  testing::TempDir settings;
  std::filesystem::create_directories(runtime.path() / "run");
  ASSERT_TRUE(testing::WriteSettings(settings.path(), *interface));
  const std::map<std::string, std::string> environment{
      {"XDG_RUNTIME_DIR", (runtime.path() / "run").string()}};
  // No flows file: the demonstration flows, four of them per adapter.
  testing::Child daemon(HARLUNE_PASSTHRU_BIN, {"--simulate"}, environment,
                        runtime.path() / "daemon.out");
  std::this_thread::sleep_for(1s);
  testing::Child headless(HARLUNE_HEADLESS_BIN, {settings.path().string()}, environment,
                          runtime.path() / "headless.out");

  LoopbackChurn churn;
  long afterFirstMinute = 0;
  long highest = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int second = 0; second < minutes * 60; ++second) {
    // Connections come and go so that the table, the resolver queue and
    // the control engine's queue all see churn.
    churn.Close();
    for (int i = 0; i < 1 + second % 20; ++i) {
      churn.Connect();
    }
    std::this_thread::sleep_until(start + std::chrono::seconds(second + 1));
    const long rss = ResidentKib(headless.Pid());
    ASSERT_GT(rss, 0) << "harlune-headless ended early";
    if (second == 59) {
      afterFirstMinute = rss;
    }
    if (second >= 60) {
      highest = std::max(highest, rss);
    }
    if (second % 60 == 59) {
      std::printf("minute %d: %ld KiB\n", (second + 1) / 60, rss);
      std::fflush(stdout);
    }
  }
  std::printf("after the first minute %ld KiB, highest later %ld KiB\n", afterFirstMinute, highest);
  EXPECT_LE(highest, afterFirstMinute + 512) << "memory grew after the first minute";
  headless.Signal(SIGTERM);
  EXPECT_EQ(headless.WaitForExit(10s), std::optional<int>(0));
}

}  // namespace
}  // namespace harlune
