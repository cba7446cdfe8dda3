#include "real_mode_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>

#include <sys/file.h>

#include "core/monitor/adapter_table.h"
#include "e2e_support.h"
#include "protocol/utf16.h"
#include "support/recording_user_dialogs.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

bool HaveProgram(const std::string& name) {
  return Shell("command -v " + name + " >/dev/null 2>&1") == 0;
}

}  // namespace

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

double WireBytes(double payloadBytes, double payload, double headers) {
  return payloadBytes / payload * (payload + headers);
}

double WireBytesSent(const Measured& measured, double payload, double headers) {
  return WireBytes(measured.bytes + (measured.retransmits + measured.lost) * payload, payload,
                   headers);
}

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

void RealModeTest::SetUp() {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "real mode needs root (network namespaces, iptables, NFQUEUE)";
  }
  for (const char* program : {"iptables", "iperf3", "ip"}) {
    if (!HaveProgram(program)) {
      GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
    }
  }
  machineLock_ =
      ::open("/run/lock/harlune-real-mode-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_TRUE(machineLock_ >= 0 && ::flock(machineLock_, LOCK_EX) == 0)
      << "cannot lock /run/lock/harlune-real-mode-tests.lock";
  TearDownNetwork();
  const std::string made = Output(
      std::string("(ip netns add ") + kDaemonSide + " && ip netns add " + kPeerSide +
      " && ip link add " + kDaemonVeth + " netns " + kDaemonSide + " type veth peer name " +
      kPeerVeth + " netns " + kPeerSide + " && " + InDaemonSide("ip addr add 198.18.0.1/30 dev ") +
      kDaemonVeth + " && " + InPeerSide("ip addr add 198.18.0.2/30 dev ") + kPeerVeth + " && " +
      InDaemonSide("ip -6 addr add 2001:2::1/64 nodad dev ") + kDaemonVeth + " && " +
      InPeerSide("ip -6 addr add 2001:2::2/64 nodad dev ") + kPeerVeth + " && " +
      InDaemonSide("ip link set lo up") + " && " + InPeerSide("ip link set lo up") + " && " +
      InDaemonSide("ip link set up dev ") + kDaemonVeth + " && " +
      InPeerSide("ip link set up dev ") + kPeerVeth + " && echo made) 2>&1");
  ASSERT_TRUE(made.ends_with("made\n")) << made;
  std::filesystem::create_directories(runtime_.path() / "run" / "harlune");
  socket_ = runtime_.path() / "run" / "harlune" / "PassThru";
  driver_ = std::make_unique<DriverLink>(transport_, std::vector<std::string>{socket_.string()});
  for (std::uint16_t port = kFirstServerPort; port <= kLastServerPort; ++port) {
    // In JSON, so that each client's report holds the server's intervals.
    Shell(InPeerSide("iperf3 -s -D -J -p " + std::to_string(port)));
  }
  // iperf3 -D returns before its server listens.
  const auto listening = [] {
    const std::string sockets = Output(InPeerSide("ss -Hltn"));
    return std::count(sockets.begin(), sockets.end(), '\n') > kLastServerPort - kFirstServerPort;
  };
  ASSERT_TRUE(WaitFor(listening, 5s)) << Output(InPeerSide("ss -ltn"));
}

void RealModeTest::TearDown() {
  TearDownNetwork();
  if (machineLock_ >= 0) {
    ::close(machineLock_);  // lets the lock go
  }
}

void RealModeTest::TearDownNetwork() {
  Shell(std::string("ip netns pids ") + kPeerSide + " 2>/dev/null | xargs -r kill 2>/dev/null");
  Shell(std::string("ip netns del ") + kDaemonSide + " 2>/dev/null");
  Shell(std::string("ip netns del ") + kPeerSide + " 2>/dev/null");
}

std::string RealModeTest::InDaemonSide(const std::string& command) {
  return std::string("ip netns exec ") + kDaemonSide + " " + command;
}

std::string RealModeTest::InPeerSide(const std::string& command) {
  return std::string("ip netns exec ") + kPeerSide + " " + command;
}

std::map<std::string, std::string> RealModeTest::Environment() const {
  return {{"XDG_RUNTIME_DIR", (runtime_.path() / "run").string()}};
}

bool RealModeTest::WriteSettings(const std::function<void(Settings&)>& fill) {
  RecordingUserDialogs dialogs;
  Settings settings(settings_.path(), dialogs);
  settings.general.STARTUP_ON = 1;
  fill(settings);
  AdapterTable adapters;
  SettingsStore store(settings_.path(), settings, adapters, dialogs);
  return store.SaveAllSettings();
}

std::unique_ptr<Child> RealModeTest::StartDaemon(
    const std::map<std::string, std::string>& environment) {
  std::filesystem::remove(socket_);
  std::map<std::string, std::string> variables = Environment();
  variables.insert(environment.begin(), environment.end());
  auto daemon = std::make_unique<Child>(
      "/usr/sbin/ip",
      std::vector<std::string>{"netns", "exec", kDaemonSide, HARLUNE_PASSTHRU_BIN, "--real",
                               "--socket", socket_.string()},
      variables, runtime_.path() / "daemon.out");
  EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(socket_); }, 5s))
      << ReadFileText(runtime_.path() / "daemon.out");
  return daemon;
}

std::unique_ptr<Child> RealModeTest::StartHeadless() {
  return std::make_unique<Child>(
      "/usr/sbin/ip",
      std::vector<std::string>{"netns", "exec", kDaemonSide, HARLUNE_HEADLESS_BIN,
                               settings_.path().string()},
      Environment(), runtime_.path() / "headless.out");
}

