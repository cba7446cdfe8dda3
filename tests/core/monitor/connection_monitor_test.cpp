// The connection table against recorded tables replayed by fake sources.

#include "core/monitor/connection_monitor.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/base/user_dialogs.h"
#include "protocol/capture6_record.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

const std::uint32_t kLocal = Ipv4(192, 168, 0, 2);
const std::uint32_t kRemote = Ipv4(93, 184, 216, 34);
const std::uint32_t kOther = Ipv4(10, 0, 0, 9);

TcpTableRow Row(std::uint32_t state, std::uint32_t localAddr, std::uint16_t localPort,
                std::uint32_t remoteAddr, std::uint16_t remotePort, std::int32_t pid = 0) {
  TcpTableRow row;
  row.state = state;
  row.localAddr = IpAddress::FromIpv4(localAddr);
  row.localPort = htons(localPort);
  row.remoteAddr = IpAddress::FromIpv4(remoteAddr);
  row.remotePort = htons(remotePort);
  row.owningPid = pid;
  return row;
}

// Replays one recorded table per read; a read past the end fails.
class ReplayTcpTable : public TcpTableSource {
 public:
  std::deque<TcpTableResult> tables;
  void Add(std::vector<TcpTableRow> rows) { tables.push_back({true, 0, std::move(rows)}); }
  void AddFailure(int error) { tables.push_back({false, error, {}}); }
  TcpTableResult ReadTable() override {
    if (tables.empty()) {
      return {false, 5, {}};
    }
    TcpTableResult result = std::move(tables.front());
    tables.pop_front();
    return result;
  }
  bool RowsCarryOwners() const override { return true; }
};

