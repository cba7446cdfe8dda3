#pragma once

// FilteringSession: the application's management of the packet driver over
// time. The driver session loads every filter as a token-bucket class on
// every usable adapter; the filtering switch turns filtering on and off on
// all of them; and every change of the filter list goes to the running
// driver first, the list changing only when the driver accepted it.
// Everything runs on the owner's thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/user_dialogs.h"
#include "core/driver/driver_link.h"
#include "core/driver/driver_watch.h"
#include "core/filter/packet_filter_manager.h"
#include "core/htb/htb_class.h"
#include "core/htb/htb_manager.h"
#include "core/monitor/adapter_table.h"
#include "core/monitor/connection_monitor.h"
#include "protocol/capture6_record.h"

namespace harlune {

inline constexpr std::string_view kAdapterNotValidMessage =
    "そのアダプタは有効ではありません。ドライバが正しくインストールされているか確認してください。";
inline constexpr std::string_view kFilterAdapterNotValidMessage =
    "そのフィルタのアダプタは有効ではありません。";
// Shown once per program run, when the first adapter's driver turns out to
// know only IPv4.
inline constexpr std::string_view kIpv4OnlyDriverMessage =
    "ドライバがIPv6に対応していないため、IPv6のパケットはフィルタされず、パケットモニタにも表示され"
    "ません。";

// The message of a wrong driver version: the program cannot go on.
std::string WrongDriverMessage();
// The warning when no adapter can be used; `time` is the local time as
// the C library's "%c" writes it.
std::string NoAdapterWarning(std::string_view time);
// "FAILED: " and the request name.
std::string FailedRequestMessage(std::string_view requestName);

enum class SessionStart {
  kStarted,      // at least one adapter answered with the right driver
  kNoAdapter,    // no adapter could be used; the warning was shown
  kWrongDriver,  // an adapter answered with another driver version; the program ends
};

// The outcome of a list command: whether the list changed (the owner then
// marks the settings changed) and the rows to select afterwards.
struct FilterListChange {
  bool changed = false;
  std::vector<std::size_t> selection;
};

// The local time as "%c" formats it, for the no-adapter warning.
using LocalTimeText = std::function<std::string()>;
std::string CurrentLocalTimeText();

class FilteringSession final : public FilterRateRestorer {
 public:
  FilteringSession(DriverLink& driver, AdapterTable& adapters, PacketFilterManager& filters,
                   HTB_Manager& htb, UserDialogs& dialogs,
                   LocalTimeText localTime = CurrentLocalTimeText);

  // Per adapter: the version check and HlInitialize; then the switch is
  // re-applied when filtering is on, and every filter whose adapter is
  // usable gets its class. The owner runs the rest of the start (tree,
  // connection table, packet lists, ticks) unless the driver was wrong.
  SessionStart StartSession();
  // HlReleaseAdapter and HlUninitialize on every usable adapter. The
  // filters' class ids lose their meaning and are cleared.
  void EndSession();

  // Once per statistics tick: whether the driver still holds this session
  // (driver_watch.h). On kRestartSession the owner ends and starts the
  // session; on kWrongDriver it ends the program.
  DriverCheck CheckDriver() { return watch_.Check(); }
  // The adapters whose driver stopped answering during the session.
  std::vector<std::string> SilentAdapters() const { return watch_.SilentAdapters(); }

  void StartFiltering();
  void StopFiltering();
  void ToggleFiltering();
  bool filtering() const { return filtering_; }
  // Sets the switch without driver requests, before the session starts.
  void SetFiltering(bool on) { filtering_ = on; }

  // Sends every process-bound filter the local ports its process owns
  // (filter ID -> host-order ports, as the connection table collects them)
  // and keeps up to 204 of them in the record.
  void UpdateApplicationPorts(const FilterProcessPorts& portsOfFilters);

  // Reads every usable adapter's captured packets until it has none left,
  // handing each batch of whole records to `batch`: the IPv4 records first,
  // then the IPv6 ones unless the adapter's driver knows only IPv4. A family
  // that the adapter's last statistics batch found empty is not read.
  void ReadCapture(const std::function<void(const protocol::CaptureBatch&)>& batch);

  // Whether the driver may be asked about the adapter of this name.
  bool AdapterUsable(std::string_view adapterName) const;
  // Whether the filter's class may be named to the driver: its adapter is
  // usable and the driver gave it a class in this session.
  bool ClassUsable(const PacketFilterSetting& filter) const;
  // Whether the adapter's driver answered a request of IPv6 with "unknown
  // request" in this session. It is asked none until the next start.
  bool Ipv4OnlyDriver(std::string_view adapterName) const;

  // Filter list commands. `rows` are list positions; outside ones are ignored.
  FilterListChange AddNew(const PacketFilterSetting& record);
  // The same for a filter made from a connection, with that path's message
  // for an adapter that cannot be used.
  FilterListChange AddFromConnection(const PacketFilterSetting& record);
  FilterListChange Copy(std::span<const std::size_t> rows);
  FilterListChange Edit(std::size_t row, const PacketFilterSetting& edited);
  FilterListChange Delete(std::span<const std::size_t> rows);
  FilterListChange Up(std::span<const std::size_t> rows);
  FilterListChange Down(std::span<const std::size_t> rows);
  FilterListChange ToggleAvailable(std::span<const std::size_t> rows);

  // Gives a filter back its own rate (a leaf that drove it left the tree).
  void RestoreOwnRate(PacketFilterSetting& filter) override;

 private:
  // The request failed: the adapter is no longer used with the driver.
  void Invalidate(std::string_view adapterName);
  // The record's class on its adapter, with its families; on a refusal the
  // driver is left without it, the user told, and the record has no class.
  bool AddClass(PacketFilterSetting& record);
  // `record` in place of `old`, the same class; on a refusal the class is
  // put back as `old` was and the user told.
  bool ReplaceClass(const PacketFilterSetting& old, const PacketFilterSetting& record);
  // HlSetTBFClassFamily when the record alone does not say the families.
  // False (the user told) only when a driver that knows it refused.
  bool SendFamily(const PacketFilterSetting& filter);
  void MarkIpv4Only(std::string_view adapterName);
  // One adapter's loop of each read, until the driver has nothing left
  // (true) or the read failed.
  bool ReadIpv4Capture(const std::string& adapterName,
                       const std::function<void(const protocol::CaptureBatch&)>& batch);
  bool ReadIpv6Capture(const std::string& adapterName,
                       const std::function<void(const protocol::CaptureBatch&)>& batch);
  FilterListChange Append(const PacketFilterSetting& record, std::string_view adapterRefusal);
  void LoadFilterClasses();
  bool Move(std::size_t row, std::size_t neighbour, bool up);

  DriverLink& driver_;
  AdapterTable& adapters_;
  PacketFilterManager& filters_;
  HTB_Manager& htb_;
  UserDialogs& dialogs_;
  LocalTimeText localTime_;
  DriverWatch watch_;
  bool filtering_ = false;
  // Adapters whose driver knows only IPv4, as found in this session.
  std::set<std::string, std::less<>> ipv4OnlyAdapters_;
  // The session lives as long as the program: the notice of such a driver
  // is shown once, however often the session restarts.
  bool ipv4OnlyNoticeShown_ = false;
};

}  // namespace harlune
