#include "core/driver/filtering_session.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <utility>

#include "core/base/string_resources.h"
#include "core/filter/filter_family.h"
#include "core/monitor/connection_filter.h"

namespace harlune {
namespace {

constexpr std::string_view kNoAdapterWarningText =
    "警告：Harlune2ドライバがインストールされていないか、\n"
    "        Administrator権限で実行されていないか、\n"
    "        有効なアダプタが一つもありません。\n"
    "時刻：";

// Rows in the list, ascending and without repeats.
std::vector<std::size_t> SortedRows(std::span<const std::size_t> rows, std::size_t size) {
  std::vector<std::size_t> sorted;
  for (const std::size_t row : rows) {
    if (row < size) {
      sorted.push_back(row);
    }
  }
  std::ranges::sort(sorted);
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  return sorted;
}

}  // namespace

std::string WrongDriverMessage() {
  std::string text{strings::kDriverBaseName};
  text +=
      ".sysが正しくインストールされていません。\n"
      "前バージョンをアンインストールしてからHarlune2をインストールし直してみてください。";
  return text;
}

std::string NoAdapterWarning(std::string_view time) {
  std::string text{kNoAdapterWarningText};
  text += time;
  return text;
}

std::string FailedRequestMessage(std::string_view requestName) {
  std::string text = "FAILED: ";
  text += requestName;
  return text;
}

std::string CurrentLocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) {
    return {};
  }
  std::array<char, 128> buffer{};
  const std::size_t length = std::strftime(buffer.data(), buffer.size(), "%c", &local);
  return std::string(buffer.data(), length);
}

FilteringSession::FilteringSession(DriverLink& driver, AdapterTable& adapters,
                                   PacketFilterManager& filters, HTB_Manager& htb,
                                   UserDialogs& dialogs, LocalTimeText localTime)
    : driver_(driver),
      adapters_(adapters),
      filters_(filters),
      htb_(htb),
      dialogs_(dialogs),
      localTime_(std::move(localTime)),
      watch_(driver, adapters, filters) {}

bool FilteringSession::AdapterUsable(std::string_view adapterName) const {
  return adapters_.AdapterValidOf(adapterName) == 1;
}

bool FilteringSession::ClassUsable(const PacketFilterSetting& filter) const {
  return filter.DriverClassId != kNoDriverClass && AdapterUsable(filter.LowerAdapterName);
}

bool FilteringSession::Ipv4OnlyDriver(std::string_view adapterName) const {
  return ipv4OnlyAdapters_.contains(adapterName);
}

void FilteringSession::Invalidate(std::string_view adapterName) {
  adapters_.SetValid(adapterName, false);
}

void FilteringSession::MarkIpv4Only(std::string_view adapterName) {
  ipv4OnlyAdapters_.emplace(adapterName);
  if (!ipv4OnlyNoticeShown_) {
    ipv4OnlyNoticeShown_ = true;
    dialogs_.ShowMessage(kIpv4OnlyDriverMessage);
  }
}

SessionStart FilteringSession::StartSession() {
  // Everything the driver holds is given anew; earlier doubts are moot, and
  // a driver found to know only IPv4 may have been replaced.
  watch_.Forget();
  ipv4OnlyAdapters_.clear();
  driver_.Batches().ForgetSession();
  std::size_t counted = 0;
  // Names are copied: SetValid must not be given a reference into the table.
  for (const AdapterEntry& entry : std::vector<AdapterEntry>(adapters_.Entries())) {
    if (entry.name == strings::kNoAdapterName) {
      continue;
    }
    const std::uint32_t version = driver_.HlGetVersion(entry.name);
    if (version == 0) {
      Invalidate(entry.name);
      continue;
    }
    if (version != protocol::kDriverVersion) {
      Invalidate(entry.name);
      dialogs_.ShowMessage(WrongDriverMessage());
      return SessionStart::kWrongDriver;
    }
    adapters_.SetValid(entry.name, true);
    if (!driver_.HlInitialize(entry.name)) {
      dialogs_.ShowMessage(FailedRequestMessage("HlInitialize"));
      Invalidate(entry.name);
    }
    ++counted;
  }
  if (counted == 0) {
    dialogs_.ShowMessage(NoAdapterWarning(localTime_()));
    return SessionStart::kNoAdapter;
  }
  if (filtering_) {
    StartFiltering();
  }
  LoadFilterClasses();
  return SessionStart::kStarted;
}

