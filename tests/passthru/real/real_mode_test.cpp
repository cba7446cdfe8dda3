// harlune-passthru in real mode on a veth pair between two network
// namespaces, driven by harlune-headless, measured with iperf3. Root only;
// nothing outside the two namespaces it makes is touched.

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "core/app/settings_store.h"
#include "core/driver/driver_link.h"
#include "core/monitor/adapter_table.h"
#include "e2e_support.h"
#include "platform/linux/unix_socket_transport.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDaemonSide = "hlrt-a";
constexpr const char* kPeerSide = "hlrt-b";
constexpr const char* kDaemonVeth = "hlrt0";
constexpr const char* kPeerVeth = "hlrt1";
constexpr const char* kPeerAddress = "198.18.0.2";
constexpr std::uint32_t kLimit = 1024 * 1024;  // bytes per second
// One filter per port; the class ids follow the filters' order.
constexpr std::uint16_t kTcpLimitedPort = 5201;
constexpr std::uint16_t kUdpLimitedPort = 5202;
constexpr std::uint16_t kThroughPort = 5203;
constexpr std::uint16_t kBlockedPort = 5204;
constexpr std::uint16_t kUnfilteredPort = 5205;

int Shell(const std::string& command) { return std::system(command.c_str()); }

std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
      text.append(buffer, n);
    }
    ::pclose(pipe);
  }
  return text;
}

bool HaveProgram(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

// A number after `"key":` in the part of iperf3's JSON that follows `section`.
double JsonNumber(const std::string& json, const std::string& section, const std::string& key) {
  const auto at = json.rfind("\"" + section + "\"");
  if (at == std::string::npos) {
    return 0;
  }
  const auto field = json.find("\"" + key + "\":", at);
  return field == std::string::npos ? 0 : std::atof(json.c_str() + field + key.size() + 3);
}

struct Measured {
  double bytes = 0;
  double seconds = 0;
  double Rate() const { return seconds > 0 ? bytes / seconds : 0; }
};

PacketFilterSetting SendFilter(const std::string& name, std::uint16_t protocol, std::uint16_t port,
                               std::uint32_t rate, std::uint8_t through) {
  PacketFilterSetting filter;
  filter.Name = name;
  filter.LowerAdapterName = kDaemonVeth;
  filter.TBFMode = 0;
  filter.Protocol = protocol;
  filter.TBFRate = rate;
  filter.TBFThrough = through;
  filter.RemotePortCount = 1;
  filter.RemotePorts[0] = protocol::HostPortRange(port, port);
  return filter;
}

class RealModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "real mode needs root (network namespaces, iptables, NFQUEUE)";
    }
    for (const char* program : {"iptables", "iperf3", "ip"}) {
      if (!HaveProgram(program)) {
        GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
      }
    }
    TearDownNetwork();
    ASSERT_EQ(Shell(std::string("ip netns add ") + kDaemonSide + " && ip netns add " + kPeerSide +
                    " && ip link add " + kDaemonVeth + " netns " + kDaemonSide +
                    " type veth peer name " + kPeerVeth + " netns " + kPeerSide + " && " +
                    InDaemonSide("ip addr add 198.18.0.1/30 dev ") + kDaemonVeth + " && " +
                    InPeerSide("ip addr add 198.18.0.2/30 dev ") + kPeerVeth + " && " +
                    InDaemonSide("ip link set lo up") + " && " + InPeerSide("ip link set lo up") +
                    " && " + InDaemonSide("ip link set up dev ") + kDaemonVeth + " && " +
                    InPeerSide("ip link set up dev ") + kPeerVeth),
              0);
    std::filesystem::create_directories(runtime_.path() / "run" / "harlune");
    socket_ = runtime_.path() / "run" / "harlune" / "PassThru";
    driver_ = std::make_unique<DriverLink>(transport_, std::vector<std::string>{socket_.string()});
    for (std::uint16_t port = kTcpLimitedPort; port <= kUnfilteredPort; ++port) {
      Shell(InPeerSide("iperf3 -s -D -p " + std::to_string(port)));
    }
  }

  void TearDown() override { TearDownNetwork(); }

  static void TearDownNetwork() {
    Shell(std::string("ip netns pids ") + kPeerSide + " 2>/dev/null | xargs -r kill 2>/dev/null");
    Shell(std::string("ip netns del ") + kDaemonSide + " 2>/dev/null");
    Shell(std::string("ip netns del ") + kPeerSide + " 2>/dev/null");
  }

  static std::string InDaemonSide(const std::string& command) {
    return std::string("ip netns exec ") + kDaemonSide + " " + command;
  }
  static std::string InPeerSide(const std::string& command) {
    return std::string("ip netns exec ") + kPeerSide + " " + command;
  }

  std::map<std::string, std::string> Environment() const {
    return {{"XDG_RUNTIME_DIR", (runtime_.path() / "run").string()}};
  }

  std::unique_ptr<testing::Child> StartDaemon() {
    std::filesystem::remove(socket_);
    auto daemon = std::make_unique<testing::Child>(
        "/usr/sbin/ip",
        std::vector<std::string>{"netns", "exec", kDaemonSide, HARLUNE_PASSTHRU_BIN, "--real",
                                 "--socket", socket_.string()},
        Environment(), runtime_.path() / "daemon.out");
    EXPECT_TRUE(testing::WaitFor([&] { return std::filesystem::exists(socket_); }, 5s))
        << testing::ReadFileText(runtime_.path() / "daemon.out");
    return daemon;
  }

  bool WriteSettings() {
    RecordingUserDialogs dialogs;
    Settings settings(settings_.path(), dialogs);
    settings.general.STARTUP_ON = 1;
    settings.filters.Add(SendFilter("tcp", 6, kTcpLimitedPort, kLimit, 0));
    settings.filters.Add(SendFilter("udp", 17, kUdpLimitedPort, kLimit, 0));
    settings.filters.Add(SendFilter("through", 6, kThroughPort, kLimit, 1));
    settings.filters.Add(SendFilter("blocked", 6, kBlockedPort, 0, 0));
    AdapterTable adapters;
    SettingsStore store(settings_.path(), settings, adapters, dialogs);
    return store.SaveAllSettings();
  }

  // iperf3 from the daemon's side to the peer; the figures of what arrived.
  Measured Iperf(std::uint16_t port, const std::string& options, int seconds, int omit = 0) {
    const std::string json = Output(InDaemonSide(
        "iperf3 -J -c " + std::string(kPeerAddress) + " -p " + std::to_string(port) + " -t " +
        std::to_string(seconds) + " -O " + std::to_string(omit) + " " + options + " 2>&1"));
    return {JsonNumber(json, "sum_received", "bytes"), JsonNumber(json, "sum_received", "seconds")};
  }

  std::uint64_t ClassBytes(std::uint32_t classId) {
    protocol::ClassStatistics statistics;
    return driver_->HlGetTBFClassStatistics(kDaemonVeth, classId, statistics)
               ? statistics.transferredBytes
               : 0;
  }

  std::uint64_t SentTotal() {
    protocol::TotalStatistics totals;
    return driver_->HlGetTotalStatistics(kDaemonVeth, totals) ? totals.sentBytes : 0;
  }

  std::string QueueRules() { return Output(InDaemonSide("iptables -w -t mangle -S")); }

  testing::TempDir runtime_;
  testing::TempDir settings_;
  std::filesystem::path socket_;
  UnixSocketTransport transport_;
  std::unique_ptr<DriverLink> driver_;
};