class FakeProcesses : public ProcessSource {
 public:
  std::vector<ProcessEntry> processes;
  std::vector<ProcessEntry> ListProcesses() override { return processes; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

class FakeHostCache : public HostNameCache {
 public:
  std::map<IpAddress, std::string> names;
  std::vector<IpAddress> queued;
  bool stopped = false;
  std::string CachedName(const IpAddress& address) const override {
    const auto found = names.find(address);
    return found == names.end() ? std::string() : found->second;
  }
  void QueueLookup(const IpAddress& address) override { queued.push_back(address); }
  void Stop() override { stopped = true; }
};

// A capture record of a TCP packet (or of another protocol).
std::array<std::uint8_t, 60> Capture(std::uint32_t srcAddr, std::uint16_t srcPort,
                                     std::uint32_t dstAddr, std::uint16_t dstPort,
                                     std::uint16_t ipLength, std::uint8_t protocol = 6) {
  std::array<std::uint8_t, 60> record{};
  record[20] = static_cast<std::uint8_t>(ipLength >> 8);
  record[21] = static_cast<std::uint8_t>(ipLength & 0xFF);
  record[27] = protocol;
  const std::uint16_t srcNet = htons(srcPort);
  const std::uint16_t dstNet = htons(dstPort);
  std::memcpy(&record[30], &srcAddr, 4);
  std::memcpy(&record[34], &dstAddr, 4);
  std::memcpy(&record[38], &srcNet, 2);
  std::memcpy(&record[40], &dstNet, 2);
  return record;
}

// An IPv6 capture record of a TCP segment (or of another upper layer).
std::array<std::uint8_t, protocol::kCapture6RecordSize> Capture6(
    std::string_view src, std::uint16_t srcPort, std::string_view dst, std::uint16_t dstPort,
    std::uint16_t payloadLength, std::uint8_t upper = 6, std::uint8_t flags = 0) {
  protocol::Capture6Record record;
  record.payloadLength = payloadLength;
  record.nextHeader = flags == 0 ? upper : std::uint8_t{44};  // a fragment header first
  record.source = ParseIpAddress(src)->Ipv6Bytes();
  record.destination = ParseIpAddress(dst)->Ipv6Bytes();
  record.upperProtocol = upper;
  record.flags = flags;
  record.transportHeader[0] = static_cast<std::uint8_t>(srcPort >> 8);
  record.transportHeader[1] = static_cast<std::uint8_t>(srcPort);
  record.transportHeader[2] = static_cast<std::uint8_t>(dstPort >> 8);
  record.transportHeader[3] = static_cast<std::uint8_t>(dstPort);
  return protocol::EncodeCapture6Record(record);
}

class ConnectionMonitorTest : public ::testing::Test {
 protected:
  ConnectionMonitorTest() {
    processes.processes = {{100, "firefox", "/usr/bin/firefox"}, {200, "sshd", "/usr/sbin/sshd"}};
  }

  // Statistics lines "<local port>><remote port> <process> <seconds> <up>/<down>".
  void EnableStatsLog() {
    IniFileObject settings;
    settings.LOG_CONNECTION_STATS = 1;
    settings.CONNECTION_STATS_LOG_FILE_NAME = LogPath().string();
    settings.CONNECTION_STATS_LOG_FORMAT =
        "%LocalPort%>%RemotePort% %ProcessName% %TimePeriod% %SendTraffic%/%ReceiveTraffic%";
    monitor->ApplySettings(settings);
  }
  std::filesystem::path LogPath() const { return dir.path() / "stats.log"; }
  std::string LogText() {
    monitor->StatsLogger()->Flush();
    return std::filesystem::exists(LogPath()) ? testing::ReadFileText(LogPath()) : "";
  }
  std::shared_ptr<ConnectionInfo> Find(std::uint16_t localPort, std::uint32_t remoteAddr,
                                       std::uint16_t remotePort) {
    for (const auto& [key, connection] : monitor->Connections()) {
      if (connection->localPort == htons(localPort) &&
          connection->remoteAddr == IpAddress::FromIpv4(remoteAddr) &&
          connection->remotePort == htons(remotePort)) {
        return connection;
      }
    }
    return nullptr;
  }

  testing::TempDir dir;
  ReplayTcpTable table;
  FakeProcesses processes;
  FakeHostCache hosts;
  std::unique_ptr<ConnectionMonitor> monitor =
      std::make_unique<ConnectionMonitor>(table, processes, hosts, [] { return 1700000000; });
};

TEST_F(ConnectionMonitorTest, NewConnectionsAreRecordedQueuedAndCarriedOverWithTheirCounters) {
  table.Add({Row(kTcpStateEstablished, kLocal, 50000, kRemote, 443, 100)});
  table.Add({Row(kTcpStateEstablished, kLocal, 50000, kRemote, 443, 100),
             Row(kTcpStateSynSent, kLocal, 50001, kOther, 22, 100)});
  table.Add({Row(kTcpStateFinWait1, kLocal, 50000, kRemote, 443, 100),
             Row(kTcpStateEstablished, kLocal, 50001, kOther, 22, 100)});

  ASSERT_TRUE(monitor->Refresh());
  const auto first = Find(50000, kRemote, 443);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->connectedSeconds, 0u);
  EXPECT_EQ(first->processId, 100);
  ASSERT_EQ(monitor->NewConnections().size(), 1u);
  EXPECT_EQ(monitor->NewConnections().front().lock(), first);

  const auto up = Capture(kLocal, 50000, kRemote, 443, 1000);
  monitor->AccountPackets(up);
  ASSERT_TRUE(monitor->Refresh());
  // The same record, moved over, with the bytes of the period it was counted in.
  EXPECT_EQ(Find(50000, kRemote, 443), first);
  EXPECT_EQ(first->connectedSeconds, 1u);
  EXPECT_EQ(first->upBandwidth, 1014u);
  EXPECT_EQ(first->upTotal, 1014u);
  EXPECT_EQ(first->upBytesCycle, 0u);
  EXPECT_EQ(monitor->NewConnections().size(), 2u);

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(first->state, kTcpStateFinWait1);
  EXPECT_EQ(first->connectedSeconds, 2u);
  EXPECT_EQ(first->upBandwidth, 0u);
  EXPECT_EQ(first->upTotal, 1014u);
  EXPECT_EQ(Find(50001, kOther, 22)->state, kTcpStateEstablished);
  EXPECT_EQ(monitor->NewConnections().size(), 2u) << "nothing new in the third table";
}

TEST_F(ConnectionMonitorTest, RowsBecomeRecordsWithUnknownOwnerAndListeningRemotePortZero) {
  table.Add({Row(kTcpStateListen, 0, 22, 0, 4711, 200),
             Row(kTcpStateTimeWait, kLocal, 50002, kRemote, 80, 0)});
  ASSERT_TRUE(monitor->Refresh());
  ASSERT_EQ(monitor->Connections().size(), 2u);
  const auto listening = Find(22, 0, 0);
  ASSERT_NE(listening, nullptr) << "remote port forced to 0";
  EXPECT_EQ(listening->processId, 200);
  const auto waiting = Find(50002, kRemote, 80);
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ(waiting->processId, -1);
  EXPECT_EQ(monitor->ProcessNameOf(waiting->processId), "不明");
  EXPECT_EQ(monitor->ProcessNameOf(200), "sshd");
  EXPECT_EQ(monitor->ProcessPathOf(100), "/usr/bin/firefox");
}

TEST_F(ConnectionMonitorTest, KeyOrderIsLocalPortInHostOrderThenAddresses) {
  // 256 is 0x0100: stored as 0x0001 on a little-endian host, so comparing
  // stored values would put it before 2.
  table.Add({Row(kTcpStateEstablished, kLocal, 256, kRemote, 80),
             Row(kTcpStateEstablished, kLocal, 2, kRemote, 80),
             Row(kTcpStateEstablished, Ipv4(1, 0, 0, 0), 256, kRemote, 80),
             Row(kTcpStateEstablished, kLocal, 256, kRemote, 79),
             Row(kTcpStateEstablished, kLocal, 256, kOther, 80)});
  ASSERT_TRUE(monitor->Refresh());
  std::vector<TcpFourTuple> keys;
  for (const auto& [key, connection] : monitor->Connections()) {
    keys.push_back(key);
  }
  ASSERT_EQ(keys.size(), 5u);
  EXPECT_EQ(HostOrderPort(keys[0].localPort), 2);
  for (std::size_t i = 1; i + 1 < keys.size(); ++i) {
    EXPECT_TRUE(ConnectionKeyLess{}(keys[i], keys[i + 1])) << i;
  }
  EXPECT_EQ(keys[1].localAddr, Ipv4Address(1, 0, 0, 0)) << "the smallest address";
  EXPECT_FALSE(ConnectionKeyLess{}(keys[1], keys[1]));
}

TEST_F(ConnectionMonitorTest, ClosedConnectionsAreLoggedOnceInKeyOrderAndDropped) {
  EnableStatsLog();
  table.Add({Row(kTcpStateEstablished, kLocal, 6000, kRemote, 443, 100),
             Row(kTcpStateEstablished, kLocal, 5000, kOther, 22, 200),
             Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  table.Add({});

  ASSERT_TRUE(monitor->Refresh());
  const std::weak_ptr<ConnectionInfo> closed = Find(6000, kRemote, 443);
  monitor->AccountPackets(Capture(kRemote, 443, kLocal, 6000, 86));
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_TRUE(closed.expired()) << "nobody holds a closed record";
  EXPECT_EQ(LogText(), "5000>22 sshd 0 0/0\n6000>443 firefox 0 0/0\n");
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(LogText(), "5000>22 sshd 0 0/0\n6000>443 firefox 0 0/0\n") << "logged once";
  // The process ended together with its connection: still named.
  processes.processes.clear();
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(LogText(), "5000>22 sshd 0 0/0\n6000>443 firefox 0 0/0\n7000>80 firefox 2 0/0\n");
  EXPECT_TRUE(monitor->Connections().empty());
}

// A connection first seen in the accept queue has no socket inode, so no
// owner; once accepted its row names the owner.
TEST_F(ConnectionMonitorTest, OwnerKnownOnlyAfterTheFirstRefreshIsTakenOnceAndLogged) {
  EnableStatsLog();
  const TcpTableRow queued = Row(kTcpStateSynRcvd, kLocal, 8080, kRemote, 40000);
  const TcpTableRow accepted = Row(kTcpStateEstablished, kLocal, 8080, kRemote, 40000, 100);
  const TcpTableRow owned = Row(kTcpStateEstablished, kLocal, 9000, kOther, 22, 200);
  table.Add({queued, owned});
  table.Add({queued, owned});
  table.Add({accepted, owned});
  // Another owner for the same connection later (a child inherited it):
  // the first known owner stays.
  table.Add({Row(kTcpStateEstablished, kLocal, 8080, kRemote, 40000, 200), owned});
  table.Add({owned});

  ASSERT_TRUE(monitor->Refresh());
  ASSERT_TRUE(monitor->Refresh());
  const auto connection = Find(8080, kRemote, 40000);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->processId, kUnknownProcessId);
  EXPECT_TRUE(monitor->OwnersFound().empty());

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(Find(8080, kRemote, 40000), connection) << "the same record takes the owner";
  EXPECT_EQ(connection->processId, 100);
  ASSERT_EQ(monitor->OwnersFound().size(), 1u) << "only the connection whose owner was unknown";
  EXPECT_EQ(monitor->OwnersFound().front().lock(), connection);

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(connection->processId, 100);
  EXPECT_EQ(monitor->OwnersFound().size(), 1u);

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(LogText(), "8080>40000 firefox 3 0/0\n");
}

TEST_F(ConnectionMonitorTest, ConnectionSeenByNoRefreshIsNeverRecordedNorLogged) {
  EnableStatsLog();
  table.Add({});
  table.Add({});
  ASSERT_TRUE(monitor->Refresh());
  monitor->AccountPackets(Capture(kLocal, 40000, kRemote, 80, 60));
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_TRUE(monitor->NewConnections().empty());
  EXPECT_EQ(LogText(), "");
}

TEST_F(ConnectionMonitorTest, StatisticsLogSwitchedOffWritesNothing) {
  IniFileObject settings;
  settings.LOG_CONNECTION_STATS = 0;
  settings.CONNECTION_STATS_LOG_FILE_NAME = LogPath().string();
  monitor->ApplySettings(settings);
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  table.Add({});
  ASSERT_TRUE(monitor->Refresh());
  ASSERT_TRUE(monitor->Refresh());
  monitor->ShutDown();
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(ConnectionMonitorTest, FailedReadKeepsTheTableSoShutDownStillLogsIt) {
  EnableStatsLog();
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100),
             Row(kTcpStateListen, 0, 22, 0, 0, 200)});
  table.AddFailure(13);
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_FALSE(monitor->Refresh());
  EXPECT_EQ(monitor->LastError(), 13);
  EXPECT_EQ(monitor->Connections().size(), 2u);
  EXPECT_EQ(LogText(), "");

