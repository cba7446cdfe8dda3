// The connection monitor's table read with a busy system table: 10,000
// loopback IPv4 TCP sockets (5,000 connected pairs) owned by this process,
// read through sock_diag joined with the /proc fd scan, once with a cold
// owner cache (the first refresh) and once with a warm one (a refresh where
// nothing changed). `ss -tanp` reads the same sockets with their owners in
// the same run, for comparison. The dual-stack run then adds 5,000 IPv6
// sockets on ::1 and 5,000 IPv6 sockets of IPv4 connections (IPv6 clients
// of ::ffff:127.0.0.1 accepted by a dual-stack listener on ::), and also
// times the whole steady-state refresh of the connection monitor.

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "core/monitor/connection_monitor.h"
#include "core/monitor/connection_rows.h"
#include "core/monitor/tcp_table.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"
#include "support/real_socket_support.h"

extern char** environ;

namespace harlune {
namespace {

constexpr int kPairs = 5000;
// Of each: pairs of native IPv6 sockets and pairs of mapped ones.
constexpr int kIpv6Pairs = 2500;
// Each of the two processes that hold the sockets (see AddIpv6) needs this
// many descriptors.
constexpr rlim_t kFilesNeeded = 2 * kPairs + 512;
static_assert(4 * kIpv6Pairs <= 2 * kPairs);

// A socket that ends with a reset when closed, so that a run leaves no
// TIME_WAIT rows behind to swell the table of the next one.
int ResettingSocket(int family) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const linger reset{1, 0};
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  return fd;
}

sockaddr_in6 Ipv6Address(const in6_addr& address, in_port_t port) {
  sockaddr_in6 socketAddress{};
  socketAddress.sin6_family = AF_INET6;
  socketAddress.sin6_addr = address;
  socketAddress.sin6_port = port;
  return socketAddress;
}

in6_addr MappedLoopback() {
  in6_addr address{};
  address.s6_addr[10] = 0xFF;
  address.s6_addr[11] = 0xFF;
  address.s6_addr[12] = 127;
  address.s6_addr[15] = 1;
  return address;
}

// kIpv6Pairs connections from IPv6 clients to `connectTo` accepted by a
// listener on `listenAt`, left open; false when one could not be made.
bool AddIpv6Pairs(const in6_addr& listenAt, bool v6Only, const in6_addr& connectTo) {
  const int listener = ResettingSocket(AF_INET6);
  const int only = v6Only ? 1 : 0;
  sockaddr_in6 address = Ipv6Address(listenAt, 0);
  socklen_t size = sizeof address;
  if (listener < 0 || setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
      listen(listener, 128) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return false;
  }
  const sockaddr_in6 peer = Ipv6Address(connectTo, address.sin6_port);
  for (int pair = 0; pair < kIpv6Pairs; ++pair) {
    const int client = ResettingSocket(AF_INET6);
    if (client < 0 || connect(client, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 ||
        accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) < 0) {
      return false;
    }
  }
  return true;
}

// The child that holds the IPv6 sockets: makes them, says whether it
// could, and keeps them until the benchmark ends it.
[[noreturn]] void HoldIpv6Sockets(int ready) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const bool made = AddIpv6Pairs(in6addr_loopback, true, in6addr_loopback) &&
                    AddIpv6Pairs(in6addr_any, false, MappedLoopback());
  const char answer = made ? 'y' : 'n';
  if (write(ready, &answer, 1) == 1 && made) {
    pause();
  }
  _exit(0);
}

// The sockets, made once for the whole run and kept open until it ends.
class LoopbackSockets {
 public:
  static LoopbackSockets& Instance() {
    static LoopbackSockets sockets;
    return sockets;
  }
  // Empty when the sockets are there, else why not.
  const std::string& Error() const { return error_; }

  // Adds the IPv6 sockets once (the IPv4-only run comes first), held by a
  // child process: one process holds no more descriptors than the hard
  // RLIMIT_NOFILE, which may be below the 20,000 sockets of the whole run
  // and out of reach (no CAP_SYS_RESOURCE). The table read does the same
  // work for the sockets of two processes as for those of one.
  void AddIpv6() {
    if (!error_.empty() || holder_ > 0) {
      return;
    }
    std::array<int, 2> ready{};
    if (pipe2(ready.data(), O_CLOEXEC) != 0) {
      error_ = "cannot make a pipe";
      return;
    }
    holder_ = fork();
    if (holder_ == 0) {
      for (const int fd : fds_) {
        close(fd);  // the IPv4 sockets stay with the parent alone
      }
      HoldIpv6Sockets(ready[1]);
    }
    close(ready[1]);
    char made = 0;
    if (holder_ < 0 || read(ready[0], &made, 1) != 1 || made != 'y') {
      error_ = "cannot make the IPv6 connections";
    }
    close(ready[0]);
  }
  // Whether the process is one that holds the run's sockets.
  bool Owns(std::int32_t pid) const { return pid == getpid() || (holder_ > 0 && pid == holder_); }

