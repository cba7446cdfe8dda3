// The packet monitor page's model: its lists, feeding, freezing, columns,
// capture switch and context menu.

#include "core/capture/packet_monitor.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_records.h"

namespace harlune {
namespace {

using test::Batch;
using test::Batch6;
using test::MakeRecord;
using test::MakeRecord6;

class RecordingMonitorObserver : public PacketMonitorObserver {
 public:
  void ListsRebuilt() override { ++rebuilds; }
  void FreezeBoxChanged(CheckState state) override { boxStates.push_back(state); }

  int rebuilds = 0;
  std::vector<CheckState> boxStates;
};

PacketFilter Filter(const char* name, std::uint16_t protocolNumber, bool available = true) {
  PacketFilter filter;
  filter.FilterName = name;
  filter.Protocol = protocolNumber;
  filter.Available = available;
  return filter;
}

class PacketMonitorTest : public ::testing::Test {
 protected:
  PacketMonitorTest() {
    commands.Add({1, 0, kTargetPacketMonitor, "ping src", "ping %SrcAddr%"});
    commands.Add({1, 0, kTargetConnectionMonitor, "ping", "ping %RemoteAddr%"});
    commands.Add({0, 0, kTargetPacketMonitor, "hidden", "x"});
    commands.Add({1, 0, kTargetPacketMonitor, "ports", "nc %DestAddr% %DestPort% %SrcPort%"});
  }

  std::uint32_t TopSerial(std::size_t list) const {
    return monitor.List(list).Rows().empty() ? 0 : monitor.List(list).Rows().front().Serial;
  }

  IniFileObject settings;
  ExternalCommandIni commands{"ExternalCommand.ini"};
  std::int64_t now = 1000;
  PacketMonitor monitor{settings, commands, [this] { return now++; }};
};

TEST_F(PacketMonitorTest, TwoFullBatchesLeaveTheNewestHundredInBothLists) {
  std::vector<std::uint8_t> withTail = Batch(100);
  withTail.resize(withTail.size() + 59, 0x45);  // a partial record is ignored
  monitor.AddCapturedRecords(withTail, false);
  monitor.AddCapturedRecords(Batch(100), false);
  for (const std::size_t index : {monitor.AllIndex(), monitor.UnmatchedIndex()}) {
    const PacketList& list = monitor.List(index);
    ASSERT_EQ(list.Rows().size(), 100u);
    EXPECT_EQ(list.Rows().front().Serial, 200u);
    EXPECT_EQ(list.Rows().back().Serial, 101u);
    EXPECT_EQ(list.LiveStore().size(), 100u);
  }
  // One PacketInfo per record, shared, with its own read time.
  const PacketEntry& newest = monitor.List(monitor.AllIndex()).Rows().front();
  EXPECT_EQ(newest.Packet, monitor.List(monitor.UnmatchedIndex()).Rows().front().Packet);
  EXPECT_EQ(newest.Packet->CaptureTime, 1199);
}

TEST_F(PacketMonitorTest, ListsFollowTheAvailableOlderFilters) {
  PacketFilter dropping = Filter("web", 6);
  dropping.Drop = true;
  dropping.DropSynOnly = false;
  settings.staticFilters.Add(dropping);
  settings.staticFilters.Add(Filter("dns", 17));
  settings.staticFilters.Add(Filter("off", 6, false));
  settings.staticFilters.Add(Filter("gre", 47));
  RecordingMonitorObserver observer;
  monitor.SetObserver(&observer);
  monitor.RebuildLists();

  EXPECT_EQ(observer.rebuilds, 1);
  ASSERT_EQ(monitor.ListCount(), 5u);
  EXPECT_EQ(monitor.PerFilterListCount(), 3u);
  const std::vector<std::string> tabs{"No.1 web", "No.2 dns", "No.4 gre", "非フィルタ", "全て"};
  const std::vector<PacketView> views{PacketView::kTcp, PacketView::kUdp, PacketView::kTcp,
                                      PacketView::kTcp, PacketView::kTcp};
  for (std::size_t i = 0; i < tabs.size(); ++i) {
    EXPECT_EQ(monitor.TabText(i), tabs[i]);
    EXPECT_EQ(monitor.List(i).View(), views[i]);
  }
  const std::string description = "<TCP 0.0.0.0:全てのポート → 全てのIP:全てのポート>";
  EXPECT_EQ(monitor.HeaderText(0), "No.1 web " + description + " で遮断されたパケット");
  EXPECT_EQ(monitor.HeaderText(3), "フィルタに適合しなかったパケット");
  EXPECT_EQ(monitor.HeaderText(4), "全てのパケット");

  // Drop with DropSynOnly lets established traffic pass.
  settings.staticFilters.At(0).DropSynOnly = true;
  monitor.RebuildLists();
  EXPECT_TRUE(monitor.HeaderText(0).ends_with(" を通過したパケット"));

  monitor.AddCapturedRecords(Batch(3), false);
  EXPECT_TRUE(monitor.List(0).LiveStore().empty());
}

TEST_F(PacketMonitorTest, WithoutAvailableFiltersTwoTabsAndRebuildStartsOver) {
  settings.staticFilters.Add(Filter("off", 6, false));
  monitor.RebuildLists();
  monitor.AddCapturedRecords(Batch(3), false);
  EXPECT_TRUE(monitor.SelectList(1));
  EXPECT_FALSE(monitor.SelectList(2));

  monitor.RebuildLists();
  ASSERT_EQ(monitor.ListCount(), 2u);
  EXPECT_EQ(monitor.TabText(0), "非フィルタ");
  EXPECT_EQ(monitor.TabText(1), "全て");
  EXPECT_EQ(monitor.SelectedList(), 0u);
  EXPECT_EQ(monitor.List(1).NextSerial(), 1u);
  EXPECT_TRUE(monitor.List(1).Rows().empty());
}

TEST_F(PacketMonitorTest, FreezingKeepsTheRowsAndUnfreezingShowsTheNewest) {
  const std::size_t all = monitor.AllIndex();
  monitor.AddCapturedRecords(Batch(2), false);
  monitor.ClickFreezeBox(CheckState::kChecked);
  monitor.AddCapturedRecords(Batch(3), false);
  monitor.AddCapturedRecords(Batch(1), true);
  monitor.RedrawAll();
  EXPECT_EQ(TopSerial(all), 2u);
  EXPECT_EQ(monitor.List(all).SnapshotStore().size(), 2u);

  monitor.ClickFreezeBox(CheckState::kUnchecked);
  EXPECT_EQ(TopSerial(all), 6u);
  EXPECT_EQ(monitor.List(all).Rows().size(), 6u);
}

TEST_F(PacketMonitorTest, DisplayPolicyFollowsStoreSizeWindowAndCaptureSwitch) {
  EXPECT_FALSE(monitor.Capturing());
  EXPECT_FALSE(monitor.PlanCaptureTick(true).redrawAfterTick);
  monitor.ClickCaptureBox(CheckState::kChecked);
  monitor.ClickCaptureBox(CheckState::kIndeterminate);
  EXPECT_TRUE(monitor.Capturing());
  settings.MAX_PACKET_CAPTURE_NUM = 200;
  const CaptureTickPlan small = monitor.PlanCaptureTick(true);
  EXPECT_TRUE(small.deferDrawing);
  EXPECT_TRUE(small.redrawAfterTick);
  EXPECT_FALSE(monitor.PlanCaptureTick(false).redrawAfterTick);

  monitor.AddCapturedRecords(Batch(2), small.deferDrawing);
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 0u);
  monitor.RedrawAll();
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 2u);