  monitor->ShutDown();
  EXPECT_EQ(testing::ReadFileText(LogPath()), "22>0 sshd 0 0/0\n7000>80 firefox 0 0/0\n");
  EXPECT_TRUE(hosts.stopped);
  monitor->ShutDown();
  monitor.reset();
  EXPECT_EQ(testing::ReadFileText(LogPath()), "22>0 sshd 0 0/0\n7000>80 firefox 0 0/0\n")
      << "shut down logs once, and the destructor not again";
}

TEST_F(ConnectionMonitorTest, DestructionWithoutShutDownStillLogsOpenConnections) {
  EnableStatsLog();
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  ASSERT_TRUE(monitor->Refresh());
  monitor.reset();
  EXPECT_EQ(testing::ReadFileText(LogPath()), "7000>80 firefox 0 0/0\n");
}

TEST_F(ConnectionMonitorTest, DuplicateRowsAreOneConnection) {
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100),
             Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80, 100)});
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(monitor->Connections().size(), 1u);
  ASSERT_EQ(monitor->NewConnections().size(), 1u);
  EXPECT_FALSE(monitor->NewConnections().front().expired());
}

TEST_F(ConnectionMonitorTest, HostNamesComeFromTheCacheOrAreQueuedUntilKnown) {
  hosts.names[IpAddress::FromIpv4(kOther)] = "gw.example.com";
  const std::vector<TcpTableRow> rows{Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80),
                                      Row(kTcpStateEstablished, kLocal, 7001, kOther, 80)};
  table.Add(rows);
  table.Add(rows);
  table.Add(rows);
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(Find(7001, kOther, 80)->remoteHost, "gw.example.com");
  EXPECT_EQ(Find(7000, kRemote, 80)->remoteHost, "");
  EXPECT_EQ(hosts.queued, std::vector<IpAddress>{IpAddress::FromIpv4(kRemote)});

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(hosts.queued,
            (std::vector<IpAddress>{IpAddress::FromIpv4(kRemote), IpAddress::FromIpv4(kRemote)}))
      << "asked again";
  hosts.names[IpAddress::FromIpv4(kRemote)] = "example.com";
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(Find(7000, kRemote, 80)->remoteHost, "example.com");
  EXPECT_EQ(hosts.queued.size(), 2u);
}