 private:
  LoopbackSockets() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < kFilesNeeded) {
      limit.rlim_cur = kFilesNeeded;
      limit.rlim_max = std::max(limit.rlim_max, kFilesNeeded);
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error_ = "cannot raise RLIMIT_NOFILE to " + std::to_string(kFilesNeeded);
        return;
      }
    }
    const int listener = Keep(ResettingSocket(AF_INET));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        listen(listener, 128) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      error_ = "cannot listen on loopback";
      return;
    }
    for (int pair = 0; pair < kPairs; ++pair) {
      const int client = Keep(ResettingSocket(AF_INET));
      if (client < 0 ||
          connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          Keep(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
        error_ = "cannot make connection " + std::to_string(pair);
        return;
      }
    }
  }
  ~LoopbackSockets() {
    if (holder_ > 0) {
      kill(holder_, SIGKILL);
      waitpid(holder_, nullptr, 0);
    }
    for (const int fd : fds_) {
      close(fd);
    }
  }
  int Keep(int fd) {
    if (fd >= 0) {
      fds_.push_back(fd);
    }
    return fd;
  }

  std::vector<int> fds_;
  std::string error_;
  pid_t holder_ = 0;
};

// The rows of the table that the run's processes own, or -1 when the read
// failed; `ipv6` counts those with IPv6 addresses.
std::int64_t ReadOwnRows(NetlinkTcpTable& table, std::int64_t* ipv6 = nullptr) {
  const TcpTableResult result = table.ReadTable();
  if (!result.ok) {
    return -1;
  }
  const LoopbackSockets& sockets = LoopbackSockets::Instance();
  std::int64_t own = 0;
  std::int64_t ownIpv6 = 0;
  for (const TcpTableRow& row : result.rows) {
    const bool ours = sockets.Owns(row.owningPid);
    own += ours ? 1 : 0;
    ownIpv6 += ours && !row.localAddr.IsIpv4() ? 1 : 0;
  }
  if (ipv6 != nullptr) {
    *ipv6 = ownIpv6;
  }
  return own;
}

// Two reads settle the owner cache: a socket that no readable fd folder
// holds (another user's, or one of a process outside this pid namespace) is
// looked for in every folder once more at the second read and only then
// noted as unowned. The steady-state figures start after that.
void WarmUp(NetlinkTcpTable& table) {
  ReadOwnRows(table);
  ReadOwnRows(table);
}

