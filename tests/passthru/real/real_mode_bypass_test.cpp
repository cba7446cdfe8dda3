// Flows no class can match leave the verdict queue after their first
// packets (a conntrack mark and a rule before the queue rule), are counted
// from the capture, and come back to the queue when the classes change.

#include <iostream>
#include <sstream>
#include <thread>

#include "e2e_support.h"
#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLimit = 1024 * 1024;  // bytes per second
constexpr std::uint16_t kLimitedPort = 5201;
constexpr std::uint16_t kMatchedPort = 5202;
constexpr std::uint16_t kUnmatchedPort = 5205;
constexpr std::uint16_t kIdlePort = 5206;

class RealModeBypassTest : public RealModeTest {
 protected:
  // Starts the daemon and a session whose limiting class on kLimitedPort
  // queues every outgoing packet of the veth.
  void StartLimitedSession() {
    daemon_ = StartDaemon();
    ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
    ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
    limited_ = SendFilter("limited", 6, kLimitedPort, kLimit, 0);
    ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, limited_));
    ASSERT_TRUE(WaitFor([this] { return VethQueued() && BypassRuleMade(); }, 2s)) << QueueRules();
  }
  bool BypassRuleMade() { return QueueRules().find("connmark") != std::string::npos; }
  // How many packets the kernel has put into the daemon's queue so far.
  std::uint64_t QueuedPackets() {
    std::istringstream line(Output(InDaemonSide("cat /proc/net/netfilter/nfnetlink_queue")));
    std::uint64_t field = 0;
    for (int i = 0; i < 8 && line >> field; ++i) {
    }
    return field;  // the 8th: the id of the last packet queued
  }
  // Bytes the peer's side of the veth received (Ethernet frames).
  double PeerReceivedBytes() {
    return std::stod(Output(
        InPeerSide(std::string("cat /sys/class/net/") + kPeerVeth + "/statistics/rx_bytes")));
  }

  // The generation the outgoing bypass rule matches, as iptables shows it;
  // 0 when there is none.
  std::uint32_t ShownGeneration() {
    const std::string rules = QueueRules();
    const std::string rule = "-A HARLUNE-OUT -m connmark --mark ";
    const std::size_t at = rules.find(rule);
    return at == std::string::npos
               ? 0
               : static_cast<std::uint32_t>(
                     std::stoul(rules.substr(at + rule.size()), nullptr, 16) >> 26);
  }
  // Datagrams from the daemon's side, port 45000, to the peer's port 7777.
  void SendDatagrams(int count) {
    for (int i = 0; i < count; ++i) {
      Shell(
          InDaemonSide("python3 -c \"import socket; s = socket.socket(socket.AF_INET, "
                       "socket.SOCK_DGRAM); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, "
                       "1); s.bind(('198.18.0.1', 45000)); s.sendto(b'x', ('198.18.0.2', "
                       "7777))\""));
      std::this_thread::sleep_for(100ms);
    }
  }
  // How many of them the peer received.
  std::uint64_t PeerDatagrams() {
    const std::string counters = Output(InPeerSide("iptables -w -L INPUT -v -x -n"));
    const std::size_t at = counters.find("udp dpt:7777");
    if (at == std::string::npos) {
      return 0;
    }
    const std::size_t line = counters.rfind('\n', at) + 1;
    return std::stoull(counters.substr(line));
  }

  std::unique_ptr<Child> daemon_;
  PacketFilterSetting limited_;
};

