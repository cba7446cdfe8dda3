#pragma once

// PacketMonitor: the packet monitor page without its widgets. It holds one
// list per available older packet filter (titled, but fed by nobody yet),
// then the Unmatched list and the All list; feeds each captured batch to All
// and Unmatched, sharing one PacketInfo; freezes and unfreezes the display;
// keeps the capture switch; carries a column's new width or the new column
// order to every list of the same view and into the settings; and offers the
// packet monitor's external commands on a row's context menu.
//
// Choices where the behaviour was open:
// - An available filter whose protocol is neither TCP nor UDP gets a TCP view
//   list, the view that shows every protocol.
// - A context menu opened on a row whose packet is no longer in the
//   snapshot has no packet, and its commands then do nothing (MenuCommand
//   gives no command line), rather than run with the macros unfilled.
// - The capture switch lives here; the capture timer reads Capturing().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/capture/packet_columns.h"
#include "core/capture/packet_info.h"
#include "core/capture/packet_list.h"
#include "core/command/external_command.h"
#include "core/command/external_command_file.h"
#include "protocol/capture6_record.h"

namespace harlune {

inline constexpr std::string_view kUnmatchedTabText = "非フィルタ";
inline constexpr std::string_view kAllTabText = "全て";
inline constexpr std::string_view kUnmatchedHeaderText = "フィルタに適合しなかったパケット";
inline constexpr std::string_view kAllHeaderText = "全てのパケット";
inline constexpr std::string_view kDroppedSuffix = " で遮断されたパケット";
inline constexpr std::string_view kPassedSuffix = " を通過したパケット";
inline constexpr std::string_view kFreezeBoxText = "描画を停止";
inline constexpr std::string_view kCaptureBoxText = "パケットをモニタする";
inline constexpr std::string_view kExternalCommandMenuText = "外部コマンド(&E)";

// The context menu's k-th command has this id plus k.
inline constexpr std::int32_t kFirstPacketCommandId = 112;

// Up to this MAX_PACKET_CAPTURE_NUM the lists are refilled once per capture
// tick; above it each packet is drawn as it comes.
inline constexpr std::int32_t kMaxPacketsRedrawnPerTick = 200;

enum class CheckState {
  kUnchecked,
  kChecked,
  kIndeterminate,
};

// How the capture timer feeds one tick.
struct CaptureTickPlan {
  bool deferDrawing = true;      // the value for every AddCapturedRecords
  bool redrawAfterTick = false;  // call RedrawAll once every adapter is read
};

struct PacketMenuCommand {
  std::int32_t id = 0;
  std::string name;
};

class PacketMonitorObserver {
 public:
  virtual ~PacketMonitorObserver() = default;
  // Every list and tab was replaced; list 0 is selected.
  virtual void ListsRebuilt() = 0;
  virtual void FreezeBoxChanged(CheckState state) = 0;
};

// The packet monitor's commands expanded for a packet: "%SrcAddr%" and
// "%DestAddr%" always (RFC 5952 text for IPv6), "%SrcPort%" and
// "%DestPort%" only for TCP and UDP packets whose record holds their ports
// (not an IPv6 later fragment), so that the run operation asks for them
// otherwise.
CommandTemplate ExpandPacketMacros(std::string_view commandLine, const PacketEntry& entry);

class PacketMonitor {
 public:
  // `settings` and `commands` are owned elsewhere and must outlive the
  // monitor. The lists are built at once.
  PacketMonitor(IniFileObject& settings, const ExternalCommandIni& commands,
                CaptureClock clock = SystemCaptureClock);
  PacketMonitor(const PacketMonitor&) = delete;
  PacketMonitor& operator=(const PacketMonitor&) = delete;

  void SetObserver(PacketMonitorObserver* observer) { observer_ = observer; }

  // Drops every list and its packets and builds them anew from the older
  // packet filters; serial numbers restart at 1 and list 0 is selected.
  // References to the old lists end here; the observer hears ListsRebuilt.
  void RebuildLists();