std::string RealModeTest::QueueRules() { return Output(InDaemonSide("iptables -w -t mangle -S")); }

bool RealModeTest::VethQueued() {
  return QueueRules().find(std::string("-o ") + kDaemonVeth + " -j NFQUEUE") != std::string::npos;
}

bool RealModeTest::WaitForVethQueued() {
  const bool queued = WaitFor([this] { return VethQueued(); }, 10s);
  EXPECT_TRUE(queued) << ReadFileText(runtime_.path() / "headless.out");
  return queued;
}

std::string RealModeTest::QueueRules6() {
  return Output(InDaemonSide("ip6tables -w -t mangle -S"));
}

bool RealModeTest::VethQueued6() {
  return QueueRules6().find(std::string("-o ") + kDaemonVeth + " -j NFQUEUE") != std::string::npos;
}

DeviceCallResult RealModeTest::RawRequest(protocol::RequestCode code,
                                          std::span<const std::uint8_t> input,
                                          std::span<std::uint8_t> output) {
  const auto handle = transport_.OpenDevice(socket_.string());
  if (!handle) {
    return {};
  }
  const std::string name = kDaemonVeth;  // ASCII: one UTF-16 unit a character
  const std::vector<std::uint8_t> path =
      protocol::EncodeUtf16Le(u"\\DEVICE\\" + std::u16string(name.begin(), name.end()));
  std::array<std::uint8_t, 4> status{};
  const DeviceCallResult bound = handle->Control(
      static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter), path, status);
  if (!bound.succeeded || protocol::LoadLe32(status, 0) != protocol::kBindStatusBound) {
    return {};
  }
  return handle->Control(static_cast<std::uint32_t>(code), input, output);
}

Measured RealModeTest::Iperf(std::uint16_t port, const std::string& options, int seconds,
                             int omit) {
  return IperfTo(kPeerAddress, port, options, seconds, omit);
}

Measured RealModeTest::Iperf6(std::uint16_t port, const std::string& options, int seconds,
                              int omit) {
  return IperfTo(kPeerAddress6, port, "-6 " + options, seconds, omit);
}

Measured RealModeTest::IperfTo(const std::string& address, std::uint16_t port,
                               const std::string& options, int seconds, int omit) {
  const std::string command =
      InDaemonSide("iperf3 -J --get-server-output -c " + address + " -p " + std::to_string(port) +
                   " -t " + std::to_string(omit + seconds) + " " + options + " 2>&1");
  std::string json = Output(command);
  // A server still closing the test before (its client has ended, it has
  // not) refuses the next one at once; it is free a moment later.
  for (int retry = 0; retry < 20 && json.find("the server is busy") != std::string::npos; ++retry) {
    std::this_thread::sleep_for(250ms);
    json = Output(command);
  }
  return ReceivedAfter(std::move(json), omit);
}

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

void RealModeTest::KilledDaemonLetsTrafficPassAndANewOneCleans(std::unique_ptr<Child> headless,
                                                               std::unique_ptr<Child> daemon,
                                                               std::uint16_t port, double limit,
                                                               bool ipv6) {
  const auto rules = [this, ipv6] { return ipv6 ? QueueRules6() : QueueRules(); };
  headless->Signal(SIGKILL);
  daemon->Signal(SIGKILL);
  daemon->WaitForExit(5s);
  EXPECT_NE(rules().find("NFQUEUE"), std::string::npos);
  EXPECT_GT((ipv6 ? Iperf6(port, "", 2) : Iperf(port, "", 2)).Rate(), 4.0 * limit);
  daemon = StartDaemon();
  EXPECT_EQ(rules().find("NFQUEUE"), std::string::npos) << rules();
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitForExit(5s), std::optional<int>(0));
  EXPECT_EQ(rules().find("HARLUNE"), std::string::npos) << rules();
}

std::vector<double> RealModeTest::SideBySideRatios(std::uint32_t classId, std::uint16_t throughPort,
                                                   std::uint16_t unfilteredPort, bool ipv6) {
  const auto iperf = [this, ipv6](std::uint16_t port) {
    return ipv6 ? Iperf6(port, "", 4, 1) : Iperf(port, "", 4, 1);
  };
  std::vector<double> ratios;
  for (int i = 0; i < 5; ++i) {
    const std::uint64_t classBefore = ClassBytes(classId);
    Measured beside;
    std::thread unfilteredFlow([&] { beside = iperf(unfilteredPort); });
    const Measured through = iperf(throughPort);
    unfilteredFlow.join();
    ratios.push_back(beside.Rate() > 0 ? through.Rate() / beside.Rate() : 0);
    // The class saw its flow (payload and headers; the measured seconds and
    // the first one, which iperf3 leaves out).
    EXPECT_GE(static_cast<double>(ClassBytes(classId) - classBefore), through.bytes);
  }
  return ratios;
}

std::uint64_t RealModeTest::ClassBytes(std::uint32_t classId) {
  protocol::ClassStatistics statistics;
  return driver_->HlGetTBFClassStatistics(kDaemonVeth, classId, statistics)
             ? statistics.transferredBytes
             : 0;
}

std::uint64_t RealModeTest::SentTotal() {
  protocol::TotalStatistics totals;
  return driver_->HlGetTotalStatistics(kDaemonVeth, totals) ? totals.sentBytes : 0;
}

}  // namespace harlune::testing
