#pragma once

// DriverLink: the application's side of the packet driver's device protocol.
// Only the user-interface thread calls it, so requests never overlap.
//
// A request needs a connection bound to its adapter: open the device (trying
// each device name in turn), then bind. In one-shot mode every request opens
// and binds its own connection and closes it afterwards. In reuse mode (the
// default) one bound connection per adapter stays open for later requests,
// and the caller cannot tell the difference:
//
// - A request that fails on a reused connection is sorted by its error.
//   Errors 1 (unknown code) and 87 (wrong sizes) can only come from a driver
//   that read the request, so they are the driver's answer: the connection
//   stays, the failure is returned. Error 21 says the driver no longer holds
//   the bind. Error 31 is either the driver refusing the request or the
//   transport reporting a connection that closed, broke its framing or went
//   silent; a version request on the same connection tells them apart (a
//   broken handle fails it without reaching the driver).
// - A connection found unusable (21, or 31 with no version answer) is
//   closed, and the adapter becomes a suspect: the driver may have restarted
//   with none of the session's classes, or may have carried out a request
//   whose reply was lost. The request is sent once more on a fresh
//   connection only when that cannot do it twice: it never reached the
//   driver, or it is repeatable (protocol::RequestRepeatable). A failure on
//   a fresh connection is never retried; the fresh connection is kept only
//   when the request succeeded or was refused with 1 or 87.
// - A request naming a class that the driver refuses (other than with 1 or
//   87) makes the adapter a suspect too: the session sends only ids the
//   driver gave it. The owner takes the suspects and checks the driver.
// - The requests that a driver knowing only IPv4 answers with 1
//   (HlSetTBFClassFamily, HlReadPackets6, HlResetTcp6Connection) hand back
//   the device error, so that the caller can tell that driver from a failure.
// - No request ever carries kNoDriverClass: the call fails unsent.
// - The batches (HlGetStatisticsBatch, HlSetTBFClassRates) follow the rules
//   of the single requests they stand for: a class status other than 0, 1
//   or 87 makes the adapter a suspect as a refused single request does. A
//   driver that answers a batch with 1 does not know it; Batches() keeps
//   that per adapter for the callers, who then send the single requests.
// - HlGetVersion probes adapters: it uses a kept connection but never keeps
//   a new one, and it closes the adapter's connection unless the answer is
//   the accepted version.
// - At most kMaxKeptConnections adapters keep a connection; the least
//   recently used one is closed to make room.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/driver/device_transport.h"
#include "core/driver/driver_batch_memory.h"
#include "protocol/capture6_record.h"
#include "protocol/class_family.h"
#include "protocol/framing.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/tcp_four_tuple.h"

namespace harlune {

using PacketReadBuffer = std::array<std::uint8_t, protocol::kReadPacketsBufferSize>;
using Packet6ReadBuffer = std::array<std::uint8_t, protocol::kReadPackets6BufferSize>;

enum class DriverConnections {
  kOneShot,  // open, bind, one request, close
  kReused,   // one bound connection per adapter, kept between requests
};

// The bound connections kept per adapter, least recently used first.
class KeptConnections {
 public:
  explicit KeptConnections(std::size_t capacity) : capacity_(capacity) {}

  // The adapter's connection, now the most recently used, or nullptr.
  DeviceHandle* Find(std::string_view adapterName);
  // Keeps the connection as the most recently used, closing the least
  // recently used one when full.
  void Keep(std::string_view adapterName, std::unique_ptr<DeviceHandle> handle);
  void Drop(std::string_view adapterName);
  void Clear() { entries_.clear(); }
  std::size_t Size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string adapterName;
    std::unique_ptr<DeviceHandle> handle;
  };

  std::size_t capacity_;
  std::vector<Entry> entries_;
};

// An adapter whose driver may no longer hold what the session gave it.
struct DriverSuspect {
  std::string adapterName;
  // Its kept connection was lost: the driver restarted, or a request's
  // outcome is unknown. Otherwise a class request was refused.
  bool connectionLost = false;
};

// What the driver said to a reset request.
struct DriverResetReply {
  // The driver's status, an errno with 0 for ended, when the request
  // succeeded with exactly four bytes.
  std::optional<std::uint32_t> status;
  // Without a status, the device error of the request: 1 from a driver
  // that does not know the request, 87 from one that refused its input;
  // 31, or 0 when the adapter could not be bound or the status was cut
  // short, when no driver answered it.
  std::uint32_t deviceError = 0;
};