TEST_F(ConnectionMonitorTest, CapturedPacketsCountToTheirConnectionInBothDirections) {
  table.Add({Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80),
             Row(kTcpStateEstablished, kLocal, 7001, kRemote, 80)});
  ASSERT_TRUE(monitor->Refresh());
  std::vector<std::uint8_t> batch;
  for (const auto& record :
       {Capture(kLocal, 7000, kRemote, 80, 40), Capture(kRemote, 80, kLocal, 7000, 1500),
        Capture(kRemote, 80, kLocal, 7000, 1500), Capture(kRemote, 80, kLocal, 7001, 100),
        Capture(kLocal, 7000, kRemote, 80, 500, 17),  // UDP
        Capture(kLocal, 7002, kRemote, 80, 500)}) {   // no such connection
    batch.insert(batch.end(), record.begin(), record.end());
  }
  batch.insert(batch.end(), 59, 6);  // a partial record is not read
  monitor->AccountPackets(batch);
  const auto a = Find(7000, kRemote, 80);
  const auto b = Find(7001, kRemote, 80);
  EXPECT_EQ(a->upBytesCycle, 54u);
  EXPECT_EQ(a->downBytesCycle, 2 * 1514u);
  EXPECT_EQ(b->upBytesCycle, 0u);
  EXPECT_EQ(b->downBytesCycle, 114u);
  monitor->AccountPackets({});
  EXPECT_EQ(a->downBytesCycle, 2 * 1514u);
}

