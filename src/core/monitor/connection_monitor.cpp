#include "core/monitor/connection_monitor.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/log/log_lines.h"
#include "protocol/byte_order.h"
#include "protocol/capture6_record.h"
#include "protocol/replies.h"

namespace harlune {

namespace {

// Capture record offsets (a 4-byte prefix, the 14-byte link header, a
// 20-byte IP header, then the transport header at a fixed place).
constexpr std::size_t kIpTotalLengthOffset = 20;
constexpr std::size_t kIpProtocolOffset = 27;
constexpr std::size_t kSourceAddressOffset = 30;
constexpr std::size_t kDestinationAddressOffset = 34;
constexpr std::size_t kSourcePortOffset = 38;
constexpr std::size_t kDestinationPortOffset = 40;
constexpr std::uint8_t kIpProtocolTcp = 6;
// An IPv6 record's payload length leaves out the fixed header.
constexpr std::uint32_t kIpv6FixedHeaderBytes = 40;

std::uint32_t LoadStored32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return protocol::LoadRaw<std::uint32_t>(bytes, offset);
}

// A stored port: network order in the low 16 bits.
std::uint32_t LoadStored16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return protocol::LoadRaw<std::uint16_t>(bytes, offset);
}

// Counters stop at their largest value rather than wrap to a small one.
void AddSaturating(std::uint32_t& counter, std::uint32_t amount) {
  const std::uint32_t room = std::numeric_limits<std::uint32_t>::max() - counter;
  counter += std::min(room, amount);
}

void AddSaturating(std::uint64_t& counter, std::uint64_t amount) {
  const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - counter;
  counter += std::min(room, amount);
}

bool HoldsPortForProcess(std::uint32_t state) {
  return state == kTcpStateListen || state == kTcpStateSynSent || state == kTcpStateSynRcvd ||
         state == kTcpStateEstablished;
}

const std::string& KnownOr(const std::string& first, const std::string& second) {
  return first == kUnknownProcessText ? second : first;
}

}  // namespace

std::string ResolverHostNameCache::CachedName(const IpAddress& address) const {
  return resolver_.CachedName(address);
}

void ResolverHostNameCache::QueueLookup(const IpAddress& address) {
  resolver_.QueueLookup(address);
}

void ResolverHostNameCache::Stop() { resolver_.Stop(); }

ConnectionMonitor::ConnectionMonitor(TcpTableSource& table, ProcessSource& processes,
                                     HostNameCache& hosts, LogClock clock)
    : table_(table), processSource_(processes), hosts_(hosts), clock_(std::move(clock)) {}

ConnectionMonitor::~ConnectionMonitor() {
  if (!shutDown_) {
    LogAll();
  }
}

void ConnectionMonitor::ApplySettings(const IniFileObject& settings) {
  logStats_ = settings.LOG_CONNECTION_STATS != 0;
  statsFileName_ = settings.CONNECTION_STATS_LOG_FILE_NAME;
  statsFormat_ = settings.CONNECTION_STATS_LOG_FORMAT;
  if (statsLogger_ == nullptr) {
    statsLogger_ = std::make_unique<CPerDateLogger>(statsFileName_, logStats_, clock_);
  } else {
    // Lines already kept go to the file they were meant for, and a log
    // switched off keeps what it could not write yet.
    statsLogger_->Flush();
    statsLogger_->SetEnabled(logStats_ || statsLogger_->PendingLineCount() > 0);
  }
}

bool ConnectionMonitor::Refresh() { return ApplySnapshot(TakeSnapshot()); }

ConnectionSnapshot ConnectionMonitor::TakeSnapshot() {
  ConnectionSnapshot snapshot;
  snapshot.table = table_.ReadTable();
  if (snapshot.table.ok) {
    snapshot.processes = processSource_.ListProcesses();
  }
  return snapshot;
}

bool ConnectionMonitor::ApplySnapshot(ConnectionSnapshot&& snapshot) {
  if (!snapshot.table.ok) {
    // The caller ends the program after this, and the end logs the open
    // connections: keep them rather than lose them.
    lastError_ = snapshot.table.errorCode;
    return false;
  }
  lastError_ = 0;
  previousProcesses_ = std::exchange(processes_, {});
  processes_.Rebuild(snapshot.processes);

  ++refreshCount_;
  listed_ = 0;
  for (const TcpTableRow& row : snapshot.table.rows) {
    TakeRow(row);
  }
  if (listed_ != index_.size()) {
    DropClosed();
  }
  return true;
}

