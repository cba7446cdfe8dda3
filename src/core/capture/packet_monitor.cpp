#include "core/capture/packet_monitor.h"

#include <algorithm>
#include <utility>

#include "core/filter/legacy_filter.h"
#include "protocol/byte_order.h"
#include "protocol/replies.h"

namespace harlune {
namespace {

PacketView ViewOfProtocol(std::uint16_t protocolNumber) {
  return protocolNumber == kIpProtocolUdp ? PacketView::kUdp : PacketView::kTcp;
}

std::string FilterTabText(std::size_t position, const PacketFilter& filter) {
  return "No." + std::to_string(position) + " " + filter.FilterName;
}

std::string FilterHeaderText(std::size_t position, const PacketFilter& filter) {
  const bool drops = filter.Drop && !filter.DropSynOnly;
  return FilterTabText(position, filter) + " " + filter.DescriptionText() +
         std::string(drops ? kDroppedSuffix : kPassedSuffix);
}

template <std::size_t N>
void StoreOrder(ColumnValues<N>& stored, std::span<const std::int32_t> order) {
  std::copy_n(order.begin(), N, stored.begin());
}

}  // namespace

CommandTemplate ExpandPacketMacros(std::string_view commandLine, const PacketEntry& entry) {
  CommandTemplate command = CommandTemplate::Parse(commandLine);
  if (entry.Packet == nullptr) {
    return command;
  }
  const PacketInfo& packet = *entry.Packet;
  PacketMacroValues values;
  values.srcAddr = packet.SourceAddress();
  values.destAddr = packet.DestinationAddress();
  values.hasPorts = packet.HasPorts();
  values.srcPort = protocol::HostToNet16(packet.SourcePort());
  values.destPort = protocol::HostToNet16(packet.DestinationPort());
  FillPacketMacros(command, values);
  return command;
}

PacketMonitor::PacketMonitor(IniFileObject& settings, const ExternalCommandIni& commands,
                             CaptureClock clock)
    : settings_(settings), commands_(commands), clock_(std::move(clock)) {
  RebuildLists();
}

void PacketMonitor::AddList(PacketView view, std::string tabText, std::string headerText) {
  lists_.push_back(
      {std::make_unique<PacketList>(view, settings_), std::move(tabText), std::move(headerText)});
}

void PacketMonitor::RebuildLists() {
  lists_.clear();
  menuPacket_.reset();
  const auto& filters = settings_.staticFilters.Filters();
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const PacketFilter& filter = *filters[i];
    if (filter.Available) {
      // Disabled filters count in the position.
      AddList(ViewOfProtocol(filter.Protocol), FilterTabText(i + 1, filter),
              FilterHeaderText(i + 1, filter));
    }
  }
  AddList(PacketView::kTcp, std::string(kUnmatchedTabText), std::string(kUnmatchedHeaderText));
  AddList(PacketView::kTcp, std::string(kAllTabText), std::string(kAllHeaderText));
  selected_ = 0;
  if (observer_ != nullptr) {
    observer_->ListsRebuilt();
  }
}

bool PacketMonitor::SelectList(std::size_t index) {
  if (index >= lists_.size()) {
    return false;
  }
  selected_ = index;
  return true;
}

void PacketMonitor::AddCapturedBatch(const protocol::CaptureBatch& batch, bool deferDrawing) {
  if (!batch.ipv6) {
    AddCapturedRecords(batch.records, deferDrawing);
    return;
  }
  const bool drawNow = !deferDrawing && !Frozen();
  for (std::size_t i = 0; i < batch.RecordCount(); ++i) {
    std::optional<PacketInfo> packet = PacketInfo::FromRecord6(batch.Record(i), clock_());
    if (packet) {
      StoreCaptured(std::make_shared<const PacketInfo>(std::move(*packet)), drawNow);
    }
  }
}

void PacketMonitor::AddCapturedTick(std::span<const std::uint8_t> ipv4Records,
                                    std::span<const std::uint8_t> ipv6Records, bool deferDrawing) {
  const protocol::CaptureBatch ipv4{false, ipv4Records};
  const protocol::CaptureBatch ipv6{true, ipv6Records};
  const std::size_t ipv4Count = ipv4.RecordCount();
  const std::size_t ipv6Count = ipv6.RecordCount();
  std::size_t taken4 = 0;
  std::size_t taken6 = 0;
  // The driver keeps the families apart, so how their packets followed each
  // other within a tick is not known. Spread evenly, neither family's
  // newest packets push all of the other's out of a short list.
  while (taken4 < ipv4Count || taken6 < ipv6Count) {
    const bool takeIpv4 =
        taken6 == ipv6Count || (taken4 < ipv4Count && taken4 * ipv6Count <= taken6 * ipv4Count);
    if (takeIpv4) {
      AddCapturedBatch({false, ipv4.Record(taken4++)}, deferDrawing);
    } else {
      AddCapturedBatch({true, ipv6.Record(taken6++)}, deferDrawing);
    }
  }
}

void PacketMonitor::StoreCaptured(const std::shared_ptr<const PacketInfo>& packet, bool drawNow) {
  List(AllIndex()).AddPacket(packet, drawNow);
  List(UnmatchedIndex()).AddPacket(packet, drawNow);
}

