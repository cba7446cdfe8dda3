// harlune-passthru in real mode with IPv6 traffic between the two network
// namespaces (2001:2::1 and 2001:2::2 on the veth pair, beside the IPv4
// addresses): shaping, counting, blocking, capture, failing open and the
// TBFThrough fast path, for IPv6 alone and for both families at once.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "protocol/capture6_record.h"
#include "protocol/class_family.h"
#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLimit = 1024 * 1024;  // bytes per second
constexpr std::uint16_t kTcpLimitedPort = 5201;
constexpr std::uint16_t kUdpLimitedPort = 5202;
constexpr std::uint16_t kThroughPort = 5203;
constexpr std::uint16_t kBlockedPort = 5204;
constexpr std::uint16_t kUnfilteredPort = 5205;
constexpr std::uint16_t kIpv4OnlyPort = 5206;
constexpr std::uint16_t kIpv6PrefixPort = 5207;
// IPv6 TCP segments on a 1500-byte link: 1428 payload bytes after 40 bytes
// of IPv6, 20 of TCP and 12 of timestamps.
constexpr double kTcp6Payload = 1428;
constexpr double kTcp6Headers = 72;
// 1400-byte UDP datagrams: 8 bytes of UDP and 40 of IPv6.
constexpr double kUdp6Headers = 48;

// The limit holds for the IP-layer bytes the classes count, not iperf3's
// payload.
double WireRate(const Measured& measured, double payload, double headers) {
  return measured.seconds > 0 ? WireBytes(measured.bytes, payload, headers) / measured.seconds : 0;
}

void AddIpv6Filters(Settings& settings) {
  settings.filters.Add(SendFilter("tcp", 6, kTcpLimitedPort, kLimit, 0));
  settings.filters.Add(SendFilter("udp", 17, kUdpLimitedPort, kLimit, 0));
  settings.filters.Add(SendFilter("blocked", 6, kBlockedPort, 0, 0));
  // An IPv4 address makes a filter IPv4's alone.
  PacketFilterSetting ipv4Only = SendFilter("ipv4 only", 6, kIpv4OnlyPort, kLimit, 0);
  ipv4Only.RemoteIPAddr = Ipv4(198, 18, 0, 2);
  ipv4Only.RemoteIPAddrMask = 0xFFFFFFFFu;
  settings.filters.Add(ipv4Only);
  // An IPv6 prefix makes a filter IPv6's alone: the application sends the
  // driver its families after the class.
  PacketFilterSetting ipv6Only = SendFilter("ipv6 only", 6, kIpv6PrefixPort, 0, 0);
  ipv6Only.RemoteIpv6 = {ParseIpAddress("2001:2::")->Ipv6Bytes(), 64};
  settings.filters.Add(ipv6Only);
}

std::string Text(const IpAddress::Bytes16& bytes) { return IpAddress::FromIpv6(bytes).ToText(); }

