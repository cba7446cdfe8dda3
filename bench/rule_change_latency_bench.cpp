// How long a client waits for the real-mode daemon's answer while its queue
// rules change. harlune-passthru --real serves a veth pair in a network
// namespace of its own; a client sends HlGetTotalStatistics on a bound
// connection every 2 ms and times each answer. Phases of 4 s alternate:
// with no rule change (the reference), and with a second client turning a
// class TBFThrough and back every 25 ms, so that the daemon adds or removes
// the direction's NFQUEUE rule each time. The kernel's nftables
// notifications count the rules the daemon really added and removed (with
// iptables-nft; the legacy iptables sends none). Root only.
//
// HARLUNE_BENCH_PASSTHRU names another daemon to measure (an older build).

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "core/driver/driver_link.h"
#include "passthru/real/command_runner.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/utf16.h"
#include "support/temp_dir.h"

extern char** environ;

namespace harlune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kNamespace = "hlbench-rules";
constexpr const char* kVeth = "hlbn0";
constexpr auto kPhase = 4s;
constexpr auto kRequestGap = 2ms;
constexpr auto kTogglePeriod = 25ms;

int RunProgram(const std::vector<std::string>& arguments) {
  SpawnCommandRunner runner;
  return runner.Run(arguments);
}

bool SetUpNamespace() {
  RunProgram({"ip", "netns", "del", kNamespace});
  return RunProgram({"ip", "netns", "add", kNamespace}) == 0 &&
         RunProgram({"ip", "-n", kNamespace, "link", "add", kVeth, "type", "veth", "peer", "name",
                     "hlbn1"}) == 0 &&
         RunProgram({"ip", "-n", kNamespace, "link", "set", kVeth, "up"}) == 0 &&
         RunProgram({"ip", "-n", kNamespace, "link", "set", "hlbn1", "up"}) == 0;
}

bool SendRuleThere() {
  return RunProgram({"ip", "netns", "exec", kNamespace, "iptables", "-w", "-t", "mangle", "-C",
                     "HARLUNE-OUT", "-o", kVeth, "-j", "NFQUEUE", "--queue-num", "20006",
                     "--queue-bypass"}) == 0;
}