  settings.MAX_PACKET_CAPTURE_NUM = 201;
  const CaptureTickPlan large = monitor.PlanCaptureTick(true);
  EXPECT_FALSE(large.deferDrawing);
  EXPECT_FALSE(large.redrawAfterTick);
  EXPECT_TRUE(monitor.PlanCaptureTick(false).deferDrawing);
  monitor.AddCapturedRecords(Batch(1), large.deferDrawing);
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 3u);
}

TEST_F(PacketMonitorTest, ColumnChangesReachOnlyListsOfTheSameView) {
  settings.staticFilters.Add(Filter("tcp", 6));
  settings.staticFilters.Add(Filter("udp", 17));
  monitor.RebuildLists();

  EXPECT_TRUE(monitor.ColumnResized(0, 15, 120));
  for (const std::size_t i : {0u, 2u, 3u}) {
    EXPECT_EQ(monitor.List(i).ColumnWidths()[15], 120);
  }
  EXPECT_EQ(settings.LCTCPPACKET_COLUMN_SIZE[15], 120);
  EXPECT_TRUE(monitor.ColumnResized(3, 2, 33));
  EXPECT_EQ(monitor.List(1).ColumnWidths()[2], 62);
  EXPECT_EQ(settings.LCUDPPACKET_COLUMN_SIZE[2], 62);
  EXPECT_FALSE(monitor.ColumnResized(1, 12, 50));
  EXPECT_FALSE(monitor.ColumnResized(4, 0, 50));

  std::vector<std::int32_t> order{11, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_TRUE(monitor.ColumnsReordered(1, order));
  EXPECT_EQ(monitor.List(1).ColumnOrder()[0], 11);
  EXPECT_EQ(settings.LCUDPPACKET_COLUMN_ORDER[0], 11);
  EXPECT_EQ(monitor.List(0).ColumnOrder()[0], 0);
  EXPECT_EQ(settings.LCTCPPACKET_COLUMN_ORDER[0], 0);
  order[0] = 1;
  EXPECT_FALSE(monitor.ColumnsReordered(1, order));
  EXPECT_EQ(settings.LCUDPPACKET_COLUMN_ORDER[0], 11);
}

TEST_F(PacketMonitorTest, ContextMenuFreezesOnlyWhileOpenWhenTheBoxWasUnchecked) {
  const std::size_t all = monitor.AllIndex();
  RecordingMonitorObserver observer;
  monitor.SetObserver(&observer);
  monitor.AddCapturedRecords(Batch(2), false);
  EXPECT_FALSE(monitor.OpenContextMenu(all, std::nullopt));
  EXPECT_EQ(monitor.FreezeBox(), CheckState::kUnchecked);

  ASSERT_TRUE(monitor.OpenContextMenu(all, 1));
  EXPECT_EQ(monitor.FreezeBox(), CheckState::kIndeterminate);
  monitor.AddCapturedRecords(Batch(1), false);  // the timer keeps firing
  EXPECT_EQ(TopSerial(all), 2u);
  monitor.CloseContextMenu();
  EXPECT_EQ(monitor.FreezeBox(), CheckState::kUnchecked);
  EXPECT_EQ(TopSerial(all), 3u);
  EXPECT_EQ(observer.boxStates,
            (std::vector<CheckState>{CheckState::kIndeterminate, CheckState::kUnchecked}));

  monitor.ClickFreezeBox(CheckState::kChecked);
  ASSERT_TRUE(monitor.OpenContextMenu(all, 3));
  monitor.CloseContextMenu();
  EXPECT_EQ(monitor.FreezeBox(), CheckState::kChecked);
}

TEST_F(PacketMonitorTest, MenuCommandsExpandTheMenusPacket) {
  const std::vector<PacketMenuCommand> menu = monitor.MenuCommands();
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].id, 112);
  EXPECT_EQ(menu[0].name, "ping src");
  EXPECT_EQ(menu[1].id, 113);
  EXPECT_EQ(menu[1].name, "ports");

  monitor.AddCapturedRecords(Batch(1, MakeRecord(1)), false);
  monitor.AddCapturedRecords(Batch(1, MakeRecord(17)), false);
  const std::size_t all = monitor.AllIndex();
  ASSERT_TRUE(monitor.OpenContextMenu(all, 1));  // the ICMP packet
  monitor.CloseContextMenu();
  const std::optional<CommandTemplate> icmp = monitor.MenuCommand(113);
  ASSERT_TRUE(icmp.has_value());
  EXPECT_EQ(icmp->Text(), "nc 10.0.0.1 %DestPort% %SrcPort%");
  EXPECT_EQ(icmp->OpenMacros(), (std::vector<std::string_view>{"%SrcPort%", "%DestPort%"}));
  EXPECT_EQ(monitor.MenuCommand(112).value().Text(), "ping 192.168.0.2");
  EXPECT_FALSE(monitor.MenuCommand(111).has_value());
  EXPECT_FALSE(monitor.MenuCommand(114).has_value());

  ASSERT_TRUE(monitor.OpenContextMenu(all, 2));  // UDP
  monitor.CloseContextMenu();
  EXPECT_EQ(monitor.MenuCommand(113).value().Text(), "nc 10.0.0.1 80 50000");

  // A row whose packet is no longer kept: the commands do nothing.
  ASSERT_TRUE(monitor.OpenContextMenu(all, 99));
  monitor.CloseContextMenu();
  EXPECT_FALSE(monitor.MenuPacket().has_value());
  EXPECT_FALSE(monitor.MenuCommand(112).has_value());
}

