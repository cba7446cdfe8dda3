// The packet monitor page against a real engine: tabs and header text, the
// freeze box, incremental redraws, shared column widths and order, and the
// context menu's external commands.

#include "gui/pages/packet_page.h"

#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/capture/capture_records.h"
#include "core/filter/legacy_filter.h"
#include "gui/pages/ipv6_address_width.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using test::Batch;
using test::Batch6;
using test::MakeRecord;

constexpr int kWaitMs = 2000;

PacketFilter LegacyFilter(const char* name, std::uint16_t protocolNumber) {
  PacketFilter filter;
  filter.FilterName = name;
  filter.Protocol = protocolNumber;
  filter.Available = true;
  return filter;
}

class PacketPageTest : public ::testing::Test {
 protected:
  PacketPageTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    EXPECT_TRUE(engine_.Initialise());
    page_ = std::make_unique<PacketPage>(engine_, dialogs_);
  }

  PacketMonitor& Monitor() { return engine_.packets(); }
  int AllList() const { return page_->listCount() - 1; }

  // Lists 0 (TCP view), 1 (UDP view), then Unmatched and All.
  void AddLegacyFilters() {
    engine_.settings().general.staticFilters.Add(LegacyFilter("web", 6));
    engine_.settings().general.staticFilters.Add(LegacyFilter("dns", 17));
    Monitor().RebuildLists();
  }

  void Feed(std::size_t count, bool deferDrawing, const test::RecordBytes& record = MakeRecord()) {
    Monitor().AddCapturedRecords(Batch(count, record), deferDrawing);
  }

  QString Cell(int list, int row, PacketColumn column) {
    const QAbstractItemModel& model = page_->listModel(list);
    return model.index(row, static_cast<int>(column)).data().toString();
  }

  QHeaderView& Header(int list) { return *page_->listView(list).horizontalHeader(); }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  std::unique_ptr<PacketPage> page_;
};

TEST_F(PacketPageTest, TabsFollowTheListsAndTheHeaderTheShownList) {
  ASSERT_EQ(page_->tabBar().count(), 2);
  EXPECT_EQ(page_->tabBar().tabText(0), QStringLiteral("非フィルタ"));
  EXPECT_EQ(page_->tabBar().tabText(1), QStringLiteral("全て"));
  EXPECT_EQ(page_->headerLabel().text(), QStringLiteral("フィルタに適合しなかったパケット"));

  AddLegacyFilters();
  ASSERT_EQ(page_->tabBar().count(), 4);
  EXPECT_EQ(page_->tabBar().tabText(1), QStringLiteral("No.2 dns"));
  EXPECT_EQ(page_->listModel(1).columnCount(), 12);
  page_->tabBar().setCurrentIndex(3);
  EXPECT_EQ(page_->headerLabel().text(), QStringLiteral("全てのパケット"));
  EXPECT_EQ(Monitor().SelectedList(), 3u);
}

TEST_F(PacketPageTest, FreezingKeepsRowsStillAndUnfreezingShowsTheNewest) {
  Feed(3, false);
  ASSERT_EQ(page_->listModel(AllList()).rowCount(), 3);

  page_->freezeBox().click();
  EXPECT_TRUE(Monitor().Frozen());
  Feed(5, false);
  Feed(2, true);
  page_->Redraw();
  EXPECT_EQ(page_->listModel(AllList()).rowCount(), 3);
  EXPECT_EQ(Cell(AllList(), 0, PacketColumn::kSerial), QStringLiteral("3"));

  page_->freezeBox().click();
  EXPECT_EQ(page_->freezeBox().checkState(), Qt::Unchecked);
  EXPECT_EQ(page_->listModel(AllList()).rowCount(), 10);
  EXPECT_EQ(Cell(AllList(), 0, PacketColumn::kSerial), QStringLiteral("10"));
}