TEST_F(ConnectionMonitorTest, CapturedIpv6PacketsCountToTheNativeIpv6Connections) {
  TcpTableRow native = Row(kTcpStateEstablished, 0, 7000, 0, 443);
  native.localAddr = *ParseIpAddress("2001:2::1");
  native.remoteAddr = *ParseIpAddress("2001:2::7");
  // The same ports over IPv4: IPv6 packets never reach it.
  table.Add({native, Row(kTcpStateEstablished, kLocal, 7000, kRemote, 443)});
  ASSERT_TRUE(monitor->Refresh());
  std::vector<std::uint8_t> batch;
  auto corrupt = Capture6("2001:2::1", 7000, "2001:2::7", 443, 900);
  corrupt[18] = 0x45;  // not IP version 6
  for (const auto& record : {
           Capture6("2001:2::1", 7000, "2001:2::7", 443, 20),
           Capture6("2001:2::7", 443, "2001:2::1", 7000, 1440),
           Capture6("2001:2::7", 443, "2001:2::1", 7000, 1440, 6, 0x02),  // extension headers
           Capture6("2001:2::7", 443, "2001:2::1", 7000, 1000, 6, 0x01),  // later fragment
           Capture6("2001:2::1", 7000, "2001:2::7", 443, 500, 17),        // UDP
           Capture6("2001:2::1", 7000, "2001:2::7", 443, 500, 59),        // chain not followed
           Capture6("2001:2::1", 7001, "2001:2::7", 443, 500),            // no such connection
           corrupt,
       }) {
    batch.insert(batch.end(), record.begin(), record.end());
  }
  batch.insert(batch.end(), 83, 6);  // a partial record is not read
  monitor->AccountCapture({true, batch});

  const auto v6 = monitor->Connections().find(KeyOf(ConnectionInfoFromRow(native)));
  ASSERT_NE(v6, monitor->Connections().end());
  EXPECT_EQ(v6->second->upBytesCycle, 14u + 40u + 20u);
  EXPECT_EQ(v6->second->downBytesCycle, 2 * (14u + 40u + 1440u));
  const auto v4 = Find(7000, kRemote, 443);
  EXPECT_EQ(v4->upBytesCycle, 0u);
  EXPECT_EQ(v4->downBytesCycle, 0u);

  // An IPv4 batch still counts to the IPv4 connection alone.
  const auto ipv4 = Capture(kRemote, 443, kLocal, 7000, 100);
  monitor->AccountCapture({false, ipv4});
  EXPECT_EQ(v4->downBytesCycle, 114u);
  EXPECT_EQ(v6->second->downBytesCycle, 2 * (14u + 40u + 1440u));
}

