#include "core/app/harlune_engine.h"

#include <utility>

namespace harlune {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kCapturePeriod{200};
constexpr milliseconds kStatisticsPeriod{100};
constexpr milliseconds kStartHiddenDelay{4000};
constexpr milliseconds kConnectionPeriod{1000};
constexpr milliseconds kAdapterPeriod{5000};
constexpr milliseconds kAutoSaveDelay{10000};
constexpr milliseconds kLogFlushPeriod{60000};

// The totals' sample of this tick (0 while the drawing cycle keeps none).
std::uint32_t NewestRate(const RateHistory32& history) {
  return history.empty() ? 0 : history.back();
}

}  // namespace

HarluneEngine::HarluneEngine(std::filesystem::path settingsFolder, EngineServices& services,
                             UserDialogs& dialogs, TickScheduler& scheduler, EngineView& view)
    : folder_(std::move(settingsFolder)),
      services_(services),
      dialogs_(dialogs),
      scheduler_(scheduler),
      view_(view),
      settings_(folder_, dialogs),
      store_(folder_, settings_, adapters_, dialogs),
      driver_(services.Transport(), services.DeviceNames()),
      session_(driver_, adapters_, settings_.filters, settings_.htb, dialogs),
      statistics_(driver_, adapters_, settings_.filters),
      classRates_(driver_, adapters_),
      packets_(settings_.general, settings_.commands) {}

HarluneEngine::~HarluneEngine() {
  if (monitor_ != nullptr) {
    monitor_->ShutDown();
  }
}

bool HarluneEngine::Initialise() {
  LoadSettings();
  return Start();
}

void HarluneEngine::LoadSettings() {
  RefreshAdapters();
  store_.LoadAllSettings();
  settings_.filters.ResolveAdapters(adapters_);
  settings_.htb.LinkFilters([this](std::int32_t id) { return settings_.filters.FindById(id); });
  PrepareConnectionMonitor();
  ApplyGeneralSettings();
  scheduler_.Arm(EngineTimer::kLogFlush, kLogFlushPeriod, false);
}

bool HarluneEngine::Start() {
  if (settings_.general.STARTUP_MINIMIZE == 1) {
    windowHidden_ = true;
    startHidden_ = true;
    scheduler_.Arm(EngineTimer::kStartHidden, kStartHiddenDelay, true);
  }
  session_.SetFiltering(settings_.general.STARTUP_ON == 1);
  if (StartSession() == SessionStart::kWrongDriver) {
    return false;
  }
  scheduler_.Arm(EngineTimer::kAdapters, kAdapterPeriod, false);
  scheduler_.Arm(EngineTimer::kConnections, kConnectionPeriod, false);
  return true;
}

void HarluneEngine::RefreshAdapters() {
  adapters_.Refresh(
      services_.Adapters(), [this](std::string_view name) { return driver_.HlGetVersion(name); },
      dialogs_);
}

void HarluneEngine::PrepareConnectionMonitor() {
  tcpTable_ = services_.MakeTcpTable(settings_.general);
  resolver_ = std::make_unique<HostResolver>(services_.MakeHostLookup(),
                                             settings_.general.RESOLVE_HOST == 1);
  hostNames_ = std::make_unique<ResolverHostNameCache>(*resolver_);
  monitor_ = std::make_unique<ConnectionMonitor>(*tcpTable_, services_.Processes(), *hostNames_);
  activity_ = std::make_unique<ConnectionMonitorActivity>(*monitor_);
  htbTick_ = std::make_unique<HtbTick>(*activity_, classRates_);
  controlled_ = std::make_unique<MonitorControlledConnections>(*monitor_);
  control_ = std::make_unique<ConnectionControlEngine>(settings_.rules, *controlled_,
                                                       services_.Resetter());
}

void HarluneEngine::ApplyGeneralSettings() {
  statistics_.SetViewRefreshCycle(settings_.general.VIEW_REFRESH_CYCLE);
  if (monitor_ != nullptr) {
    monitor_->ApplySettings(settings_.general);
    control_->ApplySettings(settings_.general);
    resolver_->SetResolveHost(settings_.general.RESOLVE_HOST == 1);
  }
}

SessionStart HarluneEngine::StartSession() {
  driverSessionOpen_ = true;
  graphHistory_.StartSession();
  const SessionStart start = session_.StartSession();
  if (start == SessionStart::kWrongDriver) {
    return start;
  }
  view_.FilteringChanged(session_.filtering());
  if (!RefreshConnections()) {
    dialogs_.ShowMessage(kTcpTableFailedMessage);
    view_.CloseRequested();
  } else {
    if (!windowHidden_) {
      view_.RedrawConnections();
    }
    UpdateApplicationPorts();
  }
  packets_.RebuildLists();
  view_.SessionStarted();
  scheduler_.Arm(EngineTimer::kCapture, kCapturePeriod, false);
  scheduler_.Arm(EngineTimer::kStatistics, kStatisticsPeriod, false);
  sessionRunning_ = true;
  return start;
}