void PacketMonitor::AddCapturedRecords(std::span<const std::uint8_t> records, bool deferDrawing) {
  const std::size_t count = protocol::CaptureRecordCount(records.size());
  const bool drawNow = !deferDrawing && !Frozen();
  for (std::size_t i = 0; i < count; ++i) {
    const CaptureRecord record =
        records.subspan(i * protocol::kCaptureRecordSize).first<protocol::kCaptureRecordSize>();
    StoreCaptured(std::make_shared<const PacketInfo>(PacketInfo::FromRecord(record, clock_())),
                  drawNow);
  }
}

void PacketMonitor::RedrawAll() {
  if (Frozen()) {
    return;
  }
  for (ListSlot& slot : lists_) {
    slot.list->Redraw();
  }
}

CaptureTickPlan PacketMonitor::PlanCaptureTick(bool windowVisible) const {
  if (settings_.MAX_PACKET_CAPTURE_NUM <= kMaxPacketsRedrawnPerTick) {
    return {true, windowVisible && capturing_};
  }
  return {!windowVisible, false};
}

void PacketMonitor::SetFreezeBox(CheckState state) {
  freezeBox_ = state;
  if (observer_ != nullptr) {
    observer_->FreezeBoxChanged(state);
  }
}

void PacketMonitor::ClickFreezeBox(CheckState state) {
  SetFreezeBox(state);
  for (ListSlot& slot : lists_) {
    if (state == CheckState::kChecked) {
      slot.list->TakeSnapshot();
    } else if (state == CheckState::kUnchecked) {
      slot.list->Redraw();
    }
  }
}

void PacketMonitor::ClickCaptureBox(CheckState state) {
  if (state != CheckState::kIndeterminate) {
    capturing_ = state == CheckState::kChecked;
  }
}

bool PacketMonitor::ColumnResized(std::size_t index, std::size_t column, std::int32_t width) {
  if (index >= lists_.size() || column >= PacketColumnCount(List(index).View())) {
    return false;
  }
  const PacketView view = List(index).View();
  for (ListSlot& slot : lists_) {
    if (slot.list->View() == view) {
      slot.list->SetColumnWidth(column, width);
    }
  }
  // The lists keep the width as they can show it.
  const std::int32_t shown = List(index).ColumnWidths()[column];
  if (view == PacketView::kTcp) {
    settings_.LCTCPPACKET_COLUMN_SIZE[column] = shown;
  } else {
    settings_.LCUDPPACKET_COLUMN_SIZE[column] = shown;
  }
  return true;
}

bool PacketMonitor::ColumnsReordered(std::size_t index, std::span<const std::int32_t> order) {
  if (index >= lists_.size()) {
    return false;
  }
  const PacketView view = List(index).View();
  if (!IsColumnOrder(order, PacketColumnCount(view))) {
    return false;
  }
  for (ListSlot& slot : lists_) {
    if (slot.list->View() == view) {
      slot.list->SetColumnOrder(order);
    }
  }
  if (view == PacketView::kTcp) {
    StoreOrder(settings_.LCTCPPACKET_COLUMN_ORDER, order);
  } else {
    StoreOrder(settings_.LCUDPPACKET_COLUMN_ORDER, order);
  }
  return true;
}

std::vector<const ExternalCommand*> PacketMonitor::OfferedCommands() const {
  std::vector<const ExternalCommand*> offered;
  for (const ExternalCommand& command : commands_) {
    if (command.OfferedIn(kTargetPacketMonitor)) {
      offered.push_back(&command);
    }
  }
  return offered;
}

std::vector<PacketMenuCommand> PacketMonitor::MenuCommands() const {
  std::vector<PacketMenuCommand> menu;
  std::int32_t id = kFirstPacketCommandId;
  for (const ExternalCommand* command : OfferedCommands()) {
    menu.push_back({id++, command->Name});
  }
  return menu;
}

bool PacketMonitor::OpenContextMenu(std::size_t index,
                                    std::optional<std::uint32_t> selectedSerial) {
  if (index >= lists_.size() || !selectedSerial) {
    return false;
  }
  if (freezeBox_ == CheckState::kUnchecked) {
    SetFreezeBox(CheckState::kIndeterminate);
    for (ListSlot& slot : lists_) {
      slot.list->TakeSnapshot();
    }
    menuFroze_ = true;
  }
  const PacketEntry* entry = List(index).FindInSnapshot(*selectedSerial);
  menuPacket_ = entry != nullptr ? std::optional<PacketEntry>(*entry) : std::nullopt;
  return true;
}

void PacketMonitor::CloseContextMenu() {
  if (menuFroze_) {
    menuFroze_ = false;
    ClickFreezeBox(CheckState::kUnchecked);
  }
}

std::optional<CommandTemplate> PacketMonitor::MenuCommand(std::int32_t id) const {
  const std::vector<const ExternalCommand*> offered = OfferedCommands();
  const std::int64_t k = std::int64_t{id} - kFirstPacketCommandId;
  if (k < 0 || k >= static_cast<std::int64_t>(offered.size()) || !menuPacket_) {
    return std::nullopt;
  }
  return ExpandPacketMacros(offered[static_cast<std::size_t>(k)]->CommandLine, *menuPacket_);
}

}  // namespace harlune