// Bytes on the wire (IPv4 length) for payload bytes in full segments of
// `payload` bytes with `headers` bytes of IPv4 and transport headers each.
double WireBytes(double payloadBytes, double payload, double headers) {
  return payloadBytes / payload * (payload + headers);
}

TEST_F(RealModeTest, ShapesCountsCapturesAndFailsOpen) {
  ASSERT_TRUE(WriteSettings());
  auto daemon = StartDaemon();
  testing::Child headless(
      "/usr/sbin/ip",
      {"netns", "exec", kDaemonSide, HARLUNE_HEADLESS_BIN, settings_.path().string()},
      Environment(), runtime_.path() / "headless.out");
  ASSERT_TRUE(
      testing::WaitFor([&] { return QueueRules().find("NFQUEUE") != std::string::npos; }, 10s))
      << testing::ReadFileText(runtime_.path() / "headless.out");

  // TCP limited to 1 MiB/s: 5 s to settle, then 10 s measured.
  const std::uint64_t tcpClassBefore = ClassBytes(1);
  const std::uint64_t sentBefore = SentTotal();
  const Measured tcp = Iperf(kTcpLimitedPort, "", 15, 5);
  EXPECT_NEAR(tcp.Rate(), kLimit, kLimit * 0.05);

  // UDP offered at twice the limit, 1400-byte datagrams (1428 on the wire).
  const std::uint64_t udpClassBefore = ClassBytes(2);
  const Measured udp = Iperf(kUdpLimitedPort, "-u -b 16M -l 1400", 15, 5);
  EXPECT_NEAR(udp.Rate(), kLimit, kLimit * 0.05);
  const std::uint64_t udpClassBytes = ClassBytes(2) - udpClassBefore;
  // Under the limit nothing waits in the queue, so every byte is counted.
  std::this_thread::sleep_for(1s);  // the server takes a moment after a lossy run
  const std::uint64_t udpClassMid = ClassBytes(2);
  const Measured udpAll = Iperf(kUdpLimitedPort, "-u -b 4M -l 1400", 3);
  ASSERT_GT(udpAll.bytes, 0) << "iperf3 measured nothing";
  const std::uint64_t udpCounted = ClassBytes(2) - udpClassMid;
  EXPECT_GT(udpClassBytes, 0u);
  EXPECT_NEAR(static_cast<double>(udpCounted), WireBytes(udpAll.bytes, 1400, 28),
              WireBytes(udpAll.bytes, 1400, 28) * 0.02);

  // Class and totals against iperf3 for an unshaped-in-practice TCP run.
  const std::uint64_t tcpClassMid = ClassBytes(1);
  const std::uint64_t sentMid = SentTotal();
  const Measured tcpCount = Iperf(kTcpLimitedPort, "-n 2M", 10);
  const double tcpWire = WireBytes(tcpCount.bytes, 1448, 52);
  EXPECT_NEAR(static_cast<double>(ClassBytes(1) - tcpClassMid), tcpWire, tcpWire * 0.02);
  EXPECT_NEAR(static_cast<double>(SentTotal() - sentMid), tcpWire, tcpWire * 0.02);
  EXPECT_GT(ClassBytes(1), tcpClassBefore);
  EXPECT_GT(SentTotal(), sentBefore);

  // TBFThrough costs no throughput against traffic no class matches.
  // Both are bound by the machine's CPU, which other work shares: the best
  // of alternating runs is compared.
  double unfiltered = 0;
  double through = 0;
  for (int i = 0; i < 3; ++i) {
    unfiltered = std::max(unfiltered, Iperf(kUnfilteredPort, "", 3, 1).Rate());
    through = std::max(through, Iperf(kThroughPort, "", 3, 1).Rate());
  }
  EXPECT_GE(through, 0.9 * unfiltered) << "through " << through << " unfiltered " << unfiltered;
  std::cout << "[ FIGURES  ] TCP " << tcp.Rate() << " B/s, UDP " << udp.Rate()
            << " B/s, unfiltered " << unfiltered << " B/s, TBFThrough " << through << " B/s\n";

  // Rate 0 on one port blocks it and nothing else.
  EXPECT_EQ(Iperf(kBlockedPort, "--connect-timeout 1500", 1).bytes, 0);
  EXPECT_GT(Iperf(kUnfilteredPort, "", 1).bytes, 0);

  // The capture holds the real frames with the veth pair's MAC addresses.
  const std::string ownMac =
      Output(InDaemonSide(std::string("cat /sys/class/net/") + kDaemonVeth + "/address"));
  PacketReadBuffer records{};
  std::size_t count = 0;
  for (int i = 0; i < 20 && count == 0; ++i) {
    Shell(InDaemonSide(std::string("iperf3 -c ") + kPeerAddress + " -p 5205 -t 1 >/dev/null"));
    count = driver_->HlReadPackets(kDaemonVeth, records).value_or(0);
  }
  ASSERT_GT(count, 0u);
  char source[18];
  std::snprintf(source, sizeof source, "%02x:%02x:%02x:%02x:%02x:%02x", records[10], records[11],
                records[12], records[13], records[14], records[15]);
  char destination[18];
  std::snprintf(destination, sizeof destination, "%02x:%02x:%02x:%02x:%02x:%02x", records[4],
                records[5], records[6], records[7], records[8], records[9]);
  EXPECT_TRUE(ownMac.starts_with(source) || ownMac.starts_with(destination))
      << ownMac << " " << source << " " << destination;

  // SIGKILL: the rules stay, but with nobody on the queue traffic flows.
  headless.Signal(SIGKILL);
  daemon->Signal(SIGKILL);
  daemon->WaitForExit(5s);
  EXPECT_NE(QueueRules().find("NFQUEUE"), std::string::npos);
  EXPECT_GT(Iperf(kTcpLimitedPort, "", 2).Rate(), 4.0 * kLimit);
  // A new daemon removes what the dead one left.
  daemon = StartDaemon();
  EXPECT_EQ(QueueRules().find("NFQUEUE"), std::string::npos) << QueueRules();
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitForExit(5s), std::optional<int>(0));
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
}

}  // namespace
}  // namespace harlune