// An unmatched flow beside a limited one: the queue sees only the first
// packets of the unmatched flow, and the limited flow keeps its limit.
TEST_F(RealModeBypassTest, AnUnmatchedFlowLeavesTheQueueWhileALimitedOneStaysLimited) {
  StartLimitedSession();
  const std::uint64_t queuedBefore = QueuedPackets();
  const std::uint64_t sentBefore = SentTotal();
  const Measured alone = Iperf(kUnmatchedPort, "", 3);
  const std::uint64_t queuedAlone = QueuedPackets() - queuedBefore;
  ASSERT_GT(alone.bytes, 0) << alone.json;
  // Both iperf3 connections (control and data): a handful of packets each
  // before conntrack confirms them and takes the mark.
  EXPECT_LT(queuedAlone, 40u) << "of about " << alone.bytes / 1448 << " segments";
  const double aloneWire = WireBytesSent(alone, 1448, 52);
  EXPECT_NEAR(static_cast<double>(SentTotal() - sentBefore), aloneWire, aloneWire * 0.01)
      << alone.retransmits << " segments sent again";

  Measured unmatched;
  std::thread beside([&] { unmatched = Iperf(kUnmatchedPort, "", 12, 4); });
  const Measured limitedFlow = Iperf(kLimitedPort, "", 12, 4);
  beside.join();
  EXPECT_NEAR(limitedFlow.Rate(), kLimit, kLimit * 0.05);
  EXPECT_GT(unmatched.Rate(), 4.0 * kLimit);
  // Nothing queued, no bypass rule: conntrack need not track the veth.
  ASSERT_TRUE(driver_->HlStopFiltering(kDaemonVeth));
  EXPECT_TRUE(WaitFor([this] { return !BypassRuleMade() && !VethQueued(); }, 2s)) << QueueRules();
  std::cout << "[ FIGURES  ] queued " << queuedAlone << " packets of an unmatched flow of "
            << alone.bytes << " bytes; limited " << limitedFlow.Rate() << " B/s beside "
            << unmatched.Rate() << " B/s\n";
}

// The same for IPv6: the class of both families queues the veth's outgoing
// IPv6 packets too, and an unmatched IPv6 flow leaves the queue.
TEST_F(RealModeBypassTest, AnUnmatchedIpv6FlowLeavesTheQueueAndIsCountedOnce) {
  StartLimitedSession();
  ASSERT_TRUE(WaitFor([this] { return VethQueued6(); }, 2s)) << QueueRules6();
  EXPECT_NE(QueueRules6().find("connmark"), std::string::npos) << QueueRules6();
  const std::uint64_t queuedBefore = QueuedPackets();
  const std::uint64_t sentBefore = SentTotal();
  const Measured flow = Iperf6(kUnmatchedPort, "", 3);
  const std::uint64_t queued = QueuedPackets() - queuedBefore;
  ASSERT_GT(flow.bytes, 0) << flow.json;
  EXPECT_LT(queued, 40u) << "of about " << flow.bytes / 1428 << " segments";
  // 40 bytes of IPv6 and 32 of TCP header with timestamps on 1428 of payload.
  const double wire = WireBytesSent(flow, 1428, 72);
  EXPECT_NEAR(static_cast<double>(SentTotal() - sentBefore), wire, wire * 0.01);
  std::cout << "[ FIGURES  ] IPv6: queued " << queued << " packets of an unmatched flow of "
            << flow.bytes << " bytes\n";
}

// Classes change while two flows run: one always matched by a class that
// does not hold it back, one unmatched except while a toggled class matches
// it. Every change sends the unmatched flow back to the queue until it is
// judged again; each packet is still counted once.
TEST_F(RealModeBypassTest, EveryPacketIsCountedOnceAsFlowsLeaveAndReenterTheQueue) {
  StartLimitedSession();
  PacketFilterSetting matched = SendFilter("matched", 6, kMatchedPort, 64 * kLimit, 0);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, matched));
  PacketFilterSetting toggled = SendFilter("toggled", 6, kIdlePort, 64 * kLimit, 0);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, toggled));
  const std::uint64_t sentBefore = SentTotal();

  Measured matchedFlow;
  Measured unmatchedFlow;
  std::thread first([&] { matchedFlow = Iperf(kMatchedPort, "-b 40M", 6); });
  std::thread second([&] { unmatchedFlow = Iperf(kUnmatchedPort, "-b 40M", 6); });
  for (int i = 0; i < 16; ++i) {
    std::this_thread::sleep_for(300ms);
    const std::uint16_t port = i % 2 == 0 ? kUnmatchedPort : kIdlePort;
    toggled.RemotePorts[0] = protocol::HostPortRange(port, port);
    ASSERT_TRUE(driver_->HlModifyTBFClass(kDaemonVeth, toggled));
  }
  first.join();
  second.join();
  std::this_thread::sleep_for(1s);  // the capture's last blocks are read
  ASSERT_GT(matchedFlow.bytes, 0) << matchedFlow.json;
  ASSERT_GT(unmatchedFlow.bytes, 0) << unmatchedFlow.json;
  const double matchedWire = WireBytesSent(matchedFlow, 1448, 52);
  const double bothWire = matchedWire + WireBytesSent(unmatchedFlow, 1448, 52);
  const auto classBytes = static_cast<double>(ClassBytes(matched.DriverClassId));
  const auto sent = static_cast<double>(SentTotal() - sentBefore);
  EXPECT_NEAR(classBytes, matchedWire, matchedWire * 0.01);
  EXPECT_NEAR(sent, bothWire, bothWire * 0.01);
  // The toggled class saw the unmatched flow in the half of the time it
  // matched it, and never more than all of it.
  const auto toggledBytes = static_cast<double>(ClassBytes(toggled.DriverClassId));
  EXPECT_GT(toggledBytes, 0.2 * WireBytes(unmatchedFlow.bytes, 1448, 52));
  EXPECT_LT(toggledBytes, WireBytesSent(unmatchedFlow, 1448, 52));
  std::cout << "[ FIGURES  ] class/wire " << classBytes / matchedWire << ", sent/wire "
            << sent / bothWire << "\n";
}