void ConnectionMonitor::TakeRow(const TcpTableRow& row) {
  const TcpFourTuple key = KeyOfRow(row);
  const auto found = index_.find(key);
  if (found == index_.end()) {
    AddConnection(key, row);
    return;
  }
  Tracked& tracked = found->second;
  if (tracked.seenAt == refreshCount_) {
    return;  // the same connection listed twice
  }
  tracked.seenAt = refreshCount_;
  ++listed_;
  const std::shared_ptr<ConnectionInfo>& connection = tracked.position->second;
  CarryOver(*connection, row.state);
  if (connection->processId == kUnknownProcessId) {
    TakeLateOwner(connection, row.owningPid);
  }
}

void ConnectionMonitor::AddConnection(const TcpFourTuple& key, const TcpTableRow& row) {
  auto connection = std::make_shared<ConnectionInfo>(ConnectionInfoFromRow(row));
  ++recordsMade_;
  AskHostName(*connection);
  newConnections_.push_back(connection);
  const auto position = current_.emplace(key, std::move(connection)).first;
  index_.emplace(key, Tracked{position, refreshCount_});
  ++listed_;
}

// Closed connections are logged in key order, as the table lists them.
void ConnectionMonitor::DropClosed() {
  closed_.clear();
  for (auto entry = index_.begin(); entry != index_.end();) {
    if (entry->second.seenAt == refreshCount_) {
      ++entry;
      continue;
    }
    closed_.push_back(entry->second.position);
    entry = index_.erase(entry);
  }
  std::sort(closed_.begin(), closed_.end(),
            [](const auto& a, const auto& b) { return ConnectionKeyLess{}(a->first, b->first); });
  for (const ConnectionMap::iterator position : closed_) {
    if (logStats_) {
      LogClosed(*position->second, previousProcesses_, processes_);
    }
    current_.erase(position);
  }
  closed_.clear();
}

void ConnectionMonitor::CarryOver(ConnectionInfo& connection, std::uint32_t state) {
  if (connection.connectedSeconds < std::numeric_limits<std::uint32_t>::max()) {
    ++connection.connectedSeconds;
  }
  connection.upBandwidth = connection.upBytesCycle;
  connection.downBandwidth = connection.downBytesCycle;
  AddSaturating(connection.upTotal, connection.upBytesCycle);
  AddSaturating(connection.downTotal, connection.downBytesCycle);
  connection.upBytesCycle = 0;
  connection.downBytesCycle = 0;
  connection.state = state;
  if (connection.remoteHost.empty()) {
    AskHostName(connection);
  }
}

// The table source looks for the owners of sockets it does not know yet, so
// the row of a connection that was accepted since the last refresh names
// its owner now; an owned connection costs only the test above.
void ConnectionMonitor::TakeLateOwner(const std::shared_ptr<ConnectionInfo>& connection,
                                      std::int32_t owningPid) {
  if (owningPid == kUnknownOwner) {
    return;
  }
  connection->processId = owningPid;
  ownersFound_.push_back(connection);
}

void ConnectionMonitor::AskHostName(ConnectionInfo& connection) {
  connection.remoteHost = hosts_.CachedName(connection.remoteAddr);
  if (connection.remoteHost.empty()) {
    hosts_.QueueLookup(connection.remoteAddr);
  }
}

void ConnectionMonitor::LogClosed(const ConnectionInfo& connection, const ProcessTable& processes,
                                  const ProcessTable& other) {
  if (statsLogger_ == nullptr) {
    return;
  }
  ConnectionStatsValues values;
  values.localAddr = connection.localAddr;
  values.localPort = static_cast<std::uint16_t>(connection.localPort & 0xFFFFu);
  values.remoteAddr = connection.remoteAddr;
  values.remotePort = static_cast<std::uint16_t>(connection.remotePort & 0xFFFFu);
  values.remoteHost = connection.remoteHost;
  values.remoteDomain = DomainOfHost(connection.remoteHost);
  values.processId = connection.processId;
  values.processName =
      KnownOr(processes.NameOf(connection.processId), other.NameOf(connection.processId));
  values.processPath =
      KnownOr(processes.PathOf(connection.processId), other.PathOf(connection.processId));
  values.connectedSeconds = static_cast<std::int32_t>(std::min<std::uint32_t>(
      connection.connectedSeconds,
      static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())));
  values.upTotal = connection.upTotal;
  values.downTotal = connection.downTotal;
  statsLogger_->AddLine(ConnectionStatsLine(statsFormat_, values, clock_()), statsFileName_);
}

