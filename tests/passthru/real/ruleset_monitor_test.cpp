// The ruleset monitor in a network namespace of the test's own, made by a
// thread for itself (it goes when the thread ends): it hears a chain made
// there, once, and nothing for a mere read of the table. Root only.

#include "passthru/real/ruleset_monitor.h"

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "passthru/real/command_runner.h"

namespace harlune {
namespace {

bool Readable(int fd, int milliseconds) {
  pollfd watched{fd, POLLIN, 0};
  return ::poll(&watched, 1, milliseconds) == 1;
}

// Runs in the namespace; empty, or why the test is skipped.
std::string HearChangesInANewNamespace() {
  if (::unshare(CLONE_NEWNET) != 0) {
    return "cannot make a network namespace";
  }
  SpawnCommandRunner runner;
  std::string version;
  if (runner.RunForOutput({"iptables", "--version"}, version) != 0 ||
      version.find("nf_tables") == std::string::npos) {
    return "iptables is not the nf_tables back end: " + version;
  }
  RulesetMonitor monitor;
  EXPECT_EQ(monitor.Open(), "");
  EXPECT_FALSE(monitor.TakeChanges());
  EXPECT_EQ(runner.Run({"iptables", "-w", "-t", "mangle", "-N", "HLMONITOR"}), 0);
  // A generous deadline: the announcement comes with the commit.
  EXPECT_TRUE(Readable(monitor.Fd(), 5000));
  EXPECT_TRUE(monitor.TakeChanges());
  EXPECT_FALSE(monitor.TakeChanges()) << "all read at once";
  std::string saved;
  EXPECT_EQ(runner.RunForOutput({"iptables-save", "-t", "mangle"}, saved), 0);
  EXPECT_NE(saved.find(":HLMONITOR - [0:0]"), std::string::npos) << saved;
  EXPECT_FALSE(Readable(monitor.Fd(), 200)) << "a read announced as a change";
  return {};
}

TEST(RulesetMonitorTest, HearsEachChangeOfItsNamespacesRulesetAndNoRead) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a network namespace and iptables need root";
  }
  std::string skipped;
  std::thread([&skipped] { skipped = HearChangesInANewNamespace(); }).join();
  if (!skipped.empty()) {
    GTEST_SKIP() << skipped;
  }
}

}  // namespace
}  // namespace harlune