TEST_F(RealModeTest, Ipv6IsShapedCountedBlockedCapturedAndFailsOpen) {
  ASSERT_TRUE(WriteSettings(AddIpv6Filters));
  auto daemon = StartDaemon();
  auto headless = StartHeadless();
  ASSERT_TRUE(WaitForVethQueued());
  ASSERT_TRUE(WaitFor([this] { return VethQueued6(); }, 5s)) << QueueRules6();

  const Measured tcp = Iperf6(kTcpLimitedPort, "", 12, 4);
  EXPECT_NEAR(WireRate(tcp, kTcp6Payload, kTcp6Headers), kLimit, kLimit * 0.05) << tcp.json;
  const Measured udp = Iperf6(kUdpLimitedPort, "-u -b 16M -l 1400", 12, 4);
  EXPECT_NEAR(WireRate(udp, 1400, kUdp6Headers), kLimit, kLimit * 0.05) << udp.json;

  // Under the limit nothing waits, so class and totals count every byte.
  std::this_thread::sleep_for(1s);  // the server takes a moment after a lossy run
  const std::uint64_t udpBefore = ClassBytes(2);
  const Measured udpAll = Iperf6(kUdpLimitedPort, "-u -b 4M -l 1400", 3);
  ASSERT_GT(udpAll.bytes, 0) << udpAll.json;
  const double udpWire = WireBytesSent(udpAll, 1400, kUdp6Headers);
  EXPECT_NEAR(static_cast<double>(ClassBytes(2) - udpBefore), udpWire, udpWire * 0.02)
      << udpAll.lost << " datagrams lost";
  const std::uint64_t tcpBefore = ClassBytes(1);
  const std::uint64_t sentBefore = SentTotal();
  // Offered half the limit, so that nothing is held when iperf3 stops (it
  // refuses a size beside the time the fixture gives, "-n" with "-t").
  const Measured tcpCount = Iperf6(kTcpLimitedPort, "-b 4M", 3);
  ASSERT_GT(tcpCount.bytes, 0) << tcpCount.json;
  const double tcpWire = WireBytesSent(tcpCount, kTcp6Payload, kTcp6Headers);
  EXPECT_NEAR(static_cast<double>(ClassBytes(1) - tcpBefore), tcpWire, tcpWire * 0.02)
      << tcpCount.retransmits << " segments sent again";
  EXPECT_NEAR(static_cast<double>(SentTotal() - sentBefore), tcpWire, tcpWire * 0.02);

  // Rate 0 blocks its port and nothing else; the IPv4-only filter leaves
  // IPv6 alone.
  EXPECT_EQ(Iperf6(kBlockedPort, "--connect-timeout 1500", 1).bytes, 0);
  EXPECT_GT(Iperf6(kUnfilteredPort, "", 1).bytes, 0);
  EXPECT_GT(Iperf6(kIpv4OnlyPort, "", 2, 1).Rate(), 4.0 * kLimit);
  // The filter with the IPv6 prefix blocks IPv6 on its port, not IPv4.
  EXPECT_EQ(Iperf6(kIpv6PrefixPort, "--connect-timeout 1500", 1).bytes, 0);
  EXPECT_GT(Iperf(kIpv6PrefixPort, "", 1).bytes, 0);

  // The IPv6 capture holds the veth's addresses and MACs.
  const std::string ownMac =
      Output(InDaemonSide(std::string("cat /sys/class/net/") + kDaemonVeth + "/address"));
  std::vector<std::uint8_t> records(protocol::kReadPackets6BufferSize);
  DeviceCallResult read;
  for (int i = 0; i < 20 && read.bytesReturned == 0; ++i) {
    Shell(InDaemonSide(std::string("iperf3 -6 -c ") + kPeerAddress6 +
                       " -p 5205 -t 1 >/dev/null 2>&1"));
    read = RawRequest(protocol::RequestCode::HlReadPackets6, {}, records);
  }
  ASSERT_TRUE(read.succeeded) << read.error;
  const protocol::CaptureBatch batch{true, std::span(records).first(read.bytesReturned)};
  ASSERT_GT(batch.RecordCount(), 0u);
  const auto record = protocol::DecodeCapture6Record(batch.Record(0));
  ASSERT_TRUE(record);
  const bool sent = record->direction == 0;
  EXPECT_EQ(Text(sent ? record->source : record->destination), kDaemonAddress6);
  EXPECT_EQ(Text(sent ? record->destination : record->source), kPeerAddress6);
  const auto& mac = sent ? record->sourceMac : record->destinationMac;
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  EXPECT_TRUE(ownMac.starts_with(text)) << ownMac << " " << text;
  std::cout << "[ FIGURES  ] IPv6 TCP " << tcp.Rate() << " B/s, UDP " << udp.Rate() << " B/s\n";

  KilledDaemonLetsTrafficPassAndANewOneCleans(std::move(headless), std::move(daemon),
                                              kTcpLimitedPort, kLimit, true);
}