void FilteringSession::LoadFilterClasses() {
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    PacketFilterSetting& filter = filters_.At(i);
    if (AdapterUsable(filter.LowerAdapterName)) {
      AddClass(filter);
    }
  }
}

void FilteringSession::EndSession() {
  for (const AdapterEntry& entry : std::vector<AdapterEntry>(adapters_.Entries())) {
    if (entry.valid != 1) {
      continue;
    }
    if (!driver_.HlReleaseAdapter(entry.name)) {
      Invalidate(entry.name);
    }
    driver_.HlUninitialize(entry.name);
  }
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    filters_.At(i).DriverClassId = kNoDriverClass;
  }
  // The next session may find other adapters: no connection outlives this one.
  driver_.DropConnections();
}

void FilteringSession::StartFiltering() {
  for (const AdapterEntry& entry : std::vector<AdapterEntry>(adapters_.Entries())) {
    if (entry.valid == 1 && !driver_.HlStartFiltering(entry.name)) {
      Invalidate(entry.name);
    }
  }
  filtering_ = true;
}

void FilteringSession::StopFiltering() {
  for (const AdapterEntry& entry : std::vector<AdapterEntry>(adapters_.Entries())) {
    if (entry.valid == 1 && !driver_.HlStopFiltering(entry.name)) {
      Invalidate(entry.name);
    }
  }
  filtering_ = false;
}

void FilteringSession::ToggleFiltering() {
  if (filtering_) {
    StopFiltering();
  } else {
    StartFiltering();
  }
}

void FilteringSession::UpdateApplicationPorts(const FilterProcessPorts& portsOfFilters) {
  for (const auto& [id, ports] : portsOfFilters) {
    PacketFilterSetting* filter = filters_.FindById(id);
    if (filter == nullptr) {
      continue;
    }
    // A class id names a class on one adapter only: the ports go to the
    // filter's own adapter, never to another adapter's class of that id.
    if (ClassUsable(*filter)) {
      driver_.HlSetApplicationPorts(filter->LowerAdapterName, filter->DriverClassId, ports);
    }
    const std::size_t kept = std::min(ports.size(), PacketFilterSetting::kMaxAppPorts);
    std::copy_n(ports.begin(), kept, filter->AppPorts.begin());
    filter->AppPortCount = static_cast<std::int32_t>(kept);
  }
}

void FilteringSession::ReadCapture(
    const std::function<void(const protocol::CaptureBatch&)>& batch) {
  DriverBatchMemory& hints = driver_.Batches();
  for (const AdapterEntry& entry : std::vector<AdapterEntry>(adapters_.Entries())) {
    if (entry.valid != 1) {
      continue;
    }
    // A family the last statistics batch found empty is not read: the next
    // batch tells when records wait, and a ring that fills still shows them.
    if (hints.CaptureMayBePending(entry.name, false)) {
      if (!ReadIpv4Capture(entry.name, batch)) {
        continue;
      }
      hints.MarkCaptureDrained(entry.name, false);
    }
    if (!Ipv4OnlyDriver(entry.name) && hints.CaptureMayBePending(entry.name, true) &&
        ReadIpv6Capture(entry.name, batch)) {
      hints.MarkCaptureDrained(entry.name, true);
    }
  }
}

bool FilteringSession::ReadIpv4Capture(
    const std::string& adapterName,
    const std::function<void(const protocol::CaptureBatch&)>& batch) {
  PacketReadBuffer buffer{};
  for (;;) {
    const std::optional<std::size_t> records = driver_.HlReadPackets(adapterName, buffer);
    if (!records) {
      Invalidate(adapterName);
      return false;
    }
    if (*records == 0) {
      return true;
    }
    batch({false,
           std::span<const std::uint8_t>(buffer).first(*records * protocol::kCaptureRecordSize)});
  }
}

bool FilteringSession::ReadIpv6Capture(
    const std::string& adapterName,
    const std::function<void(const protocol::CaptureBatch&)>& batch) {
  Packet6ReadBuffer buffer{};
  for (;;) {
    const DriverReadReply reply = driver_.HlReadPackets6(adapterName, buffer);
    if (reply.UnknownRequest()) {
      MarkIpv4Only(adapterName);
      return false;
    }
    if (!reply.records) {
      Invalidate(adapterName);
      return false;
    }
    if (*reply.records == 0) {
      return true;
    }
    batch({true, std::span<const std::uint8_t>(buffer).first(*reply.records *
                                                             protocol::kCapture6RecordSize)});
  }
}

