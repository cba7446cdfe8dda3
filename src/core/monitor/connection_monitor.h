#pragma once

// ConnectionMonitor: the live table of the machine's TCP connections.
// Once a second the owner calls Refresh, which reads the system table, keeps
// one record per connection across refreshes (updated in place: an
// unchanged connection costs one hash lookup and no allocation), queues the new ones for the
// connection control engine and logs the closed ones. A connection first
// seen without an owner (still in the accept queue, or in SYN_RCVD: it has
// no socket inode yet) takes its owner from the first later row that names
// one, and is queued once more for the engine to test its process rules. Captured packets add
// to the records' byte counters in between. Everything runs on the owner's
// thread; the host-name resolver is reached only through its cache. The
// refresh comes apart in two for a front end that reads the system on a
// worker: TakeSnapshot (the system's table and processes, touching no
// record) and ApplySnapshot (the records, on the owner's thread).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/filter/packet_filter_manager.h"
#include "core/log/logger.h"
#include "core/log/per_date_logger.h"
#include "core/monitor/connection_info.h"
#include "core/monitor/host_resolver.h"
#include "core/monitor/process_table.h"
#include "core/monitor/tcp_table.h"
#include "protocol/capture6_record.h"

namespace harlune {

// What the table needs of the resolver: a cached name without waiting, a
// queued lookup, and the end of the worker.
class HostNameCache {
 public:
  virtual ~HostNameCache() = default;
  // The cached name of an address, or empty.
  virtual std::string CachedName(const IpAddress& address) const = 0;
  virtual void QueueLookup(const IpAddress& address) = 0;
  virtual void Stop() = 0;
};

// The cache of a running HostResolver.
class ResolverHostNameCache final : public HostNameCache {
 public:
  explicit ResolverHostNameCache(HostResolver& resolver) : resolver_(resolver) {}
  std::string CachedName(const IpAddress& address) const override;
  void QueueLookup(const IpAddress& address) override;
  void Stop() override;

 private:
  HostResolver& resolver_;
};

using ConnectionMap = std::map<TcpFourTuple, std::shared_ptr<ConnectionInfo>, ConnectionKeyLess>;
using NewConnectionQueue = std::deque<std::weak_ptr<ConnectionInfo>>;
// Filter ID -> the host-order local ports of the filter's process.
using FilterProcessPorts = std::map<std::int32_t, std::vector<std::uint16_t>>;

// What one refresh reads from the system: the TCP table and, when that
// was read, the process list.
struct ConnectionSnapshot {
  TcpTableResult table;
  std::vector<ProcessEntry> processes;
};

// Bytes a captured packet adds to its connection beyond its IP length: the
// link header.
inline constexpr std::uint32_t kLinkHeaderBytes = 14;
// No more local ports than this are collected for one process.
inline constexpr std::size_t kMaxProcessPorts = 2048;

class ConnectionMonitor {
 public:
  ConnectionMonitor(TcpTableSource& table, ProcessSource& processes, HostNameCache& hosts,
                    LogClock clock = SystemLogClock);
  // Logs the connections still open unless ShutDown did.
  ~ConnectionMonitor();
  ConnectionMonitor(const ConnectionMonitor&) = delete;
  ConnectionMonitor& operator=(const ConnectionMonitor&) = delete;

  // LOG_CONNECTION_STATS, CONNECTION_STATS_LOG_FILE_NAME and
  // CONNECTION_STATS_LOG_FORMAT. Until the first call nothing is logged.
  void ApplySettings(const IniFileObject& settings);

  // Reads the system table and brings the records up to date. On failure
  // the table stays as it was (so that shutting down still logs it) and
  // LastError tells the source's errno.
  bool Refresh();
  int LastError() const { return lastError_; }

  // The reading half of Refresh: the table and the process list from the
  // two sources given at construction. It touches no state of the monitor,
  // so it may run on another thread while the owner's thread uses the
  // monitor, provided nothing else uses the sources meanwhile and no two
  // takes overlap.
  ConnectionSnapshot TakeSnapshot();
  // The other half, on the owner's thread: the records brought up to date
  // from a snapshot, as Refresh does; false (the table kept) when the
  // snapshot's table read failed.
  bool ApplySnapshot(ConnectionSnapshot&& snapshot);

  // How many records the refreshes have made: one per new connection, none
  // for a connection that was already known.
  std::size_t RecordsMade() const { return recordsMade_; }