void HarluneEngine::EndSession() {
  driverSessionOpen_ = false;
  session_.EndSession();
  scheduler_.Kill(EngineTimer::kCapture);
  scheduler_.Kill(EngineTimer::kStatistics);
  sessionRunning_ = false;
}

void HarluneEngine::StartFiltering() {
  session_.StartFiltering();
  view_.FilteringChanged(true);
}

void HarluneEngine::StopFiltering() {
  session_.StopFiltering();
  view_.FilteringChanged(false);
}

void HarluneEngine::ToggleFiltering() {
  session_.ToggleFiltering();
  view_.FilteringChanged(session_.filtering());
}

void HarluneEngine::UpdateApplicationPorts() {
  session_.UpdateApplicationPorts(monitor_->ProcessPortsOfFilters(settings_.filters));
}

bool HarluneEngine::RefreshConnections() {
  ConnectionTake take = ConnectionTickTake();
  return ApplyTake(take) != TakeApplied::kFailed;
}

ConnectionTake HarluneEngine::ConnectionTickTake() {
  const std::lock_guard lock(takeMutex_);
  ConnectionTake take;
  take.sequence = ++takesStarted_;
  take.snapshot = monitor_->TakeSnapshot();
  return take;
}

HarluneEngine::TakeApplied HarluneEngine::ApplyTake(ConnectionTake& take) {
  if (take.sequence <= lastAppliedTake_) {
    return TakeApplied::kStale;
  }
  lastAppliedTake_ = take.sequence;
  return monitor_->ApplySnapshot(std::move(take.snapshot)) ? TakeApplied::kApplied
                                                           : TakeApplied::kFailed;
}

FilterListChange HarluneEngine::Changed(FilterListChange change) {
  if (change.changed) {
    MarkChanged();
  }
  return change;
}

FilterListChange HarluneEngine::NewFilter(const PacketFilterSetting& record) {
  return Changed(session_.AddNew(record));
}

FilterListChange HarluneEngine::NewFilterFromConnection(const PacketFilterSetting& record) {
  return Changed(session_.AddFromConnection(record));
}

FilterListChange HarluneEngine::CopyFilters(std::span<const std::size_t> rows) {
  return Changed(session_.Copy(rows));
}

FilterListChange HarluneEngine::EditFilter(std::size_t row, const PacketFilterSetting& edited) {
  return Changed(session_.Edit(row, edited));
}

FilterListChange HarluneEngine::DeleteFilters(std::span<const std::size_t> rows) {
  return Changed(session_.Delete(rows));
}

FilterListChange HarluneEngine::FiltersUp(std::span<const std::size_t> rows) {
  return Changed(session_.Up(rows));
}

FilterListChange HarluneEngine::FiltersDown(std::span<const std::size_t> rows) {
  return Changed(session_.Down(rows));
}

FilterListChange HarluneEngine::ToggleFilters(std::span<const std::size_t> rows) {
  return Changed(session_.ToggleAvailable(rows));
}

void HarluneEngine::MarkChanged() {
  store_.MarkChanged();
  if (settings_.general.AUTO_SAVE == 1) {
    scheduler_.Kill(EngineTimer::kAutoSave);
    scheduler_.Arm(EngineTimer::kAutoSave, kAutoSaveDelay, true);
  }
}

bool HarluneEngine::SaveAllSettings() { return store_.SaveAllSettings(); }

bool HarluneEngine::SaveGeneralSettings() { return store_.SaveGeneralSettings(); }

bool HarluneEngine::ControlEnabled() const {
  return ConnectionControlEnabled(settings_.general, session_.filtering());
}

void HarluneEngine::CaptureTick() {
  if (closed_ || endingForWrongDriver_) {
    return;
  }
  const CaptureTickPlan plan = packets_.PlanCaptureTick(!windowHidden_);
  // The lists take the tick's records at once, so that both families mix.
  captured4_.clear();
  captured6_.clear();
  session_.ReadCapture([&](const protocol::CaptureBatch& batch) {
    if (packets_.Capturing()) {
      std::vector<std::uint8_t>& kept = batch.ipv6 ? captured6_ : captured4_;
      kept.insert(kept.end(), batch.records.begin(), batch.records.end());
    }
    monitor_->AccountCapture(batch);
  });
  if (packets_.Capturing()) {
    packets_.AddCapturedTick(captured4_, captured6_, plan.deferDrawing);
  }
  if (plan.redrawAfterTick && !windowHidden_ && packets_.Capturing()) {
    packets_.RedrawAll();
    view_.RedrawPackets();
  }
}

void HarluneEngine::WatchDriver() {
  switch (session_.CheckDriver()) {
    case DriverCheck::kHealthy:
      return;
    case DriverCheck::kRestartSession:
      RestartSession();
      return;
    case DriverCheck::kWrongDriver:
      dialogs_.ShowMessage(WrongDriverMessage());
      EndForWrongDriver();
      return;
  }
}

void HarluneEngine::RestartSession() {
  EndSession();
  if (StartSession() == SessionStart::kWrongDriver) {
    EndForWrongDriver();
  }
}