bool FilteringSession::SendFamily(const PacketFilterSetting& filter) {
  if (!NeedsFamilyRequest(filter) || Ipv4OnlyDriver(filter.LowerAdapterName)) {
    return true;
  }
  const DriverReply reply =
      driver_.HlSetTBFClassFamily(filter.LowerAdapterName, ClassFamilyOf(filter));
  if (reply.succeeded) {
    return true;
  }
  if (reply.UnknownRequest()) {
    // The class applies as its record says, as with every filter there.
    MarkIpv4Only(filter.LowerAdapterName);
    return true;
  }
  dialogs_.ShowMessage(FailedRequestMessage("HlSetTBFClassFamily"));
  return false;
}

bool FilteringSession::AddClass(PacketFilterSetting& record) {
  _TBF_SETTING_DATA wire = DriverRecordOf(record);
  const bool added = driver_.HlAddTBFClass(record.LowerAdapterName, wire);
  record.DriverClassId = wire.DriverClassId;
  if (!added) {
    dialogs_.ShowMessage(FailedRequestMessage("HlAddTBFClass"));
    return false;
  }
  if (SendFamily(record)) {
    return true;
  }
  // A class applying to other packets than the filter says must not stay.
  driver_.HlDeleteTBFClass(record.LowerAdapterName, record.DriverClassId);
  record.DriverClassId = kNoDriverClass;
  return false;
}

bool FilteringSession::ReplaceClass(const PacketFilterSetting& old,
                                    const PacketFilterSetting& record) {
  if (!driver_.HlModifyTBFClass(record.LowerAdapterName, DriverRecordOf(record))) {
    dialogs_.ShowMessage(FailedRequestMessage("HlModifyTBFClass"));
    return false;
  }
  if (SendFamily(record)) {
    return true;
  }
  // The driver holds the new record with the families it alone gives: the
  // list keeps the old filter, so the driver gets it back. A refusal here
  // makes the adapter a suspect, and the driver watch heals it.
  if (driver_.HlModifyTBFClass(old.LowerAdapterName, DriverRecordOf(old)) &&
      NeedsFamilyRequest(old)) {
    driver_.HlSetTBFClassFamily(old.LowerAdapterName, ClassFamilyOf(old));
  }
  return false;
}

FilterListChange FilteringSession::AddNew(const PacketFilterSetting& record) {
  return Append(record, kAdapterNotValidMessage);
}

FilterListChange FilteringSession::AddFromConnection(const PacketFilterSetting& record) {
  return Append(record, kConnectionAdapterNotValidMessage);
}

FilterListChange FilteringSession::Append(const PacketFilterSetting& record,
                                          std::string_view adapterRefusal) {
  if (filters_.IsFull()) {
    dialogs_.ShowMessage(kFilterLimitMessage);
    return {};
  }
  if (!AdapterUsable(record.LowerAdapterName)) {
    dialogs_.ShowMessage(adapterRefusal);
    return {};
  }
  PacketFilterSetting added = record;
  if (!AddClass(added)) {
    return {};
  }
  filters_.Add(added);
  return {true, {filters_.Size() - 1}};
}

FilterListChange FilteringSession::Copy(std::span<const std::size_t> rows) {
  const std::vector<std::size_t> selected = SortedRows(rows, filters_.Size());
  if (filters_.Size() + selected.size() > PacketFilterManager::kMaxFilters) {
    dialogs_.ShowMessage(kFilterLimitMessage);
    return {};
  }
  FilterListChange change;
  for (const std::size_t row : selected) {
    PacketFilterSetting copy = filters_.At(row);
    copy.TransferredBytes = 0;
    copy.RateHistory.clear();
    if (!AdapterUsable(copy.LowerAdapterName)) {
      dialogs_.ShowMessage(kFilterAdapterNotValidMessage);
      return change;
    }
    if (!AddClass(copy)) {
      return change;
    }
    copy.ID = -1;
    filters_.Add(copy);
    change.changed = true;
    change.selection.push_back(filters_.Size() - 1);
  }
  return change;
}