// The daemon in the namespace, until the object goes.
class Daemon {
 public:
  Daemon(const std::string& program, const std::filesystem::path& socket,
         const std::filesystem::path& output) {
    const std::vector<std::string> arguments{"ip",    "netns",  "exec",     kNamespace,
                                             program, "--real", "--socket", socket.string()};
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawnp(&pid_, "ip", &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Daemon() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  bool Started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// A reply of `size` bytes with error 0.
bool ReceiveReply(int fd, std::size_t size) {
  std::vector<std::uint8_t> reply(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, reply.data() + got, size - got, 0);
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return reply[0] == 0 && reply[1] == 0 && reply[2] == 0 && reply[3] == 0;
}

// A connection bound to the veth, as the application keeps one; -1 on failure.
int BoundConnection(const std::filesystem::path& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto bind =
      protocol::EncodeRequest(static_cast<std::uint32_t>(protocol::RequestCode::HlBindAdapter),
                              protocol::EncodeUtf16Le(u"\\DEVICE\\hlbn0"), 4);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !SendAll(fd, bind) || !ReceiveReply(fd, protocol::kReplyHeaderSize + 4)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Counts the rules added to and removed from the namespace's nftables,
// from the kernel's notifications, on a thread of its own.
class RuleChangeCounter {
 public:
  RuleChangeCounter() {
    // The socket belongs to the namespace of the thread that makes it.
    std::thread([this] {
      const int ns = ::open((std::string("/run/netns/") + kNamespace).c_str(), O_RDONLY);
      if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
      }
      if (ns >= 0) {
        ::close(ns);
      }
    }).join();
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1u << (NFNLGRP_NFTABLES - 1);
    const timeval wait{0, 50'000};
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
      return;
    }
    reader_ = std::thread([this] { Read(); });
  }
  ~RuleChangeCounter() {
    stop_.store(true);
    if (reader_.joinable()) {
      reader_.join();
    }
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  RuleChangeCounter(const RuleChangeCounter&) = delete;
  RuleChangeCounter& operator=(const RuleChangeCounter&) = delete;
  int Changes() const { return changes_.load(); }

 private:
  void Read() {
    std::vector<char> buffer(1 << 16);
    while (!stop_.load()) {
      const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
      auto* message = reinterpret_cast<nlmsghdr*>(buffer.data());
      for (auto left = static_cast<int>(got); got > 0 && NLMSG_OK(message, left);
           message = NLMSG_NEXT(message, left)) {
        const int type = message->nlmsg_type;
        changes_ += type == ((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE) ||
                            type == ((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_DELRULE)
                        ? 1
                        : 0;
      }
    }
  }

  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> changes_{0};
  std::thread reader_;
};

struct Phase {
  std::vector<double> microseconds;  // one per request
  int ruleChanges = 0;
  bool failed = false;
};

// Requests every kRequestGap for kPhase.
Phase MeasurePhase(int fd, const RuleChangeCounter& counter) {
  Phase phase;
  const int changesBefore = counter.Changes();
  const auto request = protocol::EncodeRequest(
      static_cast<std::uint32_t>(protocol::RequestCode::HlGetTotalStatistics), {},
      protocol::kTotalStatisticsSize);
  const auto end = Clock::now() + kPhase;
  while (Clock::now() < end && !phase.failed) {
    const auto sent = Clock::now();
    phase.failed = !SendAll(fd, request) ||
                   !ReceiveReply(fd, protocol::kReplyHeaderSize + protocol::kTotalStatisticsSize);
    phase.microseconds.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    std::this_thread::sleep_for(kRequestGap);
  }
  phase.ruleChanges = counter.Changes() - changesBefore;
  return phase;
}

// Turns the class TBFThrough and back every kTogglePeriod until `stop`.
int Toggle(DriverLink& link, _TBF_SETTING_DATA& record, const std::atomic<bool>& stop) {
  int toggles = 0;
  while (!stop.load()) {
    std::this_thread::sleep_for(kTogglePeriod);
    record.TBFThrough = record.TBFThrough == 0 ? 1 : 0;
    toggles += link.HlModifyTBFClass(kVeth, record) ? 1 : 0;
  }
  return toggles;
}

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

double Percentile99(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(values.size() * 99 / 100);
  std::nth_element(values.begin(), at, values.end());
  return *at;
}

double Maximum(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// A limiting send class on the veth with filtering on: its rule is in place.
bool StartSession(DriverLink& link, _TBF_SETTING_DATA& record) {
  record.TBFMode = 0;
  record.Protocol = 6;
  record.TBFRate = 1024 * 1024;
  record.RemotePortCount = 1;
  record.RemotePorts[0] = protocol::HostPortRange(5201, 5201);
  return link.HlInitialize(kVeth) && link.HlAddTBFClass(kVeth, record) &&
         link.HlStartFiltering(kVeth) && WaitFor(SendRuleThere, 5s);
}

// After the phases: the daemon still follows the class both ways.
bool RuleFollowsTheClass(DriverLink& link, _TBF_SETTING_DATA& record) {
  record.TBFThrough = 0;
  if (!link.HlModifyTBFClass(kVeth, record) || !WaitFor(SendRuleThere, 5s)) {
    return false;
  }
  record.TBFThrough = 1;
  return link.HlModifyTBFClass(kVeth, record) && WaitFor([] { return !SendRuleThere(); }, 5s);
}

struct Totals {
  std::vector<double> steady;
  std::vector<double> changing;
  int toggles = 0;
  int steadyRuleChanges = 0;
  int changingRuleChanges = 0;
};

// Two rounds of a reference phase and a changing phase.
bool MeasureRounds(int fd, DriverLink& toggler, _TBF_SETTING_DATA& record, Totals& totals) {
  const RuleChangeCounter counter;
  for (int round = 0; round < 2; ++round) {
    const Phase steady = MeasurePhase(fd, counter);
    std::atomic<bool> stop{false};
    int toggles = 0;
    std::thread toggling([&] { toggles = Toggle(toggler, record, stop); });
    const Phase changing = MeasurePhase(fd, counter);
    stop.store(true);
    toggling.join();
    std::this_thread::sleep_for(300ms);  // the last change lands before the next reference
    if (steady.failed || changing.failed) {
      return false;
    }
    totals.steady.insert(totals.steady.end(), steady.microseconds.begin(),
                         steady.microseconds.end());
    totals.changing.insert(totals.changing.end(), changing.microseconds.begin(),
                           changing.microseconds.end());
    totals.toggles += toggles;
    totals.steadyRuleChanges += steady.ruleChanges;
    totals.changingRuleChanges += changing.ruleChanges;
  }
  return true;
}

void Report(benchmark::State& state, const Totals& totals) {
  state.counters["steady_median_us"] = Median(totals.steady);
  state.counters["steady_p99_us"] = Percentile99(totals.steady);
  state.counters["steady_max_us"] = Maximum(totals.steady);
  state.counters["changing_median_us"] = Median(totals.changing);
  state.counters["changing_p99_us"] = Percentile99(totals.changing);
  state.counters["changing_max_us"] = Maximum(totals.changing);
  state.counters["requests"] = static_cast<double>(totals.steady.size() + totals.changing.size());
  state.counters["toggles"] = totals.toggles;
  state.counters["rule_changes"] = totals.changingRuleChanges;
  state.counters["steady_rule_changes"] = totals.steadyRuleChanges;
}

std::string DaemonProgram() {
  const char* other = std::getenv("HARLUNE_BENCH_PASSTHRU");
  return other != nullptr && *other != '\0' ? other : HARLUNE_PASSTHRU_BIN;
}

void MeasureAgainstDaemon(benchmark::State& state, const std::filesystem::path& socket) {
  UnixSocketTransport transport;
  DriverLink link(transport, {socket.string()});
  _TBF_SETTING_DATA record;
  if (!StartSession(link, record)) {
    state.SkipWithError("the daemon refused the session or did not queue the class");
    return;
  }
  const int fd = BoundConnection(socket);
  if (fd < 0) {
    state.SkipWithError("cannot bind a connection to the daemon");
    return;
  }
  Totals totals;
  for (auto _ : state) {
    if (!MeasureRounds(fd, link, record, totals)) {
      state.SkipWithError("a request failed");
      break;
    }
  }
  ::close(fd);
  if (!RuleFollowsTheClass(link, record)) {
    state.SkipWithError("the daemon's rule no longer follows the class");
    return;
  }
  Report(state, totals);
}

void BM_PassthruRequestLatencyWhileRulesChange(benchmark::State& state) {
  if (::geteuid() != 0) {
    state.SkipWithError("needs root (a network namespace, iptables and NFQUEUE)");
    return;
  }
  if (!SetUpNamespace()) {
    state.SkipWithError("cannot make the network namespace and its veth pair (ip)");
    return;
  }
  {
    testing::TempDir folder;
    const auto socket = folder.path() / "PassThru";
    Daemon daemon(DaemonProgram(), socket, folder.path() / "daemon.out");
    if (!daemon.Started() || !WaitFor([&] { return std::filesystem::exists(socket); }, 5s)) {
      state.SkipWithError("harlune-passthru --real did not start");
    } else {
      MeasureAgainstDaemon(state, socket);
    }
  }
  RunProgram({"ip", "netns", "del", kNamespace});
}
BENCHMARK(BM_PassthruRequestLatencyWhileRulesChange)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace harlune