  std::size_t ListCount() const { return lists_.size(); }
  PacketList& List(std::size_t index) { return *lists_.at(index).list; }
  const PacketList& List(std::size_t index) const { return *lists_.at(index).list; }
  const std::string& TabText(std::size_t index) const { return lists_.at(index).tabText; }
  const std::string& HeaderText(std::size_t index) const { return lists_.at(index).headerText; }
  std::size_t PerFilterListCount() const { return lists_.size() - 2; }
  std::size_t UnmatchedIndex() const { return lists_.size() - 2; }
  std::size_t AllIndex() const { return lists_.size() - 1; }

  // False, changing nothing, for an index without a list.
  bool SelectList(std::size_t index);
  std::size_t SelectedList() const { return selected_; }

  // A batch of 60-byte capture records (a partial tail is ignored), each
  // stored in All and then Unmatched. They are drawn at once unless
  // `deferDrawing` or the display is frozen.
  void AddCapturedRecords(std::span<const std::uint8_t> records, bool deferDrawing);
  // A batch of either family's records, stored as AddCapturedRecords
  // stores IPv4 ones; an 84-byte record that does not decode as IPv6 is
  // left out and takes no serial number.
  void AddCapturedBatch(const protocol::CaptureBatch& batch, bool deferDrawing);
  // Every record one capture tick read, IPv4 and IPv6 ones spread evenly
  // among each other in the lists.
  void AddCapturedTick(std::span<const std::uint8_t> ipv4Records,
                       std::span<const std::uint8_t> ipv6Records, bool deferDrawing);

  // Redraws every dirty list unless the display is frozen.
  void RedrawAll();

  // What the capture timer does this tick with the window shown or not.
  CaptureTickPlan PlanCaptureTick(bool windowVisible) const;

  // "描画を停止" as the user's click left it: checked freezes every list,
  // unchecked shows the newest packets. Any state but unchecked is frozen.
  void ClickFreezeBox(CheckState state);
  CheckState FreezeBox() const { return freezeBox_; }
  bool Frozen() const { return freezeBox_ != CheckState::kUnchecked; }

  // "パケットをモニタする": checked switches capture on, unchecked off; the
  // indeterminate state changes nothing. Off until the user checks the box.
  void ClickCaptureBox(CheckState state);
  bool Capturing() const { return capturing_; }

  // The user changed a column's width or the column order in list
  // `index`: every list of the same view follows, and so do the settings.
  // False, changing nothing, for a bad index, column or order.
  bool ColumnResized(std::size_t index, std::size_t column, std::int32_t width);
  bool ColumnsReordered(std::size_t index, std::span<const std::int32_t> order);

  // The context menu's commands: the packet monitor's commands offered in
  // its menu, in list order, with ids 112 + k. None: the item is greyed.
  std::vector<PacketMenuCommand> MenuCommands() const;

  // A right click on list `index`: nothing (false) without a selected row.
  // Otherwise freezes an unfrozen display (the box turns indeterminate)
  // until CloseContextMenu, and looks the row's packet up in the snapshot.
  bool OpenContextMenu(std::size_t index, std::optional<std::uint32_t> selectedSerial);
  // Undoes the freeze OpenContextMenu made, if it made one.
  void CloseContextMenu();
  const std::optional<PacketEntry>& MenuPacket() const { return menuPacket_; }

  // The command line of menu command `id` for the menu's packet; nothing for
  // an id of no command, or when the menu found no packet.
  std::optional<CommandTemplate> MenuCommand(std::int32_t id) const;

 private:
  struct ListSlot {
    std::unique_ptr<PacketList> list;
    std::string tabText;
    std::string headerText;
  };

  void AddList(PacketView view, std::string tabText, std::string headerText);
  // Into All, then Unmatched: no list matches packets to the older filters.
  void StoreCaptured(const std::shared_ptr<const PacketInfo>& packet, bool drawNow);
  void SetFreezeBox(CheckState state);
  // The packet monitor's commands offered in its menu, in list order.
  std::vector<const ExternalCommand*> OfferedCommands() const;

  IniFileObject& settings_;
  const ExternalCommandIni& commands_;
  CaptureClock clock_;
  PacketMonitorObserver* observer_ = nullptr;

  std::vector<ListSlot> lists_;
  std::size_t selected_ = 0;
  CheckState freezeBox_ = CheckState::kUnchecked;
  bool capturing_ = false;
  bool menuFroze_ = false;
  std::optional<PacketEntry> menuPacket_;
};

}  // namespace harlune