TEST_F(PacketPageTest, TickRedrawsMoveRowsInPlaceWithoutAReset) {
  PacketListModel& model = page_->listModel(AllList());
  QTableView& view = page_->listView(AllList());
  Feed(3, true);
  page_->Redraw();
  view.selectRow(1);  // serial 2
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);

  Feed(2, true);
  page_->Redraw();
  ASSERT_EQ(model.rowCount(), 5);
  const QModelIndexList selected = view.selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected.front().row(), 3);
  EXPECT_EQ(model.SerialAt(3), 2u);

  Feed(100, true);  // MAX_PACKET_CAPTURE_NUM is 100
  page_->Redraw();
  EXPECT_EQ(model.rowCount(), 100);
  EXPECT_EQ(Cell(AllList(), 0, PacketColumn::kSerial), QStringLiteral("105"));
  EXPECT_EQ(Cell(AllList(), 99, PacketColumn::kSerial), QStringLiteral("6"));
  EXPECT_EQ(resets.count(), 0);
}

TEST_F(PacketPageTest, ColumnChangesReachEveryListOfTheSameViewOnly) {
  AddLegacyFilters();
  const int udpWidth = Header(1).sectionSize(2);
  Header(AllList()).resizeSection(2, 150);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return engine_.settings().general.LCTCPPACKET_COLUMN_SIZE[2] == 150; }, kWaitMs));
  EXPECT_EQ(Header(0).sectionSize(2), 150);
  EXPECT_EQ(Header(2).sectionSize(2), 150);
  EXPECT_EQ(Header(1).sectionSize(2), udpWidth);
  EXPECT_EQ(engine_.settings().general.LCUDPPACKET_COLUMN_SIZE[2], udpWidth);

  Header(2).moveSection(0, 3);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return engine_.settings().general.LCTCPPACKET_COLUMN_ORDER[3] == 0; }, kWaitMs));
  EXPECT_EQ(engine_.settings().general.LCTCPPACKET_COLUMN_ORDER[0], 1);
  EXPECT_EQ(Header(0).logicalIndex(3), 0);
  EXPECT_EQ(Header(AllList()).logicalIndex(3), 0);
  EXPECT_EQ(Header(1).logicalIndex(3), 3);
}

TEST_F(PacketPageTest, ContextMenuFreezesWhileOpenAndRunsTheChosenCommand) {
  engine_.settings().commands.Add({1, 0, kTargetPacketMonitor, "nc", "nc %SrcAddr% %SrcPort%"});
  Feed(1, false, MakeRecord(1));  // ICMP: no ports for the macros
  QSignalSpy pages(page_.get(), &PacketPage::showPageRequested);
  QSignalSpy runs(page_.get(), &PacketPage::runCommandRequested);
  std::vector<Qt::CheckState> boxWhileOpen;
  QStringList offered;
  page_->SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    boxWhileOpen.push_back(page_->freezeBox().checkState());
    QAction* chosen = nullptr;
    for (QAction* action : menu.actions().front()->menu()->actions()) {
      offered << action->text();
      chosen = action->text() == QStringLiteral("nc") ? action : chosen;
    }
    return chosen;
  });

  page_->ShowContextMenu(AllList(), {});  // no row selected: no menu
  EXPECT_TRUE(boxWhileOpen.empty());

  page_->listView(AllList()).selectRow(0);
  page_->ShowContextMenu(AllList(), {});
  EXPECT_EQ(boxWhileOpen, std::vector{Qt::PartiallyChecked});
  EXPECT_EQ(page_->freezeBox().checkState(), Qt::Unchecked);
  EXPECT_EQ(offered.size(), 5);  // the four factory commands of the packet monitor, then nc
  ASSERT_EQ(runs.count(), 1);
  EXPECT_EQ(runs.front().front().value<CommandTemplate>().Text(), "nc 192.168.0.2 %SrcPort%");
  EXPECT_EQ(pages.front().front().toInt(), 5);

  page_->freezeBox().click();
  page_->ShowContextMenu(AllList(), {});
  EXPECT_EQ(boxWhileOpen.back(), Qt::Checked);
  EXPECT_EQ(page_->freezeBox().checkState(), Qt::Checked);
}