// What the driver said to a request that a driver knowing only IPv4 does
// not know.
struct DriverReply {
  bool succeeded = false;
  // Without success, the device error: 1 from a driver that does not know
  // the request, 0 when the adapter could not be bound.
  std::uint32_t deviceError = 0;

  bool UnknownRequest() const {
    return !succeeded && deviceError == protocol::device_error::kInvalidFunction;
  }
};

// The same for a read: the whole records now at the start of the buffer.
struct DriverReadReply {
  std::optional<std::size_t> records;
  std::uint32_t deviceError = 0;

  bool UnknownRequest() const {
    return !records && deviceError == protocol::device_error::kInvalidFunction;
  }
};

// What the driver said to a batch request: its reply decoded, or without
// one the device error (1 from a driver that does not know the batch; 0
// when the adapter could not be bound or the reply was not of the exact
// length).
template <typename Decoded>
struct DriverBatchReply {
  std::optional<Decoded> reply;
  std::uint32_t deviceError = 0;

  bool UnknownRequest() const {
    return !reply && deviceError == protocol::device_error::kInvalidFunction;
  }
};

using StatisticsBatchReply = DriverBatchReply<protocol::StatisticsBatch>;
// One status per entry, 0 when the rate was set.
using ClassRatesReply = DriverBatchReply<std::vector<std::uint32_t>>;

// The class id of a filter that has no class in the driver. Drivers never
// hand it out (capture records use it for "no class").
inline constexpr std::uint32_t kNoDriverClass = 0;

class DriverLink {
 public:
  static constexpr std::size_t kMaxKeptConnections = 64;

  // deviceNames: the names to try, in order, when opening the device.
  DriverLink(DeviceTransport& transport, std::vector<std::string> deviceNames,
             DriverConnections connections = DriverConnections::kReused);

  // A handle bound to the adapter at the UTF-16 device path, or nullptr. A
  // bind that the driver answers with a non-zero status sets LastError().
  // The handle is the caller's; it is never one of the kept connections.
  std::unique_ptr<DeviceHandle> Open(std::u16string_view devicePath);
  // The same for a UTF-8 path; a path that does not convert fails.
  std::unique_ptr<DeviceHandle> Open(std::string_view devicePath);

  // The status of the last refused bind (the thread's last error).
  std::uint32_t LastError() const { return lastError_; }

  // Closes every kept connection, as the end of a filtering session should,
  // so the driver sees no client left bound to its adapters.
  void DropConnections() { kept_.Clear(); }
  std::size_t KeptConnectionCount() const { return kept_.Size(); }

  // The adapters whose driver may no longer hold what the session gave it,
  // since the last call, each once.
  std::vector<DriverSuspect> TakeSuspects();