// One any-address filter shares its rate between the families; told to
// take IPv6 alone, it leaves IPv4 unqueued and unlimited.
TEST_F(RealModeTest, OneFilterLimitsBothFamiliesTogetherOrIpv6Alone) {
  auto daemon = StartDaemon();
  ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
  // An iperf3 server runs one test at a time: each family has its port.
  constexpr std::uint16_t kIpv6Port = kTcpLimitedPort + 1;
  PacketFilterSetting filter = SendFilter("both", 6, kTcpLimitedPort, kLimit, 0);
  filter.RemotePorts[0] = protocol::HostPortRange(kTcpLimitedPort, kIpv6Port);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, filter));
  ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
  ASSERT_TRUE(WaitFor([this] { return VethQueued() && VethQueued6(); }, 5s))
      << QueueRules() << QueueRules6();

  // Both flows run for 10 s; the class's rate is taken over 6 s in the
  // middle, when both are surely running.
  Measured ipv4;
  Measured ipv6;
  std::thread ipv4Flow([&] { ipv4 = Iperf(kTcpLimitedPort, "", 10); });
  std::thread ipv6Flow([&] { ipv6 = Iperf6(kIpv6Port, "", 10); });
  std::this_thread::sleep_for(3s);
  const std::uint64_t classBefore = ClassBytes(filter.DriverClassId);
  const std::uint64_t sentBefore = SentTotal();
  const auto started = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(6s);
  const std::uint64_t classAfter = ClassBytes(filter.DriverClassId);
  const std::uint64_t sentAfter = SentTotal();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  ipv4Flow.join();
  ipv6Flow.join();
  ASSERT_GT(ipv4.bytes, 0) << ipv4.json;
  ASSERT_GT(ipv6.bytes, 0) << ipv6.json;
  // Every byte of both flows went through the class: none slipped past.
  std::this_thread::sleep_for(1s);  // the last held packets leave
  const double wire =
      WireBytes(ipv4.bytes, 1448, 52) + WireBytes(ipv6.bytes, kTcp6Payload, kTcp6Headers);
  // Two flows at the class's limit: a segment sent again passed the class
  // once more, unless the class's own queue dropped it, so the class counted
  // at least what arrived and at most that with each segment sent again.
  const double counted = static_cast<double>(ClassBytes(filter.DriverClassId));
  const double sentAgain =
      WireBytesSent(ipv4, 1448, 52) + WireBytesSent(ipv6, kTcp6Payload, kTcp6Headers) - wire;
  EXPECT_GE(counted, wire * 0.98);
  EXPECT_LE(counted, (wire + sentAgain) * 1.02)
      << ipv4.retransmits << " + " << ipv6.retransmits << " segments sent again";
  const double together = static_cast<double>(classAfter - classBefore) / elapsed.count();
  EXPECT_NEAR(together, kLimit, kLimit * 0.05)
      << "IPv4 " << ipv4.Rate() << " B/s, IPv6 " << ipv6.Rate() << " B/s";
  // Nothing else was sent meanwhile: the totals agree.
  EXPECT_NEAR(static_cast<double>(sentAfter - sentBefore) / elapsed.count(), together,
              together * 0.02);
  EXPECT_LT(ipv4.Rate(), kLimit);
  EXPECT_LT(ipv6.Rate(), kLimit);
  std::cout << "[ FIGURES  ] together " << together << " B/s; IPv4 " << ipv4.Rate() << " B/s, IPv6 "
            << ipv6.Rate() << " B/s; class/wire " << counted / wire << ", "
            << ipv4.retransmits + ipv6.retransmits << " segments sent again\n";

  protocol::ClassFamily family{filter.DriverClassId, protocol::AddressFamilies::kIpv6, {}, {}};
  family.remote = {ParseIpAddress("2001:2::")->Ipv6Bytes(), 64};
  const auto input = protocol::EncodeClassFamily(family);
  ASSERT_TRUE(RawRequest(protocol::RequestCode::HlSetTBFClassFamily, input, {}).succeeded);
  EXPECT_TRUE(WaitFor([this] { return !VethQueued(); }, 5s)) << QueueRules();
  EXPECT_TRUE(VethQueued6()) << QueueRules6();
  EXPECT_GT(Iperf(kTcpLimitedPort, "", 2, 1).Rate(), 4.0 * kLimit);
  EXPECT_LT(Iperf6(kIpv6Port, "", 3, 1).Rate(), 1.1 * kLimit);
}

// As for IPv4: a TBFThrough class keeps IPv6 out of the verdict queue, so
// its flow runs as fast as an unfiltered one beside it (the median of the
// ratios of side-by-side runs counts).
TEST_F(RealModeTest, Ipv6ThroughFilterKeepsTheUnfilteredThroughput) {
  auto daemon = StartDaemon();
  ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
  ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
  PacketFilterSetting filter = SendFilter("through", 6, kThroughPort, kLimit, 1);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, filter));
  const std::vector<double> ratios =
      SideBySideRatios(filter.DriverClassId, kThroughPort, kUnfilteredPort, true);
  EXPECT_FALSE(VethQueued6()) << QueueRules6();
  EXPECT_GE(Median(ratios), 0.9) << "TBFThrough against unfiltered, side by side";
  std::cout << "[ FIGURES  ] IPv6 TBFThrough against unfiltered " << Median(ratios) << "\n";
}

}  // namespace
}  // namespace harlune::testing