TEST_F(ConnectionMonitorTest, CountersStopAtTheirLimitInsteadOfWrapping) {
  const std::vector<TcpTableRow> rows{Row(kTcpStateEstablished, kLocal, 7000, kRemote, 80)};
  table.Add(rows);
  table.Add(rows);
  ASSERT_TRUE(monitor->Refresh());
  const auto c = Find(7000, kRemote, 80);
  c->upBytesCycle = 0xFFFFFF00u;
  monitor->AccountPackets(Capture(kLocal, 7000, kRemote, 80, 65535));
  EXPECT_EQ(c->upBytesCycle, 0xFFFFFFFFu);
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(c->upTotal, 0xFFFFFFFFu);
}

TEST_F(ConnectionMonitorTest, ProcessPortsOfFiltersCollectActiveLocalPortsOnce) {
  processes.processes.push_back({300, "FireFox", "/opt/firefox"});
  table.Add({Row(kTcpStateListen, 0, 8080, 0, 0, 100),
             Row(kTcpStateEstablished, kLocal, 8080, kRemote, 5000, 100),
             Row(kTcpStateEstablished, kLocal, 443, kRemote, 6000, 300),
             Row(kTcpStateSynRcvd, kLocal, 9000, kRemote, 6000, 100),
             Row(kTcpStateTimeWait, kLocal, 7000, kRemote, 80, 100),
             Row(kTcpStateCloseWait, kLocal, 7001, kRemote, 80, 100),
             Row(kTcpStateSynSent, kLocal, 7002, kOther, 22, 200),
             Row(kTcpStateEstablished, kLocal, 7003, kOther, 22, 0)});
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(monitor->LocalPortsOfProcess("firefox"), (std::vector<std::uint16_t>{443, 8080, 9000}));
  EXPECT_EQ(monitor->LocalPortsOfProcess("sshd"), std::vector<std::uint16_t>{7002});
  EXPECT_TRUE(monitor->LocalPortsOfProcess("不明").empty()) << "unknown owners belong to nobody";
  EXPECT_TRUE(monitor->LocalPortsOfProcess("nothing").empty());

  RecordingUserDialogs dialogs;
  PacketFilterManager filters(dialogs);
  PacketFilterSetting bound;
  bound.AppName = "FIREFOX";
  PacketFilterSetting unbound;
  PacketFilterSetting off;
  off.AppName = "sshd";
  off.Available = 0;
  PacketFilterSetting ssh;
  ssh.AppName = "sshd";
  const std::int32_t boundId = filters.Add(bound).ID;
  filters.Add(unbound);
  filters.Add(off);
  const std::int32_t sshId = filters.Add(ssh).ID;
  const FilterProcessPorts ports = monitor->ProcessPortsOfFilters(filters);
  EXPECT_EQ(ports, (FilterProcessPorts{{boundId, {443, 8080, 9000}}, {sshId, {7002}}}));
}