  // The driver's version, or 0 unless the request succeeded with exactly
  // four bytes.
  std::uint32_t HlGetVersion(std::string_view adapterName);
  bool HlInitialize(std::string_view adapterName);
  bool HlUninitialize(std::string_view adapterName);
  bool HlReleaseAdapter(std::string_view adapterName);
  // On success the driver's class id is written into record.DriverClassId.
  bool HlAddTBFClass(std::string_view adapterName, _TBF_SETTING_DATA& record);
  bool HlModifyTBFClass(std::string_view adapterName, const _TBF_SETTING_DATA& record);
  bool HlDeleteTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlUpTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlDownTBFClass(std::string_view adapterName, std::uint32_t driverClassId);
  bool HlSetTBFClassRate(std::string_view adapterName, std::uint32_t driverClassId,
                         std::uint32_t bytesPerSecond);
  // Fails without a request for more than 2048 ports.
  bool HlSetApplicationPorts(std::string_view adapterName, std::uint32_t driverClassId,
                             std::span<const std::uint16_t> ports);
  bool HlResetTraffic(std::string_view adapterName);
  bool HlStartFiltering(std::string_view adapterName);
  bool HlStopFiltering(std::string_view adapterName);
  // Bytes the driver did not return read as zero.
  bool HlGetTBFClassStatistics(std::string_view adapterName, std::uint32_t driverClassId,
                               protocol::ClassStatistics& statistics);
  bool HlGetTotalStatistics(std::string_view adapterName, protocol::TotalStatistics& statistics);
  // The number of whole 60-byte records now at the start of the buffer, or
  // nothing when the request failed.
  std::optional<std::size_t> HlReadPackets(std::string_view adapterName, PacketReadBuffer& buffer);
  // The families and IPv6 addresses of the class family.driverClassId, after
  // its HlAddTBFClass or HlModifyTBFClass.
  DriverReply HlSetTBFClassFamily(std::string_view adapterName,
                                  const protocol::ClassFamily& family);
  // The captured IPv6 packets as whole 84-byte records.
  DriverReadReply HlReadPackets6(std::string_view adapterName, Packet6ReadBuffer& buffer);
  // Has the driver end a TCP connection of IPv4 addresses (the caller
  // checks the tuple is one; the bound adapter does not matter).
  DriverResetReply HlResetTcpConnection(std::string_view adapterName,
                                        const protocol::TcpFourTuple& tuple);
  // The same for a connection of IPv6 addresses, by HlResetTcp6Connection.
  // A driver that knows only IPv4 fails it with 1, which the reply keeps
  // apart from no driver at all.
  DriverResetReply HlResetTcp6Connection(std::string_view adapterName,
                                         const protocol::TcpFourTuple& tuple);
  // One statistics tick's reads of the adapter: its totals, its waiting
  // capture records and the classes named, in order (at most 128, none
  // kNoDriverClass, else the call fails unsent). A reply keeps the waiting
  // records in Batches(), a failure forgets them.
  StatisticsBatchReply HlGetStatisticsBatch(std::string_view adapterName,
                                            std::span<const std::uint32_t> driverClassIds);
  // The rates of 1 to 128 classes of the adapter (none kNoDriverClass).
  ClassRatesReply HlSetTBFClassRates(std::string_view adapterName,
                                     std::span<const protocol::ClassRate> rates);
  // What the batches taught about each adapter's driver; the session's
  // start forgets it.
  DriverBatchMemory& Batches() { return batches_; }
  const DriverBatchMemory& Batches() const { return batches_; }

 private:
  struct Call {
    protocol::RequestCode code;
    std::span<const std::uint8_t> input;
    std::span<std::uint8_t> output;
  };

  std::unique_ptr<DeviceHandle> OpenAnyDevice();
  std::unique_ptr<DeviceHandle> OpenAdapter(std::string_view adapterName);
  // One request on a connection bound to the adapter; `keepFresh` says
  // whether a new connection may be kept afterwards.
  DeviceCallResult Request(std::string_view adapterName, protocol::RequestCode code,
                           std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                           bool keepFresh = true);
  DeviceCallResult RequestOneShot(std::string_view adapterName, const Call& call);
  DeviceCallResult RequestReused(std::string_view adapterName, const Call& call, bool keepFresh);
  // Whether a failed call leaves the connection unusable.
  static bool ConnectionLost(DeviceHandle& handle, const DeviceCallResult& result);
  // Whether a request lost with its connection may go out again.
  static bool MaySendAgain(protocol::RequestCode code, const DeviceCallResult& lost);
  void Suspect(std::string_view adapterName, bool connectionLost);
  // A request that names one of the driver's classes.
  DeviceCallResult ClassRequest(std::string_view adapterName, protocol::RequestCode code,
                                std::uint32_t driverClassId, std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output);
  DriverResetReply ResetRequest(std::string_view adapterName, protocol::RequestCode code,
                                std::span<const std::uint8_t> input);
  bool RequestWithoutData(std::string_view adapterName, protocol::RequestCode code);
  // The suspect rules of a batch that names classes: a failed request as a
  // failed class request, then each class's own status.
  void SuspectFailedBatch(std::string_view adapterName, const DeviceCallResult& result,
                          bool namesClasses);
  void SuspectRefusedClasses(std::string_view adapterName, std::span<const std::uint32_t> statuses);
  bool RequestWithClassId(std::string_view adapterName, protocol::RequestCode code,
                          std::uint32_t driverClassId);

  DeviceTransport& transport_;
  std::vector<std::string> deviceNames_;
  DriverConnections connections_;
  KeptConnections kept_{kMaxKeptConnections};
  std::uint32_t lastError_ = 0;
  std::vector<DriverSuspect> suspects_;
  DriverBatchMemory batches_;
};

}  // namespace harlune