void HarluneEngine::EndForWrongDriver() {
  // As at start-up: the driver steps of the close, then the end.
  if (driverSessionOpen_) {
    EndSession();
  }
  scheduler_.Kill(EngineTimer::kCapture);
  scheduler_.Kill(EngineTimer::kStatistics);
  endingForWrongDriver_ = true;
  view_.CloseRequested();
}

void HarluneEngine::StatisticsTick() {
  if (closed_ || endingForWrongDriver_) {
    return;
  }
  SampleAndShare();
  if (DriverBatchFallbackUsed() && !batchlessNoticeShown_) {
    batchlessNoticeShown_ = true;
    dialogs_.ShowMessage(kBatchlessDriverMessage);
  }
  // Last, so that a restart the samples revealed is healed in this tick.
  WatchDriver();
}

void HarluneEngine::SampleAndShare() {
  statistics_.SampleFilters();
  if (!statistics_.SampleTotals()) {
    return;
  }
  htbTick_->Run(settings_.htb, settings_.general.DO_HTB == 1);
  graphHistory_.AddTick(NewestRate(statistics_.SendHistory()),
                        NewestRate(statistics_.ReceiveHistory()), settings_.filters, settings_.htb);
  if (statistics_.CountRedraw(windowHidden_)) {
    view_.RedrawStatistics();
  }
}

void HarluneEngine::ConnectionTick() {
  if (closed_ || endingForWrongDriver_) {
    return;
  }
  ConnectionTickApply(ConnectionTickTake());
}

void HarluneEngine::ConnectionTickApply(ConnectionTake take) {
  if (closed_ || endingForWrongDriver_) {
    return;
  }
  const TakeApplied applied = ApplyTake(take);
  if (applied == TakeApplied::kStale) {
    return;
  }
  if (applied == TakeApplied::kFailed) {
    dialogs_.ShowMessage(kTcpTableFailedMessage);
    view_.CloseRequested();
    return;
  }
  if (!windowHidden_) {
    view_.RedrawConnections();
  }
  UpdateApplicationPorts();
  control_->Pass(ControlEnabled());
}

void HarluneEngine::AdapterTick() {
  if (closed_ || endingForWrongDriver_) {
    return;
  }
  const bool adaptersChanged = adapters_.Refresh(
      services_.Adapters(), [this](std::string_view name) { return driver_.HlGetVersion(name); },
      dialogs_);
  const bool filtersChanged = settings_.filters.ResolveAdapters(adapters_);
  if (adaptersChanged || filtersChanged) {
    store_.MarkChanged();
    RestartSession();
  }
}

void HarluneEngine::AutoSaveTick() {
  scheduler_.Kill(EngineTimer::kAutoSave);
  if (!closed_) {
    SaveAllSettings();
  }
}

void HarluneEngine::StartHiddenTick(bool visible) {
  scheduler_.Kill(EngineTimer::kStartHidden);
  startHidden_ = false;
  windowHidden_ = !visible;
}

void HarluneEngine::LogFlushTick() {
  if (monitor_ != nullptr) {
    monitor_->Tick();
    control_->Tick();
  }
}

bool HarluneEngine::Close() {
  if (closed_) {
    return true;
  }
  if (endingForWrongDriver_) {
    return CloseForWrongDriver();
  }
  bool confirm = true;
  if (!store_.settingsSaved()) {
    if (settings_.general.AUTO_SAVE == 1) {
      SaveAllSettings();
    } else {
      switch (dialogs_.Ask(kUnsavedQuestion, kQuestionCaption, QuestionButtons::kYesNoCancel)) {
        case QuestionAnswer::kYes:
          SaveAllSettings();
          confirm = false;
          break;
        case QuestionAnswer::kNo:
          confirm = false;
          break;
        default:
          return false;
      }
    }
  }
  if (confirm && settings_.general.CONFIRM_CLOSE == 1 &&
      dialogs_.Ask(kConfirmCloseQuestion, kQuestionCaption, QuestionButtons::kYesNo) !=
          QuestionAnswer::kYes) {
    return false;
  }
  Finish();
  return true;
}

bool HarluneEngine::CloseForWrongDriver() {
  // The program ends whatever the answer: nothing the user set is lost
  // unless the user says so.
  if (!store_.settingsSaved() && (settings_.general.AUTO_SAVE == 1 ||
                                  dialogs_.Ask(kUnsavedQuestion, kQuestionCaption,
                                               QuestionButtons::kYesNo) == QuestionAnswer::kYes)) {
    SaveAllSettings();
  }
  Finish();
  return true;
}

void HarluneEngine::Finish() {
  if (driverSessionOpen_ || sessionRunning_) {
    EndSession();
  }
  for (const EngineTimer timer :
       {EngineTimer::kStartHidden, EngineTimer::kConnections, EngineTimer::kAdapters,
        EngineTimer::kAutoSave, EngineTimer::kLogFlush, EngineTimer::kCapture,
        EngineTimer::kStatistics}) {
    scheduler_.Kill(timer);
  }
  if (monitor_ != nullptr) {
    monitor_->ShutDown();
  }
  SaveGeneralSettings();
  closed_ = true;
}

}  // namespace harlune