// A limiting class added for a running unmatched flow takes hold within 2 s:
// the new generation sends the flow back to the queue.
TEST_F(RealModeBypassTest, ARunningUnmatchedFlowIsLimitedWithinTwoSecondsOfANewClass) {
  StartLimitedSession();
  Measured flow;
  std::thread running([&] { flow = Iperf(kUnmatchedPort, "", 9); });
  std::this_thread::sleep_for(2s);
  const double freeStart = PeerReceivedBytes();
  std::this_thread::sleep_for(1s);
  const double freeRate = PeerReceivedBytes() - freeStart;
  PacketFilterSetting late = SendFilter("late", 6, kUnmatchedPort, kLimit, 0);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, late));
  std::this_thread::sleep_for(2s);
  const double limitedStart = PeerReceivedBytes();
  std::this_thread::sleep_for(3s);
  const double limitedRate = (PeerReceivedBytes() - limitedStart) / 3;
  running.join();
  EXPECT_GT(freeRate, 4.0 * kLimit);
  // Frames carry 14 bytes of Ethernet header the limit does not count, and
  // the peer's acknowledgements are not in rx_bytes of its side.
  EXPECT_LT(limitedRate, 1.1 * kLimit);
  EXPECT_GT(ClassBytes(late.DriverClassId), 0u);
  std::cout << "[ FIGURES  ] unmatched " << freeRate << " B/s, then limited " << limitedRate
            << " B/s\n";
}

// A flow marked in one generation and idle while the generations go round
// must not pass the queue when the same generation comes back: the daemon
// clears its marks when the generations wrap around. Here the flow's
// datagram after the wrap meets a class that drops it.
TEST_F(RealModeBypassTest, AMarkOfAnEarlierRoundLetsNothingPassAfterTheGenerationsWrap) {
  StartLimitedSession();
  ASSERT_EQ(Shell(InPeerSide("iptables -w -A INPUT -p udp --dport 7777 -j ACCEPT")), 0);
  // The flow must outlive the changes in conntrack's table.
  ASSERT_EQ(Shell(InDaemonSide("sysctl -qw net.netfilter.nf_conntrack_udp_timeout=300")), 0);
  SendDatagrams(3);  // the second is marked, the third passes the queue
  ASSERT_EQ(PeerDatagrams(), 3u);
  const std::uint32_t marked = ShownGeneration();
  ASSERT_NE(marked, 0u) << QueueRules();

  PacketFilterSetting dropping = SendFilter("dropping", 17, 7777, 0, 0);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, dropping));
  int changes = 0;
  std::uint32_t shown = marked;
  do {
    const std::uint32_t before = shown;
    ASSERT_TRUE(driver_->HlModifyTBFClass(kDaemonVeth, limited_));
    ASSERT_TRUE(WaitFor([&] { return (shown = ShownGeneration()) != before; }, 2s)) << QueueRules();
    ++changes;
  } while (shown != marked && changes < 200);
  ASSERT_EQ(shown, marked) << "the generations did not come round";
  SendDatagrams(1);
  EXPECT_EQ(PeerDatagrams(), 3u) << "a datagram passed the dropping class on an old mark";
  std::cout << "[ FIGURES  ] back at generation " << marked << " after " << changes << " changes\n";
}

}  // namespace
}  // namespace harlune::testing
