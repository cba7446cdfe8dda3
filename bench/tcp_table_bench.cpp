// The connection monitor's table read with a busy system table: 10,000
// loopback TCP sockets (5,000 connected pairs) owned by this process, read
// through sock_diag joined with the /proc fd scan, once with a cold owner
// cache (the first refresh) and once with a warm one (a refresh where
// nothing changed). `ss -tanp` reads the same sockets with their owners in
// the same run, for comparison.

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "core/monitor/tcp_table.h"
#include "platform/linux/netlink_tcp_table.h"
#include "platform/linux/proc_processes.h"

extern char** environ;

namespace harlune {
namespace {

constexpr int kPairs = 5000;
constexpr rlim_t kFilesNeeded = 2 * kPairs + 512;

// The sockets, made once for the whole run and kept open until it ends.
class LoopbackSockets {
 public:
  static LoopbackSockets& Instance() {
    static LoopbackSockets sockets;
    return sockets;
  }
  // Empty when the sockets are there, else why not.
  const std::string& Error() const { return error_; }

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
    const int listener = Keep(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
      const int client = Keep(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (client < 0 ||
          connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          Keep(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
        error_ = "cannot make connection " + std::to_string(pair);
        return;
      }
    }
  }
  ~LoopbackSockets() {
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
};

// The rows of the table that this process owns, or -1 when the read failed.
std::int64_t ReadOwnRows(NetlinkTcpTable& table) {
  const TcpTableResult result = table.ReadTable();
  if (!result.ok) {
    return -1;
  }
  const pid_t self = getpid();
  std::int64_t own = 0;
  for (const TcpTableRow& row : result.rows) {
    own += row.owningPid == self ? 1 : 0;
  }
  return own;
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
  ReadOwnRows(warmTable);

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

}  // namespace
}  // namespace harlune