void ConnectionMonitor::LogAll() {
  if (!logStats_) {
    return;
  }
  for (const auto& [key, connection] : current_) {
    LogClosed(*connection, processes_, previousProcesses_);
  }
}

void ConnectionMonitor::AccountCapture(const protocol::CaptureBatch& batch) {
  if (!batch.ipv6) {
    AccountPackets(batch.records);
    return;
  }
  for (std::size_t i = 0; i < batch.RecordCount(); ++i) {
    const std::optional<protocol::Capture6Record> record =
        protocol::DecodeCapture6Record(batch.Record(i));
    // A later fragment has no ports to find its connection by.
    if (!record || record->upperProtocol != kIpProtocolTcp ||
        (record->flags & protocol::kCapture6LaterFragment) != 0) {
      continue;
    }
    const std::span<const std::uint8_t> transport(record->transportHeader);
    AccountSegment({IpAddress::FromIpv6(record->source), LoadStored16(transport, 0),
                    IpAddress::FromIpv6(record->destination), LoadStored16(transport, 2)},
                   kLinkHeaderBytes + kIpv6FixedHeaderBytes + record->payloadLength);
  }
}

void ConnectionMonitor::AccountPackets(std::span<const std::uint8_t> records) {
  const std::size_t count = protocol::CaptureRecordCount(records.size());
  for (std::size_t i = 0; i < count; ++i) {
    const auto record =
        records.subspan(i * protocol::kCaptureRecordSize, protocol::kCaptureRecordSize);
    if (record[kIpProtocolOffset] != kIpProtocolTcp) {
      continue;
    }
    const std::uint32_t bytes = protocol::LoadBe16(record, kIpTotalLengthOffset) + kLinkHeaderBytes;
    // The capture record holds IPv4 packets, so the tuple is IPv4.
    AccountSegment({IpAddress::FromIpv4(LoadStored32(record, kSourceAddressOffset)),
                    LoadStored16(record, kSourcePortOffset),
                    IpAddress::FromIpv4(LoadStored32(record, kDestinationAddressOffset)),
                    LoadStored16(record, kDestinationPortOffset)},
                   bytes);
  }
}

void ConnectionMonitor::AccountSegment(const TcpFourTuple& outgoing, std::uint32_t bytes) {
  if (const auto found = index_.find(outgoing); found != index_.end()) {
    AddSaturating(found->second.position->second->upBytesCycle, bytes);
    return;
  }
  const TcpFourTuple incoming{outgoing.remoteAddr, outgoing.remotePort, outgoing.localAddr,
                              outgoing.localPort};
  if (const auto found = index_.find(incoming); found != index_.end()) {
    AddSaturating(found->second.position->second->downBytesCycle, bytes);
  }
}

const std::string& ConnectionMonitor::ProcessNameOf(std::int32_t processId) const {
  return processes_.NameOf(processId);
}

const std::string& ConnectionMonitor::ProcessPathOf(std::int32_t processId) const {
  return processes_.PathOf(processId);
}

std::vector<std::uint16_t> ConnectionMonitor::LocalPortsOfProcess(
    std::string_view processName) const {
  std::vector<std::int32_t> ids;
  if (processes_.IdsOf(processName, &ids) == -1) {
    return {};
  }
  std::vector<std::uint16_t> ports;
  for (const auto& [key, connection] : current_) {
    if (ports.size() >= kMaxProcessPorts) {
      break;
    }
    if (!HoldsPortForProcess(connection->state) ||
        !std::binary_search(ids.begin(), ids.end(), connection->processId)) {
      continue;
    }
    const std::uint16_t port = HostOrderPort(connection->localPort);
    if (ports.empty() || ports.back() != port) {
      ports.push_back(port);
    }
  }
  return ports;
}

FilterProcessPorts ConnectionMonitor::ProcessPortsOfFilters(
    const PacketFilterManager& filters) const {
  FilterProcessPorts result;
  for (std::size_t i = 0; i < filters.Size(); ++i) {
    const PacketFilterSetting& filter = filters.At(i);
    if (filter.Available != 1 || filter.AppName.empty()) {
      continue;
    }
    result.insert_or_assign(filter.ID, LocalPortsOfProcess(filter.AppName));
  }
  return result;
}

void ConnectionMonitor::Tick() {
  if (statsLogger_ != nullptr) {
    statsLogger_->Tick();
  }
}

void ConnectionMonitor::ShutDown() {
  if (shutDown_) {
    return;
  }
  shutDown_ = true;
  LogAll();
  if (statsLogger_ != nullptr) {
    statsLogger_->Flush();
  }
  hosts_.Stop();
}

}  // namespace harlune
