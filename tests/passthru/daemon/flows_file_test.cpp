#include "passthru/daemon/flows_file.h"

#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"

namespace harlune {
namespace {

using testing::Ipv4;

TEST(FlowsFile, ReadsAdaptersFlowsAndOptions) {
  const FlowsParseResult result = ParseFlowsFile(
      "# demo\r\n"
      "adapter sim0\n"
      "\n"
      "flow sim0 send tcp 10.0.0.2:50000 198.51.100.7:80 1M size=1500 ports=50000,50001 # up\n"
      "flow eth0 receive 17 10.0.0.2:5004 203.0.113.9:6000 250K\n"
      "flow eth0 send icmp 10.0.0.2:0 192.0.2.1:0 84\n");
  ASSERT_TRUE(result.file.has_value()) << result.error;
  const FlowsFile& file = *result.file;
  EXPECT_EQ(file.adapters, std::vector<std::string>{"sim0"});
  ASSERT_EQ(file.flows.size(), 3u);
  const Flow& up = file.flows[0];
  EXPECT_EQ(up.adapter, "sim0");
  EXPECT_EQ(up.direction, Direction::Send);
  EXPECT_EQ(up.protocol, kProtocolTcp);
  EXPECT_EQ(up.localAddress, Ipv4Address(10, 0, 0, 2));
  EXPECT_EQ(up.remoteAddress, Ipv4Address(198, 51, 100, 7));
  EXPECT_EQ(up.localPort, 50000);
  EXPECT_EQ(up.remotePort, 80);
  EXPECT_EQ(up.rate, 1024u * 1024u);
  EXPECT_EQ(up.packetSize, 1500u);
  EXPECT_EQ(up.processPorts, (std::vector<std::uint16_t>{50000, 50001}));
  EXPECT_EQ(file.flows[1].direction, Direction::Receive);
  EXPECT_EQ(file.flows[1].protocol, kProtocolUdp);
  EXPECT_EQ(file.flows[1].rate, 250u * 1024u);
  EXPECT_EQ(file.flows[2].protocol, kProtocolIcmp);
  EXPECT_EQ(file.flows[2].packetSize, 1000u);
}

TEST(FlowsFile, IPv6EndpointsAreBracketedAndMakeIpv6Packets) {
  const FlowsParseResult result = ParseFlowsFile(
      "flow eth0 receive tcp [2001:db8:0:1::2]:50200 [2001:db8::10]:443 64K size=1500\n");
  ASSERT_TRUE(result.file.has_value()) << result.error;
  const Flow& flow = result.file->flows.at(0);
  EXPECT_EQ(flow.localAddress.ToText(), "2001:db8:0:1::2");
  EXPECT_EQ(flow.remotePort, 443);
  EXPECT_NE(SerializeFlowsFile(*result.file).find("[2001:db8::10]:443"), std::string::npos);

  SimulatedTraffic traffic({flow}, 0);
  std::vector<Packet> offered;
  traffic.Poll(100'000'000,
               [&offered](std::string_view, const Packet& packet) { offered.push_back(packet); });
  ASSERT_FALSE(offered.empty());
  EXPECT_EQ(offered[0].family, IpFamily::Ipv6);
  EXPECT_EQ(offered[0].remoteAddress.ToText(), "2001:db8::10");
  EXPECT_EQ(offered[0].length, 1500u);

  for (const char* line : {
           "flow eth0 send tcp [2001:db8::2]:1 192.0.2.1:2 100",               // families mixed
           "flow eth0 send tcp 2001:db8::2:1 [2001:db8::1]:2 100",             // no brackets
           "flow eth0 send tcp [2001:db8::2:1 [2001:db8::1]:2 100",            // unclosed
           "flow eth0 send tcp [::ffff:10.0.0.2]:1 [::ffff:192.0.2.1]:2 100",  // IPv4 in disguise
           "flow eth0 send udp [2001:db8::2]:1 [2001:db8::1]:2 100 size=40",   // below 48
       }) {
    EXPECT_FALSE(ParseFlowsFile(line).file.has_value()) << line;
  }
}

TEST(FlowsFile, SerialisedFlowsReadBackTheSame) {
  FlowsFile file;
  file.adapters = {"sim0", "sim1"};
  file.flows = DemoFlows("sim0");
  const FlowsParseResult again = ParseFlowsFile(SerializeFlowsFile(file));
  ASSERT_TRUE(again.file.has_value()) << again.error;
  EXPECT_EQ(*again.file, file);
}

TEST(FlowsFile, BadLinesAreReportedWithTheirNumber) {
  const char* const bad[] = {
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2",                 // no rate
      "flow eth0 sideways tcp 10.0.0.2:1 192.0.2.1:2 100",         // direction
      "flow eth0 send sctp 10.0.0.2:1 192.0.2.1:2 100",            // protocol
      "flow eth0 send tcp 10.0.0.256:1 192.0.2.1:2 100",           // address
      "flow eth0 send tcp 10.0.0.2 192.0.2.1:2 100",               // no port
      "flow eth0 send tcp 10.0.0.2:65536 192.0.2.1:2 100",         // port
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2 5000M",           // rate overflows
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2 100 size=20",     // size
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2 100 ports=1,,2",  // ports
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2 100 ports=",      // ports
      "flow eth0 send tcp 10.0.0.2:1 192.0.2.1:2 100 colour=red",  // option
      "adapter",                                                   // no name
      "adapter a b",                                               // two names
      "route eth0",                                                // statement
  };
  for (const char* line : bad) {
    const FlowsParseResult result = ParseFlowsFile(std::string("# ok\n") + line + "\n");
    EXPECT_FALSE(result.file.has_value()) << line;
    EXPECT_EQ(result.error.rfind("line 2: ", 0), 0u) << line << " -> " << result.error;
  }
}

TEST(FlowsFile, DemoFlowsUseOnlyDocumentationAddresses) {
  const std::vector<Flow> flows = DemoFlows("eth0");
  ASSERT_FALSE(flows.empty());
  for (const Flow& flow : flows) {
    if (!flow.remoteAddress.IsIpv4()) {
      const auto& bytes = flow.remoteAddress.Ipv6Bytes();
      EXPECT_TRUE(bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x0d && bytes[3] == 0xb8)
          << flow.remoteAddress.ToText();
      EXPECT_FALSE(flow.localAddress.IsIpv4());
      continue;
    }
    const std::uint32_t network = flow.remoteAddress.Ipv4Value() & Ipv4(255, 255, 255, 0);
    EXPECT_TRUE(network == Ipv4(192, 0, 2, 0) || network == Ipv4(198, 51, 100, 0) ||
                network == Ipv4(203, 0, 113, 0));
    EXPECT_EQ(flow.adapter, "eth0");
    EXPECT_GT(flow.rate, 0u);
  }
}

TEST(FlowsFile, LoadingTellsAMissingFileFromADamagedOne) {
  const auto folder = std::filesystem::temp_directory_path() / "passthru-flows-test";
  std::filesystem::create_directories(folder);
  EXPECT_EQ(LoadFlowsFile(folder / "none").status, FlowsLoadResult::Status::Missing);
  { std::ofstream(folder / "bad") << "flow\n"; }
  const FlowsLoadResult damaged = LoadFlowsFile(folder / "bad");
  EXPECT_EQ(damaged.status, FlowsLoadResult::Status::Damaged);
  EXPECT_NE(damaged.error.find("line 1"), std::string::npos);
  { std::ofstream(folder / "good") << "adapter sim0\n"; }
  EXPECT_EQ(LoadFlowsFile(folder / "good").status, FlowsLoadResult::Status::Loaded);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace harlune