  // A batch of 60-byte capture records (a partial tail is ignored). A TCP
  // packet adds its IP length plus the link header to the sending side of
  // the connection it leaves from, else to the receiving side of the one it
  // arrives at; other packets count nowhere.
  void AccountPackets(std::span<const std::uint8_t> records);
  // A batch of either family's records. An IPv6 TCP packet counts as an
  // IPv4 one does, its fixed header and payload as the IP length, against
  // the native IPv6 connections; a later fragment and an 84-byte record
  // that does not decode count nowhere.
  void AccountCapture(const protocol::CaptureBatch& batch);

  // From the process maps of the latest refresh; "不明" when absent.
  const std::string& ProcessNameOf(std::int32_t processId) const;
  const std::string& ProcessPathOf(std::int32_t processId) const;
  const ProcessTable& Processes() const { return processes_; }

  // The current connections in key order.
  const ConnectionMap& Connections() const { return current_; }

  // Connections seen for the first time, oldest first; drained by the
  // connection control engine.
  NewConnectionQueue& NewConnections() { return newConnections_; }

  // Connections whose owner became known after their first refresh, oldest
  // first; drained by the connection control engine. Only a connection
  // whose process id was kUnknownProcessId is ever queued, and only once:
  // a known owner is never replaced.
  NewConnectionQueue& OwnersFound() { return ownersFound_; }

  // The host-order local ports, in key order without adjacent repeats and
  // at most kMaxProcessPorts, of the LISTENING, SYN_SENT, SYN_RCVD and
  // ESTABLISHED connections of the processes named `processName` (ignoring
  // case).
  std::vector<std::uint16_t> LocalPortsOfProcess(std::string_view processName) const;

  // For every available filter bound to a process, its ID and the local
  // ports of that process.
  FilterProcessPorts ProcessPortsOfFilters(const PacketFilterManager& filters) const;

  // The owner's periodic call: flushes the statistics log once a minute.
  void Tick();

  // Logs every connection still open, flushes the log and stops the
  // resolver. Idempotent.
  void ShutDown();

  // The statistics log, null before ApplySettings.
  CPerDateLogger* StatsLogger() { return statsLogger_.get(); }

 private:
  // Where a connection's record is, and the refresh that last listed it.
  struct Tracked {
    ConnectionMap::iterator position;
    std::uint64_t seenAt = 0;
  };
  using ConnectionIndex =
      std::unordered_map<TcpFourTuple, Tracked, TcpFourTupleHash, TcpFourTupleEqual>;

  // One row of the table: the known record updated, or a new one made.
  void TakeRow(const TcpTableRow& row);
  void AddConnection(const TcpFourTuple& key, const TcpTableRow& row);
  // Logs and drops the records that this refresh did not list.
  void DropClosed();
  void CarryOver(ConnectionInfo& connection, std::uint32_t state);
  void TakeLateOwner(const std::shared_ptr<ConnectionInfo>& connection, std::int32_t owningPid);
  void AskHostName(ConnectionInfo& connection);
  // The process of a connection may have ended with it: its name comes
  // from `processes` (the maps that saw it alive), else from `other`.
  void LogClosed(const ConnectionInfo& connection, const ProcessTable& processes,
                 const ProcessTable& other);
  void LogAll();
  // Adds a TCP packet's bytes to the sending side of the connection it
  // leaves from, else to the receiving side of the one it arrives at.
  void AccountSegment(const TcpFourTuple& outgoing, std::uint32_t bytes);

  TcpTableSource& table_;
  ProcessSource& processSource_;
  HostNameCache& hosts_;
  LogClock clock_;

  ConnectionMap current_;
  // The same records by key hash: the refresh and the byte counting look
  // connections up here.
  ConnectionIndex index_;
  std::uint64_t refreshCount_ = 0;
  // Records listed by the refresh under way.
  std::size_t listed_ = 0;
  std::size_t recordsMade_ = 0;
  // The closed records of a refresh, kept for the vector's capacity.
  std::vector<ConnectionMap::iterator> closed_;
  NewConnectionQueue newConnections_;
  NewConnectionQueue ownersFound_;
  ProcessTable processes_;
  // The maps of the refresh before, for connections whose process ended
  // together with them.
  ProcessTable previousProcesses_;

  std::unique_ptr<CPerDateLogger> statsLogger_;
  bool logStats_ = false;
  std::string statsFileName_;
  std::string statsFormat_;

  int lastError_ = 0;
  bool shutDown_ = false;
};

}  // namespace harlune
