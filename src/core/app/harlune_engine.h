#pragma once

// HarluneEngine: the whole application without a window. It owns the
// settings, the filtering session, the statistics and the HTB, the adapter
// table, the connection monitor and control engine, the packet monitor and
// the loggers, and runs them from one tick method per front-end timer. A
// front end (the Qt window or the headless program) owns exactly one, draws
// what it holds and forwards the user's commands. Everything runs on the
// front end's thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/app/engine_services.h"
#include "core/app/settings_store.h"
#include "core/base/user_dialogs.h"
#include "core/capture/packet_monitor.h"
#include "core/control/connection_control_engine.h"
#include "core/driver/driver_link.h"
#include "core/driver/filtering_session.h"
#include "core/driver/traffic_statistics.h"
#include "core/graph/rate_graph_history.h"
#include "core/htb/batched_class_rates.h"
#include "core/htb/htb_tick.h"
#include "core/monitor/adapter_table.h"
#include "core/monitor/connection_monitor.h"
#include "core/monitor/host_resolver.h"

namespace harlune {

// Shown once per program run, when the first adapter's driver turns out not
// to know the batch requests: every number is still read, one request each.
inline constexpr std::string_view kBatchlessDriverMessage =
    "ドライバが一括要求に対応していないため、統計とHTBの帯域はフィルタごとに要求します。"
    "CPUの負荷が高くなります。";
inline constexpr std::string_view kTcpTableFailedMessage =
    "TCPテーブルの取得に失敗しました。Harluneを終了します。";
inline constexpr std::string_view kUnsavedQuestion =
    "設定は保存されていません。保存して終了しますか？";
inline constexpr std::string_view kConfirmCloseQuestion = "終了してよろしいですか？";
inline constexpr std::string_view kQuestionCaption = "Harlune";

// One read of the system for the connection tick, numbered in the order
// the reads were made, so that a read overtaken by a later one is never
// applied after it.
struct ConnectionTake {
  std::uint64_t sequence = 0;
  ConnectionSnapshot snapshot;
};

class HarluneEngine {
 public:
  HarluneEngine(std::filesystem::path settingsFolder, EngineServices& services,
                UserDialogs& dialogs, TickScheduler& scheduler, EngineView& view);
  ~HarluneEngine();
  HarluneEngine(const HarluneEngine&) = delete;
  HarluneEngine& operator=(const HarluneEngine&) = delete;

  // The start of the main window without drawing: loads every settings
  // file, reads the adapters, prepares the connection monitor, starts the
  // driver session with filtering as STARTUP_ON says, and arms the
  // connection and adapter timers. False when the program must end (the
  // driver is of the wrong version).
  bool Initialise();
  // The same in two steps, for a front end that builds its pages between
  // them: the settings, adapters and connection monitor; then the session
  // and the timers (false when the program must end).
  void LoadSettings();
  bool Start();

  // The close procedure. False when the user chose to keep running; after
  // true the driver session has ended, the monitor stopped and the general
  // settings saved, and the engine takes no more ticks.
  bool Close();
  bool Closed() const { return closed_; }
  // A driver of another version answered during the run: the program ends
  // (its front end with status 1), and the close asks nothing it could
  // refuse.
  bool EndedForWrongDriver() const { return endingForWrongDriver_; }

  // The driver session and the filtering switch.
  SessionStart StartSession();
  void EndSession();
  void StartFiltering();
  void StopFiltering();
  void ToggleFiltering();
  bool filtering() const { return session_.filtering(); }
  void UpdateApplicationPorts();
  // The adapters whose driver stopped answering during the session (the
  // status shows them; they are not used until the driver answers again).
  std::vector<std::string> SilentAdapters() const { return session_.SilentAdapters(); }
  // Whether a driver of this run knew no batch requests, so that the
  // statistics or rates of one of its adapters went one request per class
  // (for a status or an about box: nothing the user sees is missing).
  bool DriverBatchFallbackUsed() const { return driver_.Batches().FallbackUsed(); }
  // Whether the port-to-process mapping setting changes anything: only the
  // plain TCP table, whose rows carry no owners, maps ports to processes.
  bool PortMappingApplies() const { return tcpTable_ != nullptr && !tcpTable_->RowsCarryOwners(); }
  // The reset of the driver's totals.
  void ResetTotals() { statistics_.ResetTotals(); }

  // Filter list commands; each successful one marks the settings changed.
  FilterListChange NewFilter(const PacketFilterSetting& record);
  FilterListChange NewFilterFromConnection(const PacketFilterSetting& record);
  FilterListChange CopyFilters(std::span<const std::size_t> rows);
  FilterListChange EditFilter(std::size_t row, const PacketFilterSetting& edited);
  FilterListChange DeleteFilters(std::span<const std::size_t> rows);
  FilterListChange FiltersUp(std::span<const std::size_t> rows);
  FilterListChange FiltersDown(std::span<const std::size_t> rows);
  FilterListChange ToggleFilters(std::span<const std::size_t> rows);