TEST_F(PacketMonitorTest, BatchesOfBothFamiliesShareTheListsAndTheNewestHundredStay) {
  monitor.AddCapturedBatch({false, Batch(70)}, false);
  std::vector<std::uint8_t> ipv6 = Batch6(40);
  std::vector<std::uint8_t> notIpv6 = Batch(1);  // an IPv4 record, padded: no IPv6 record
  notIpv6.resize(84, 0);
  ipv6.insert(ipv6.begin() + 84 * 20, notIpv6.begin(), notIpv6.end());
  ipv6.resize(ipv6.size() + 83, 0x60);  // a partial record is ignored
  monitor.AddCapturedBatch({true, ipv6}, false);
  monitor.AddCapturedBatch({false, Batch(1, MakeRecord(17))}, false);

  for (const std::size_t index : {monitor.AllIndex(), monitor.UnmatchedIndex()}) {
    const PacketList& list = monitor.List(index);
    ASSERT_EQ(list.Rows().size(), 100u);
    // The record that did not decode took no serial number.
    EXPECT_EQ(list.NextSerial(), 112u);
    EXPECT_EQ(list.Rows()[0].Serial, 111u);
    EXPECT_FALSE(list.Rows()[0].Packet->IsIpv6());
    EXPECT_TRUE(list.Rows()[1].Packet->IsIpv6());
    EXPECT_TRUE(list.Rows()[40].Packet->IsIpv6());
    EXPECT_FALSE(list.Rows()[41].Packet->IsIpv6());
    EXPECT_EQ(list.Rows()[99].Serial, 12u);
  }
  const PacketEntry& v6 = monitor.List(monitor.AllIndex()).Rows()[1];
  EXPECT_EQ(v6.Packet, monitor.List(monitor.UnmatchedIndex()).Rows()[1].Packet);
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 8, v6), "2001:2::2");
}