constexpr int kSource = static_cast<int>(PacketColumn::kSourceAddress);
constexpr int kDestination = static_cast<int>(PacketColumn::kDestinationAddress);

TEST_F(PacketPageTest, Ipv6RowsShowBesideIpv4OnesAndWidenTheAddressColumnsOnce) {
  AddLegacyFilters();  // a TCP-view filter list 0 and a UDP-view one 1
  const IniFileObject& settings = engine_.settings().general;
  const int stored = settings.LCTCPPACKET_COLUMN_SIZE[kSource];
  const int udpStored = settings.LCUDPPACKET_COLUMN_SIZE[kSource];
  const int full = FullIpv6AddressWidth(page_->listView(AllList()));
  ASSERT_LT(stored, full);
  ASSERT_LT(settings.LCTCPPACKET_COLUMN_SIZE[kDestination], full);

  // IPv4 rows keep the stored widths.
  Feed(2, false);
  EXPECT_EQ(Header(AllList()).sectionSize(kSource), stored);

  Monitor().AddCapturedBatch({true, Batch6(1)}, false);
  ASSERT_EQ(page_->listModel(AllList()).rowCount(), 3);
  EXPECT_EQ(Cell(AllList(), 0, PacketColumn::kSourceAddress), QStringLiteral("2001:2::2"));
  EXPECT_EQ(Cell(AllList(), 0, PacketColumn::kDestinationAddress), QStringLiteral("2001:2:0:1::1"));
  EXPECT_EQ(Cell(AllList(), 1, PacketColumn::kSourceAddress), QStringLiteral("192.168.0.2"));
  // Every list of the view follows, and so do the settings; the UDP view
  // shows no IPv6 packet and keeps its widths.
  for (const int list : {0, AllList() - 1, AllList()}) {
    EXPECT_EQ(Header(list).sectionSize(kSource), full) << list;
    EXPECT_EQ(Header(list).sectionSize(kDestination), full) << list;
  }
  EXPECT_EQ(settings.LCTCPPACKET_COLUMN_SIZE[kSource], full);
  EXPECT_EQ(settings.LCTCPPACKET_COLUMN_SIZE[kDestination], full);
  EXPECT_EQ(Header(1).sectionSize(kSource), udpStored);
  const QFontMetrics metrics = page_->listView(AllList()).fontMetrics();
  EXPECT_GE(full, metrics.horizontalAdvance("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));

  // Once fitted, the width is the user's.
  Header(AllList()).resizeSection(kSource, 70);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return engine_.settings().general.LCTCPPACKET_COLUMN_SIZE[kSource] == 70; }, kWaitMs));
  Monitor().AddCapturedBatch({true, Batch6(3)}, true);
  page_->Redraw();
  EXPECT_EQ(page_->listModel(AllList()).rowCount(), 6);
  EXPECT_EQ(Header(AllList()).sectionSize(kSource), 70);
  EXPECT_EQ(Header(AllList()).sectionSize(kDestination), full);
}

TEST_F(PacketPageTest, AddressColumnsWiderThanAnIpv6AddressAndUndrawnRowsChangeNothing) {
  IniFileObject& settings = engine_.settings().general;
  settings.LCTCPPACKET_COLUMN_SIZE[kSource] = 900;
  Monitor().RebuildLists();
  const int destination = settings.LCTCPPACKET_COLUMN_SIZE[kDestination];

  // Stored while the window is hidden: nothing is shown, nothing widens.
  Monitor().AddCapturedBatch({true, Batch6(1)}, true);
  EXPECT_EQ(Header(AllList()).sectionSize(kDestination), destination);

  page_->Redraw();
  EXPECT_EQ(Header(AllList()).sectionSize(kSource), 900);
  EXPECT_EQ(settings.LCTCPPACKET_COLUMN_SIZE[kSource], 900);
  EXPECT_EQ(Header(AllList()).sectionSize(kDestination),
            FullIpv6AddressWidth(page_->listView(AllList())));
}

}  // namespace
}  // namespace harlune