  // A change of the settings: unsaved from now on, saved 10 s after the
  // last change when AUTO_SAVE is on.
  void MarkChanged();
  bool SaveAllSettings();
  bool SaveGeneralSettings();
  bool settingsSaved() const { return store_.settingsSaved(); }
  // The general settings changed (option pages): the parts that read them
  // take them over.
  void ApplyGeneralSettings();

  // The window's visibility, which decides whether anything is drawn.
  bool windowHidden() const { return windowHidden_; }
  void SetWindowHidden(bool hidden) { windowHidden_ = hidden; }
  // While set (the first 4 s of a minimised start) the window stays hidden.
  bool startHidden() const { return startHidden_; }

  // The ticks, one per timer.
  void CaptureTick();     // 200 ms
  void StatisticsTick();  // 100 ms
  void ConnectionTick();  // 1 s
  // The connection tick in two halves, for a front end that reads the
  // system off its own thread. The take reads the TCP table and the
  // processes and touches nothing else: it may run on another thread while
  // the engine is used on its own (takes are serialised among themselves
  // and with the engine's own refreshes). The apply, on the engine's
  // thread, does the rest of the tick in its order: the records (a failed
  // read shows kTcpTableFailedMessage and asks to close), the redraw, the
  // application ports and one control pass. An apply after the close, or of
  // a take older than one already applied, does nothing. ConnectionTick is
  // the two in a row.
  ConnectionTake ConnectionTickTake();
  void ConnectionTickApply(ConnectionTake take);
  void AdapterTick();   // 5 s
  void AutoSaveTick();  // once, 10 s after the last change
  // Once, 4 s after a minimised start; `visible` is the window's real state.
  void StartHiddenTick(bool visible);
  void LogFlushTick();  // 60 s

  Settings& settings() { return settings_; }
  const Settings& settings() const { return settings_; }
  AdapterTable& adapters() { return adapters_; }
  const TrafficStatistics& statistics() const { return statistics_; }
  // The last ten minutes of rates for the graphs, kept whether or not one
  // is shown.
  const RateGraphHistory& graphHistory() const { return graphHistory_; }
  ConnectionMonitor& connections() { return *monitor_; }
  ConnectionControlEngine& control() { return *control_; }
  PacketMonitor& packets() { return packets_; }
  HostResolver& resolver() { return *resolver_; }
  // Gives a filter its own rate back (a leaf that drove it left the tree).
  FilterRateRestorer& rateRestorer() { return session_; }
  // Ends one connection of the system's table (the connection page's
  // "disconnect").
  ConnectionResetter& resetter() { return services_.Resetter(); }

 private:
  void PrepareConnectionMonitor();
  void RefreshAdapters();
  // The statistics tick's samples, HTB and redraw.
  void SampleAndShare();
  // Heals a driver restart, or ends the program for another driver.
  void WatchDriver();
  void RestartSession();
  void EndForWrongDriver();
  bool CloseForWrongDriver();
  // The end of the close procedure: the driver session, timers, monitor and
  // the general settings.
  void Finish();
  bool RefreshConnections();
  enum class TakeApplied { kApplied, kStale, kFailed };
  TakeApplied ApplyTake(ConnectionTake& take);
  FilterListChange Changed(FilterListChange change);
  bool ControlEnabled() const;

  std::filesystem::path folder_;
  EngineServices& services_;
  UserDialogs& dialogs_;
  TickScheduler& scheduler_;
  EngineView& view_;

  AdapterTable adapters_;
  Settings settings_;
  SettingsStore store_;
  DriverLink driver_;
  FilteringSession session_;
  TrafficStatistics statistics_;
  RateGraphHistory graphHistory_;
  BatchedClassRateSink classRates_;

  std::unique_ptr<TcpTableSource> tcpTable_;
  std::unique_ptr<HostResolver> resolver_;
  std::unique_ptr<ResolverHostNameCache> hostNames_;
  std::unique_ptr<ConnectionMonitor> monitor_;
  std::unique_ptr<ConnectionMonitorActivity> activity_;
  std::unique_ptr<HtbTick> htbTick_;
  std::unique_ptr<MonitorControlledConnections> controlled_;
  std::unique_ptr<ConnectionControlEngine> control_;
  // Serialises the reads of the TCP table and process sources, which a
  // front end's worker and the engine's own refreshes share.
  std::mutex takeMutex_;
  std::uint64_t takesStarted_ = 0;  // guarded by takeMutex_
  std::uint64_t lastAppliedTake_ = 0;
  PacketMonitor packets_;
  // One capture tick's records of each family, kept for their capacity.
  std::vector<std::uint8_t> captured4_;
  std::vector<std::uint8_t> captured6_;

  bool windowHidden_ = false;
  bool startHidden_ = false;
  bool sessionRunning_ = false;
  // HlInitialize may have reached the driver and no EndSession followed.
  bool driverSessionOpen_ = false;
  bool endingForWrongDriver_ = false;
  bool closed_ = false;
  bool batchlessNoticeShown_ = false;
};

}  // namespace harlune