FilterListChange FilteringSession::Edit(std::size_t row, const PacketFilterSetting& edited) {
  if (row >= filters_.Size()) {
    return {};
  }
  const PacketFilterSetting& old = filters_.At(row);
  PacketFilterSetting record = edited;
  record.ID = old.ID;
  if (record.LowerAdapterName == old.LowerAdapterName) {
    record.DriverClassId = old.DriverClassId;
    if (ClassUsable(record) && !ReplaceClass(old, record)) {
      return {};
    }
    filters_.At(row) = record;
    htb_.LinkFilters([this](std::int32_t id) { return filters_.FindById(id); });
    return {true, {row}};
  }
  // The class moves to the end of the new adapter's list. It is added there
  // before the old one goes, so that a refused add leaves the filter
  // working as it was.
  record.DriverClassId = kNoDriverClass;
  if (AdapterUsable(record.LowerAdapterName) && !AddClass(record)) {
    return {};
  }
  if (ClassUsable(old)) {
    driver_.HlDeleteTBFClass(old.LowerAdapterName, old.DriverClassId);
  }
  filters_.Remove(row);
  filters_.InsertCopy(record, filters_.Size());
  htb_.LinkFilters([this](std::int32_t id) { return filters_.FindById(id); });
  return {true, {filters_.Size() - 1}};
}

FilterListChange FilteringSession::Delete(std::span<const std::size_t> rows) {
  std::vector<std::size_t> selected = SortedRows(rows, filters_.Size());
  FilterListChange change;
  for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
    const PacketFilterSetting& filter = filters_.At(*it);
    if (ClassUsable(filter) &&
        !driver_.HlDeleteTBFClass(filter.LowerAdapterName, filter.DriverClassId)) {
      dialogs_.ShowMessage(FailedRequestMessage("HlDeleteTBFClass"));
      break;
    }
    filters_.Remove(*it);
    // Leaves must not point at the removed record a moment longer.
    htb_.LinkFilters([this](std::int32_t id) { return filters_.FindById(id); });
    change.changed = true;
  }
  return change;
}

bool FilteringSession::Move(std::size_t row, std::size_t neighbour, bool up) {
  const PacketFilterSetting& filter = filters_.At(row);
  const PacketFilterSetting& other = filters_.At(neighbour);
  // A filter without a class is not in the driver's list, so passing it
  // leaves the driver's order as it is.
  if (other.LowerAdapterName == filter.LowerAdapterName && ClassUsable(filter) &&
      ClassUsable(other)) {
    const bool moved = up ? driver_.HlUpTBFClass(filter.LowerAdapterName, filter.DriverClassId)
                          : driver_.HlDownTBFClass(filter.LowerAdapterName, filter.DriverClassId);
    if (!moved) {
      dialogs_.ShowMessage(FailedRequestMessage(up ? "HlUpTBFClass" : "HlDownTBFClass"));
      return false;
    }
  }
  filters_.Exchange(row, neighbour);
  return true;
}

FilterListChange FilteringSession::Up(std::span<const std::size_t> rows) {
  const std::vector<std::size_t> selected = SortedRows(rows, filters_.Size());
  FilterListChange change;
  if (selected.empty() || selected.front() == 0) {
    return change;
  }
  for (const std::size_t row : selected) {
    if (!Move(row, row - 1, true)) {
      break;
    }
    change.changed = true;
    change.selection.push_back(row - 1);
  }
  return change;
}

FilterListChange FilteringSession::Down(std::span<const std::size_t> rows) {
  const std::vector<std::size_t> selected = SortedRows(rows, filters_.Size());
  FilterListChange change;
  if (selected.empty() || selected.back() + 1 == filters_.Size()) {
    return change;
  }
  for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
    if (!Move(*it, *it + 1, false)) {
      break;
    }
    change.changed = true;
    change.selection.push_back(*it + 1);
  }
  std::ranges::sort(change.selection);
  return change;
}

FilterListChange FilteringSession::ToggleAvailable(std::span<const std::size_t> rows) {
  const std::vector<std::size_t> selected = SortedRows(rows, filters_.Size());
  FilterListChange change{false, selected};
  for (const std::size_t row : selected) {
    PacketFilterSetting& filter = filters_.At(row);
    const PacketFilterSetting old = filter;
    filter.Available = filter.Available == 1 ? 0 : 1;
    if (ClassUsable(filter) && !ReplaceClass(old, filter)) {
      filter.Available = old.Available;
      continue;
    }
    change.changed = true;
  }
  return change;
}

void FilteringSession::RestoreOwnRate(PacketFilterSetting& filter) {
  if (ClassUsable(filter)) {
    driver_.HlSetTBFClassRate(filter.LowerAdapterName, filter.DriverClassId, filter.TBFRate);
  }
}

}  // namespace harlune
