#include <regex>
#include <string>
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

// --help and --version answer and end the program before anything is
// served, wherever they stand after valid arguments; an earlier bad argument
// is still reported as one.
TEST(DaemonArgumentsTest, HelpAndVersionAnswerWithoutServing) {
  const std::regex version(R"(harlune-passthru [0-9]+\.[0-9]+\.[0-9]+\n)");
  for (const auto& arguments : std::vector<std::vector<std::string_view>>{
           {"--version"}, {"--real", "--version"}, {"--simulate", "flows.txt", "--version"}}) {
    const ParsedArguments parsed = Parse(arguments, true);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.exitCode, kExitOk);
    EXPECT_TRUE(std::regex_match(parsed.message, version)) << parsed.message;
  }
  const ParsedArguments help = Parse({"--socket", "/tmp/x", "--help"}, false);
  EXPECT_FALSE(help.options);
  EXPECT_EQ(help.exitCode, kExitOk);
  EXPECT_TRUE(help.message.starts_with("usage: harlune-passthru ")) << help.message;
  EXPECT_NE(help.message.find("--version"), std::string::npos) << help.message;

  const ParsedArguments bad = Parse({"--bogus", "--version"}, true);
  EXPECT_EQ(bad.exitCode, kExitUsage);
  EXPECT_TRUE(bad.message.starts_with("unexpected argument --bogus")) << bad.message;
}

}  // namespace
}  // namespace harlune