TEST_F(ConnectionMonitorTest, ProcessPortsStopAtTheLimit) {
  std::vector<TcpTableRow> rows;
  for (std::uint16_t port = 1000; port < 1000 + kMaxProcessPorts + 10; ++port) {
    rows.push_back(Row(kTcpStateListen, 0, port, 0, 0, 100));
  }
  table.Add(rows);
  ASSERT_TRUE(monitor->Refresh());
  const auto ports = monitor->LocalPortsOfProcess("firefox");
  ASSERT_EQ(ports.size(), kMaxProcessPorts);
  EXPECT_EQ(ports.back(), 1000 + kMaxProcessPorts - 1);
}

TEST_F(ConnectionMonitorTest, KnownConnectionsKeepTheirRecordAndOnlyNewOnesMakeOne) {
  const TcpTableRow kept = Row(kTcpStateEstablished, kLocal, 50000, kRemote, 443, 100);
  const TcpTableRow accepted = Row(kTcpStateSynRcvd, kLocal, 8080, kOther, 40000, 0);
  const TcpTableRow closing = Row(kTcpStateEstablished, kLocal, 50001, kOther, 22, 200);
  table.Add({kept, accepted, closing});
  table.Add({kept, accepted, closing});
  TcpTableRow keptLater = kept;
  keptLater.state = kTcpStateCloseWait;
  TcpTableRow acceptedLater = accepted;
  acceptedLater.state = kTcpStateEstablished;
  acceptedLater.owningPid = 200;
  const TcpTableRow fresh = Row(kTcpStateSynSent, kLocal, 50002, kRemote, 80, 100);
  table.Add({keptLater, fresh, acceptedLater});

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(monitor->RecordsMade(), 3u);
  const auto keptRecord = Find(50000, kRemote, 443);
  const auto acceptedRecord = Find(8080, kOther, 40000);
  ASSERT_NE(keptRecord, nullptr);
  ASSERT_NE(acceptedRecord, nullptr);
  monitor->AccountPackets(Capture(kLocal, 50000, kRemote, 443, 500));

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(monitor->RecordsMade(), 3u) << "the same table makes no record";
  EXPECT_EQ(Find(50000, kRemote, 443), keptRecord);
  EXPECT_EQ(keptRecord->upTotal, 514u);
  EXPECT_EQ(monitor->NewConnections().size(), 3u);
  EXPECT_TRUE(monitor->OwnersFound().empty());

  ASSERT_TRUE(monitor->Refresh());
  EXPECT_EQ(monitor->RecordsMade(), 4u) << "one record for the one new connection";
  EXPECT_EQ(Find(50000, kRemote, 443), keptRecord);
  EXPECT_EQ(keptRecord->state, kTcpStateCloseWait);
  EXPECT_EQ(keptRecord->connectedSeconds, 2u);
  EXPECT_EQ(keptRecord->upTotal, 514u);
  EXPECT_EQ(Find(8080, kOther, 40000), acceptedRecord);
  EXPECT_EQ(acceptedRecord->processId, 200);
  ASSERT_EQ(monitor->OwnersFound().size(), 1u);
  EXPECT_EQ(monitor->OwnersFound().front().lock(), acceptedRecord);
  EXPECT_EQ(Find(50001, kOther, 22), nullptr);
  EXPECT_EQ(monitor->Connections().size(), 3u);
  ASSERT_EQ(monitor->NewConnections().size(), 4u);
  EXPECT_EQ(monitor->NewConnections().back().lock(), Find(50002, kRemote, 80));
}

