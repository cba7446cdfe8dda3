// The steady refresh of the connection table counted allocation by
// allocation, the records' part and the socket owners' part: a program of
// its own, since it replaces the global operator new to count the
// allocations of one thread while asked to.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/monitor/connection_monitor.h"
#include "platform/linux/proc_processes.h"
#include "protocol/ip_address.h"
#include "support/temp_dir.h"

namespace {

thread_local bool gCounting = false;
thread_local std::size_t gAllocations = 0;

void* AllocateOrNull(std::size_t size) noexcept {
  if (gCounting) {
    ++gAllocations;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* Allocate(std::size_t size) {
  if (void* block = AllocateOrNull(size)) {
    return block;
  }
  throw std::bad_alloc();
}

}  // namespace

// Every form that is not over-aligned, so that whatever one allocates the
// matching one frees (a sanitizer checks they match).
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace harlune {
namespace {

// `count` established connections of two processes, one local port each.
std::vector<TcpTableRow> Rows(std::size_t count) {
  std::vector<TcpTableRow> rows;
  for (std::size_t i = 0; i < count; ++i) {
    TcpTableRow row;
    row.state = kTcpStateEstablished;
    row.localAddr = IpAddress::FromIpv4(htonl(0xC0A80002u));
    row.localPort = htons(static_cast<std::uint16_t>(10000 + i));
    row.remoteAddr = IpAddress::FromIpv4(htonl(0xC6120009u));
    row.remotePort = htons(443);
    row.owningPid = i % 2 == 0 ? 100 : 200;
    row.inode = 1000 + i;
    rows.push_back(row);
  }
  return rows;
}

// The same table at every read.
class SteadyTable final : public TcpTableSource {
 public:
  std::vector<TcpTableRow> rows;
  TcpTableResult ReadTable() override { return {true, 0, rows}; }
  bool RowsCarryOwners() const override { return true; }
};

class TwoProcesses final : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override {
    return {{100, "firefox", "/usr/bin/firefox"}, {200, "sshd", "/usr/sbin/sshd"}};
  }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

// Every address has a name, so no lookup is queued.
class NamedHosts final : public HostNameCache {
 public:
  std::string CachedName(const IpAddress&) const override { return "peer"; }
  void QueueLookup(const IpAddress&) override {}
  void Stop() override {}
};

struct Counted {
  std::size_t allocations = 0;
  std::size_t records = 0;
};

// The allocations of applying a third read of the table, after the first
// made the records and the second found them all known; `extra` rows are
// in the third read only.
Counted ThirdApply(std::size_t connections, std::size_t extra = 0) {
  SteadyTable table;
  table.rows = Rows(connections);
  TwoProcesses processes;
  NamedHosts hosts;
  ConnectionMonitor monitor(table, processes, hosts);
  EXPECT_TRUE(monitor.Refresh());
  EXPECT_TRUE(monitor.Refresh());
  table.rows = Rows(connections + extra);
  ConnectionSnapshot snapshot = monitor.TakeSnapshot();
  const std::size_t recordsBefore = monitor.RecordsMade();
  gAllocations = 0;
  gCounting = true;
  const bool applied = monitor.ApplySnapshot(std::move(snapshot));
  gCounting = false;
  EXPECT_TRUE(applied);
  EXPECT_EQ(monitor.Connections().size(), connections + extra);
  return {gAllocations, monitor.RecordsMade() - recordsBefore};
}

TEST(ConnectionMonitorAllocationTest, SteadyRefreshAllocatesNothingPerKnownConnection) {
  const Counted few = ThirdApply(10);
  const Counted many = ThirdApply(3000);
  EXPECT_EQ(many.allocations, few.allocations)
      << "the apply's allocations grow with the connections";
  EXPECT_EQ(many.records, 0u);
  // What is left is the process maps of the refresh, not the connections.
  EXPECT_LE(many.allocations, 8u);
}

TEST(ConnectionMonitorAllocationTest, NewConnectionsAreWhatAllocates) {
  const Counted steady = ThirdApply(3000);
  const Counted grown = ThirdApply(3000, 50);
  EXPECT_EQ(grown.records, 50u);
  EXPECT_GE(grown.allocations, steady.allocations + 50u);
}

// The allocations of the third owner lookup of `connections` sockets held
// by two processes of a made-up /proc, after the first found them and the
// second answered them from the cache.
std::size_t ThirdOwnerLookup(std::size_t connections) {
  testing::TempDir proc;
  std::vector<TcpTableRow> rows = Rows(connections);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::filesystem::path fds = proc.path() / std::to_string(rows[i].owningPid) / "fd";
    std::filesystem::create_directories(fds);
    std::filesystem::create_symlink("socket:[" + std::to_string(rows[i].inode) + "]",
                                    fds / std::to_string(i + 3));
  }
  ProcProcesses processes(proc.path().string());
  processes.FillSocketOwners(rows);
  processes.FillSocketOwners(rows);
  gAllocations = 0;
  gCounting = true;
  processes.FillSocketOwners(rows);
  gCounting = false;
  for (const TcpTableRow& row : rows) {
    EXPECT_EQ(row.owningPid, row.inode % 2 == 0 ? 100 : 200);
  }
  return gAllocations;
}

TEST(ConnectionMonitorAllocationTest, SteadyOwnerLookupAllocatesNothingPerSocket) {
  EXPECT_EQ(ThirdOwnerLookup(3000), ThirdOwnerLookup(10))
      << "the owner lookup's allocations grow with the sockets";
}

}  // namespace
}  // namespace harlune
