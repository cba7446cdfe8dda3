// harlune-passthru --simulate, started as a program by root on a socket
// whose mode was loosened by hand: a client of another uid is closed before
// any reply, and named in the daemon's log; root is served.

#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "child.h"
#include "daemon/protocol_client.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kStranger = 65533;
constexpr std::u16string_view kAdapter = u"\\DEVICE\\hlsim0";

std::string FileText(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// 0: the daemon closed the connection without a reply; 1: it answered;
// 2: the child could not take the ids or connect.
int ConnectAsStranger(const std::filesystem::path& socket) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kStranger) != 0 || ::setuid(kStranger) != 0) {
      ::_exit(2);
    }
    testing::Client client(socket);
    if (!client.connected()) {
      ::_exit(2);
    }
    const bool answered = client.Bind(kAdapter);
    ::_exit(!answered && client.ClosedByServer() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

TEST(SimulationAccessTest, AnotherUserIsRefusedOnALoosenedSocket) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a client of another uid needs root to be made";
  }
  testing::TempFolder folder;
  const std::filesystem::path socket = folder.path() / "PassThru";
  std::ofstream(folder.path() / "flows") << "adapter hlsim0\n";
  testing::Child daemon(
      HARLUNE_PASSTHRU_BIN,
      {"--simulate", (folder.path() / "flows").string(), "--socket", socket.string()}, {},
      folder.path() / "daemon.out");
  ASSERT_TRUE(daemon.Started());
  for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(::chmod(folder.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);

  EXPECT_EQ(ConnectAsStranger(socket), 0);
  testing::Client root(socket);
  EXPECT_TRUE(root.Bind(kAdapter));
  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitForExit(5s), std::optional<int>(0));
  const std::string log = FileText(folder.path() / "daemon.out");
  EXPECT_NE(log.find("refused the client of uid " + std::to_string(kStranger) + " pid "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(": only root may control the driver"), std::string::npos) << log;
}

}  // namespace
}  // namespace harlune
