#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "passthru/daemon/daemon.h"

namespace harlune {
namespace {

ParsedArguments Parse(std::vector<std::string_view> arguments, bool root) {
  return ParseArguments(arguments, root);
}

TEST(DaemonArgumentsTest, TheModeFollowsTheFlagsElseThePrivilege) {
  EXPECT_EQ(Parse({"--real"}, false).options->mode, DaemonMode::Real);
  EXPECT_EQ(Parse({"--simulate"}, true).options->mode, DaemonMode::Simulate);
  EXPECT_EQ(Parse({}, true).options->mode, DaemonMode::Real);
  EXPECT_EQ(Parse({}, false).options->mode, DaemonMode::Simulate);
  const auto withSocket = Parse({"--real", "--socket", "/tmp/x/PassThru"}, true);
  ASSERT_TRUE(withSocket.options);
  EXPECT_EQ(withSocket.options->socketPath->string(), "/tmp/x/PassThru");
}

TEST(DaemonArgumentsTest, RefusesMixedModesAndFlowsInRealMode) {
  EXPECT_EQ(Parse({"--real", "--simulate"}, true).exitCode, kExitUsage);
  EXPECT_EQ(Parse({"--simulate", "--real"}, true).exitCode, kExitUsage);
  EXPECT_EQ(Parse({"--real", "flows.txt"}, true).exitCode, kExitUsage);
  EXPECT_FALSE(Parse({"--real", "flows.txt"}, true).options);
}

}  // namespace
}  // namespace harlune