TEST_F(PacketMonitorTest, OneTicksRecordsOfBothFamiliesAreSpreadAmongEachOther) {
  // 300 IPv4 and 100 IPv6 records in one tick: whichever family the driver
  // was read for last, the newest 100 rows hold both, three to one.
  monitor.AddCapturedTick(Batch(300), Batch6(100), false);
  const PacketList& list = monitor.List(monitor.AllIndex());
  ASSERT_EQ(list.Rows().size(), 100u);
  const auto ipv6Rows = std::count_if(list.Rows().begin(), list.Rows().end(),
                                      [](const PacketEntry& e) { return e.Packet->IsIpv6(); });
  EXPECT_EQ(ipv6Rows, 25);
  for (std::size_t row = 0; row + 4 <= list.Rows().size(); row += 4) {
    const auto group = std::count_if(list.Rows().begin() + static_cast<std::ptrdiff_t>(row),
                                     list.Rows().begin() + static_cast<std::ptrdiff_t>(row + 4),
                                     [](const PacketEntry& e) { return e.Packet->IsIpv6(); });
    EXPECT_EQ(group, 1) << "rows " << row << ".." << row + 3;
  }
  EXPECT_EQ(list.NextSerial(), 401u);
  // One family alone goes in its own order.
  monitor.AddCapturedTick({}, Batch6(2), false);
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 402u);
  monitor.AddCapturedTick(Batch(0), {}, false);
  EXPECT_EQ(list.NextSerial(), 403u);
}

TEST_F(PacketMonitorTest, Ipv6PacketsDeferAndFreezeAsIpv4Ones) {
  monitor.AddCapturedBatch({true, Batch6(3)}, true);
  EXPECT_TRUE(monitor.List(monitor.AllIndex()).Rows().empty());
  monitor.RedrawAll();
  EXPECT_EQ(monitor.List(monitor.AllIndex()).Rows().size(), 3u);
  monitor.ClickFreezeBox(CheckState::kChecked);
  monitor.AddCapturedBatch({true, Batch6(2)}, false);
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 3u);
  monitor.ClickFreezeBox(CheckState::kUnchecked);
  EXPECT_EQ(TopSerial(monitor.AllIndex()), 5u);
  EXPECT_EQ(TopSerial(monitor.UnmatchedIndex()), 5u);
}

TEST_F(PacketMonitorTest, MacrosOfIpv6PacketsGiveIpv6TextAndPortsOnlyWhereTheRecordHasThem) {
  const std::string_view line = "nc %SrcAddr% %SrcPort% %DestAddr% %DestPort%";
  const auto expand = [line](const test::Record6Bytes& record) {
    const PacketEntry entry{
        1, std::make_shared<const PacketInfo>(PacketInfo::FromRecord6(record, 0).value())};
    return ExpandPacketMacros(line, entry);
  };
  EXPECT_EQ(expand(MakeRecord6()).Text(), "nc 2001:2::2 50000 2001:2:0:1::1 80");
  EXPECT_EQ(expand(MakeRecord6(17, protocol::kCapture6ExtensionHeaders)).Text(),
            "nc 2001:2::2 50000 2001:2:0:1::1 80");
  for (const auto& portless :
       {MakeRecord6(58), MakeRecord6(17, protocol::kCapture6LaterFragment)}) {
    const CommandTemplate command = expand(portless);
    EXPECT_EQ(command.Text(), "nc 2001:2::2 %SrcPort% 2001:2:0:1::1 %DestPort%");
    EXPECT_EQ(command.OpenMacros(), (std::vector<std::string_view>{"%SrcPort%", "%DestPort%"}));
  }

  // Through the context menu as well.
  monitor.AddCapturedBatch({true, Batch6(1)}, false);
  ASSERT_TRUE(monitor.OpenContextMenu(monitor.AllIndex(), 1));
  monitor.CloseContextMenu();
  EXPECT_EQ(monitor.MenuCommand(113).value().Text(), "nc 2001:2:0:1::1 80 50000");
}

}  // namespace
}  // namespace harlune