TEST_F(ConnectionMonitorTest,
       ConnectionThatClosedAndCameBackIsANewRecordAndClosedOnesCountNothing) {
  const TcpTableRow row = Row(kTcpStateEstablished, kLocal, 50000, kRemote, 443, 100);
  table.Add({row});
  table.Add({});
  table.Add({row});
  ASSERT_TRUE(monitor->Refresh());
  const std::weak_ptr<ConnectionInfo> first = Find(50000, kRemote, 443);
  monitor->AccountPackets(Capture(kLocal, 50000, kRemote, 443, 1000));
  ASSERT_TRUE(monitor->Refresh());
  EXPECT_TRUE(monitor->Connections().empty());
  EXPECT_TRUE(first.expired()) << "the closed record is dropped";
  // A packet of the closed connection finds nothing to count to.
  monitor->AccountPackets(Capture(kLocal, 50000, kRemote, 443, 1000));

  ASSERT_TRUE(monitor->Refresh());
  const auto second = Find(50000, kRemote, 443);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->connectedSeconds, 0u);
  EXPECT_EQ(second->upBytesCycle, 0u);
  EXPECT_EQ(second->upTotal, 0u);
  EXPECT_EQ(monitor->RecordsMade(), 2u);
}

TEST_F(ConnectionMonitorTest, TakeThenApplyGivesWhatRefreshGivesAndTheTakeChangesNothing) {
  ReplayTcpTable otherTable;
  FakeHostCache otherHosts;
  ConnectionMonitor split(otherTable, processes, otherHosts, [] { return 1700000000; });
  const std::vector<std::vector<TcpTableRow>> tables = {
      {Row(kTcpStateListen, 0, 22, 0, 0, 200), Row(kTcpStateSynRcvd, kLocal, 22, kOther, 4000)},
      {Row(kTcpStateListen, 0, 22, 0, 0, 200),
       Row(kTcpStateEstablished, kLocal, 22, kOther, 4000, 200),
       Row(kTcpStateSynSent, kLocal, 50000, kRemote, 443, 100)},
      {Row(kTcpStateFinWait1, kLocal, 50000, kRemote, 443, 100)},
  };
  for (const auto& rows : tables) {
    table.Add(rows);
    otherTable.Add(rows);
  }
  table.AddFailure(EACCES);
  otherTable.AddFailure(EACCES);

  for (std::size_t step = 0; step <= tables.size(); ++step) {
    const std::size_t before = split.Connections().size();
    ConnectionSnapshot snapshot = split.TakeSnapshot();
    EXPECT_EQ(split.Connections().size(), before) << "a take leaves the records alone";
    const bool refreshed = monitor->Refresh();
    EXPECT_EQ(split.ApplySnapshot(std::move(snapshot)), refreshed) << "step " << step;
    EXPECT_EQ(split.LastError(), monitor->LastError());
    ASSERT_EQ(split.Connections().size(), monitor->Connections().size()) << "step " << step;
    auto mine = split.Connections().begin();
    for (const auto& [key, connection] : monitor->Connections()) {
      EXPECT_EQ(mine->first, key);
      EXPECT_EQ(*mine->second, *connection) << "step " << step;
      ++mine;
    }
    EXPECT_EQ(split.NewConnections().size(), monitor->NewConnections().size());
    EXPECT_EQ(split.OwnersFound().size(), monitor->OwnersFound().size());
  }
  EXPECT_FALSE(monitor->Connections().empty()) << "a failed read keeps the table";
}

}  // namespace
}  // namespace harlune