// Runs `ss -tanp` (a fixed command line, no shell) and reads its output to
// the end. Returns the number of lines, or -1 when it could not run.
std::int64_t RunSs() {
  std::array<int, 2> pipeFds{};
  if (pipe2(pipeFds.data(), O_CLOEXEC) != 0) {
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::array<char, 3> program{'s', 's', '\0'};
  std::array<char, 6> option{'-', 't', 'a', 'n', 'p', '\0'};
  std::array<char*, 3> argv{program.data(), option.data(), nullptr};
  pid_t child = -1;
  const int spawned = posix_spawnp(&child, "ss", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::int64_t lines = 0;
  if (spawned == 0) {
    std::array<char, 65536> buffer{};
    for (;;) {
      const ssize_t got = read(pipeFds[0], buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      for (ssize_t at = 0; at < got; ++at) {
        lines += buffer[static_cast<std::size_t>(at)] == '\n' ? 1 : 0;
      }
    }
  }
  close(pipeFds[0]);
  int status = 0;
  if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return lines;
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Each iteration: one cold read (a new owner cache, as at the first
// refresh), one warm read (the cache of earlier reads, nothing changed) and
// one `ss -tanp`. The counters give each in milliseconds and their ratios.
void BM_TcpTable_RefreshVersusSs(benchmark::State& state) {
  const LoopbackSockets& sockets = LoopbackSockets::Instance();
  if (!sockets.Error().empty()) {
    state.SkipWithError(sockets.Error().c_str());
    return;
  }
  ProcProcesses warmProcesses;
  NetlinkTcpTable warmTable(&warmProcesses);
  WarmUp(warmTable);

  double coldMs = 0;
  double warmMs = 0;
  double ssMs = 0;
  std::int64_t ownRows = 0;
  std::int64_t ssLines = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    {
      ProcProcesses coldProcesses;
      NetlinkTcpTable coldTable(&coldProcesses);
      ownRows = ReadOwnRows(coldTable);
    }
    coldMs += MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    const std::int64_t warmRows = ReadOwnRows(warmTable);
    warmMs += MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    ssLines = RunSs();
    ssMs += MillisecondsSince(start);

    if (ownRows < 2 * kPairs || warmRows != ownRows) {
      state.SkipWithError("the table read missed the benchmark's own sockets");
      return;
    }
    if (ssLines < 2 * kPairs) {
      state.SkipWithError("ss -tanp did not run or listed too few sockets");
      return;
    }
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["own_rows"] = static_cast<double>(ownRows);
  state.counters["ss_lines"] = static_cast<double>(ssLines);
  state.counters["cold_ms"] = coldMs / iterations;
  state.counters["warm_ms"] = warmMs / iterations;
  state.counters["ss_tanp_ms"] = ssMs / iterations;
  state.counters["ss_over_cold"] = ssMs / coldMs;
  state.counters["ss_over_warm"] = ssMs / warmMs;
  state.counters["cold_over_warm"] = coldMs / warmMs;
}
BENCHMARK(BM_TcpTable_RefreshVersusSs)->Unit(benchmark::kMillisecond)->UseRealTime();

// The whole steady-state refresh of the connection monitor, one refresh per
// iteration: the take (the table read
// with its owners and the process list, what the window's worker does) and
// the apply (the records brought up to date, on the window's thread), with
// nothing changed since the refresh before.
void SteadyStateRefresh(benchmark::State& state, bool dualStack) {
  LoopbackSockets& sockets = LoopbackSockets::Instance();
  if (dualStack) {
    sockets.AddIpv6();
  }
  if (!sockets.Error().empty()) {
    state.SkipWithError(sockets.Error().c_str());
    return;
  }
  ProcProcesses processes;
  NetlinkTcpTable table(&processes);
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  // New connections, then the owner cache settled as WarmUp does.
  monitor.Refresh();
  monitor.Refresh();
  // Refresh is the two halves in a row; each is timed on its own as well,
  // and so are the connection page's rows built from the records (outside
  // the iteration's time), which the window builds on its thread after an
  // apply while the page is in view.
  double takeMs = 0;
  double applyMs = 0;
  double rowsMs = 0;
  std::size_t shownRows = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    ConnectionSnapshot snapshot = monitor.TakeSnapshot();
    takeMs += MillisecondsSince(start);
    const auto applyStart = std::chrono::steady_clock::now();
    const bool applied = monitor.ApplySnapshot(std::move(snapshot));
    applyMs += MillisecondsSince(applyStart);
    if (!applied) {
      state.SkipWithError("the table could not be read");
      return;
    }
    state.PauseTiming();
    const auto rowsStart = std::chrono::steady_clock::now();
    shownRows = BuildConnectionRows(monitor, {true, false}, ConnectionSortOrder{}).size();
    rowsMs += MillisecondsSince(rowsStart);
    state.ResumeTiming();
  }
  const std::size_t expected = 2 * kPairs + (dualStack ? 4 * kIpv6Pairs : 0);
  if (monitor.Connections().size() < expected) {
    state.SkipWithError("the monitor missed the benchmark's own sockets");
    return;
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["take_ms"] = takeMs / iterations;
  state.counters["apply_ms"] = applyMs / iterations;
  state.counters["page_rows_ms"] = rowsMs / iterations;
  state.counters["page_rows"] = static_cast<double>(shownRows);
  state.counters["connections"] = static_cast<double>(monitor.Connections().size());
}

// Over the IPv4 sockets alone (10,001 of them); registered before the
// dual-stack benchmarks, which add the IPv6 sockets for good.
void BM_ConnectionMonitor_SteadyStateRefresh10k(benchmark::State& state) {
  SteadyStateRefresh(state, false);
}
BENCHMARK(BM_ConnectionMonitor_SteadyStateRefresh10k)->Unit(benchmark::kMillisecond)->UseRealTime();

// Over the dual-stack sockets (20,004).
void BM_ConnectionMonitor_SteadyStateRefresh(benchmark::State& state) {
  SteadyStateRefresh(state, true);
}

// The dual-stack table's reads of one iteration, in milliseconds.
struct DualStackTimes {
  double dumpMs = 0;
  double coldMs = 0;
  double warmMs = 0;
  double monitorMs = 0;
  double ssMs = 0;
};

// The dumps without owners, a cold read, a warm read, a steady-state
// monitor refresh and `ss -tanp`;
// false (with the reason in `state`) when one missed the sockets.
bool TimeDualStackReads(benchmark::State& state, NetlinkTcpTable& warmTable,
                        ConnectionMonitor& monitor, DualStackTimes& times) {
  constexpr std::int64_t kOwnSockets = 2 * kPairs + 4 * kIpv6Pairs;
  auto start = std::chrono::steady_clock::now();
  const bool dumped = NetlinkTcpTable(nullptr).ReadTable().ok;  // the two dumps alone
  times.dumpMs += MillisecondsSince(start);
  start = std::chrono::steady_clock::now();
  std::int64_t coldRows = 0;
  {
    ProcProcesses coldProcesses;
    NetlinkTcpTable coldTable(&coldProcesses);
    coldRows = ReadOwnRows(coldTable);
  }
  times.coldMs += MillisecondsSince(start);
  start = std::chrono::steady_clock::now();
  std::int64_t ipv6Rows = 0;
  const std::int64_t warmRows = ReadOwnRows(warmTable, &ipv6Rows);
  times.warmMs += MillisecondsSince(start);
  start = std::chrono::steady_clock::now();
  const bool refreshed = monitor.Refresh();
  times.monitorMs += MillisecondsSince(start);
  start = std::chrono::steady_clock::now();
  const std::int64_t ssLines = RunSs();
  times.ssMs += MillisecondsSince(start);

  if (!dumped || coldRows < kOwnSockets || warmRows != coldRows || ipv6Rows < 2 * kIpv6Pairs ||
      !refreshed || monitor.Connections().size() < static_cast<std::size_t>(kOwnSockets)) {
    state.SkipWithError("a table read missed the benchmark's own sockets");
    return false;
  }
  if (ssLines < kOwnSockets) {
    state.SkipWithError("ss -tanp did not run or listed too few sockets");
    return false;
  }
  return true;
}

// The same reads with the IPv6 and mapped sockets added: 20,000 sockets of
// this process (10,000 IPv4, 5,000 IPv6, 5,000 IPv4 through IPv6 sockets).
void BM_TcpTable_DualStackRefreshVersusSs(benchmark::State& state) {
  LoopbackSockets& sockets = LoopbackSockets::Instance();
  sockets.AddIpv6();
  if (!sockets.Error().empty()) {
    state.SkipWithError(sockets.Error().c_str());
    return;
  }
  ProcProcesses warmProcesses;
  NetlinkTcpTable warmTable(&warmProcesses);
  WarmUp(warmTable);
  ProcProcesses monitorProcesses;
  NetlinkTcpTable monitorTable(&monitorProcesses);
  testing::NoHostNames hosts;
  ConnectionMonitor monitor(monitorTable, monitorProcesses, hosts);
  // The first refresh meets every connection as new; the second settles
  // the owner cache as WarmUp does.
  monitor.Refresh();
  monitor.Refresh();

  DualStackTimes times;
  const std::size_t foldersBefore = warmProcesses.FdFoldersRead();
  for (auto _ : state) {
    if (!TimeDualStackReads(state, warmTable, monitor, times)) {
      return;
    }
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["dump_ms"] = times.dumpMs / iterations;
  state.counters["cold_ms"] = times.coldMs / iterations;
  state.counters["warm_ms"] = times.warmMs / iterations;
  state.counters["monitor_ms"] = times.monitorMs / iterations;
  state.counters["ss_tanp_ms"] = times.ssMs / iterations;
  state.counters["ss_over_cold"] = times.ssMs / times.coldMs;
  state.counters["ss_over_warm"] = times.ssMs / times.warmMs;
  state.counters["connections"] = static_cast<double>(monitor.Connections().size());
  // fd folders the warm reads had to read again: sockets of other processes
  // that appeared meanwhile send the owner search through the folders.
  state.counters["warm_fd_folders"] =
      static_cast<double>(warmProcesses.FdFoldersRead() - foldersBefore) / iterations;
}
BENCHMARK(BM_TcpTable_DualStackRefreshVersusSs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConnectionMonitor_SteadyStateRefresh)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace harlune
