// One packet list: its stores, serial numbers, drawn rows and columns.

#include "core/capture/packet_list.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_records.h"

namespace harlune {
namespace {

class RecordingObserver : public PacketListObserver {
 public:
  void RowsInsertedAtTop(std::size_t count) override { Add("insert", count); }
  void RowsRemovedFromEnd(std::size_t count) override { Add("remove", count); }
  void RowsReset() override { calls.push_back("reset"); }
  void ColumnsChanged() override { calls.push_back("columns"); }

  std::vector<std::string> calls;

 private:
  void Add(const char* what, std::size_t count) {
    calls.push_back(std::string(what) + " " + std::to_string(count));
  }
};

std::vector<std::uint32_t> Serials(const std::deque<PacketEntry>& entries) {
  std::vector<std::uint32_t> serials;
  for (const PacketEntry& entry : entries) {
    serials.push_back(entry.Serial);
  }
  return serials;
}

class PacketListTest : public ::testing::Test {
 protected:
  void SetUp() override { list.SetObserver(&observer); }

  void Add(std::size_t count, bool drawNow) {
    for (std::size_t i = 0; i < count; ++i) {
      list.AddPacket(packet, drawNow);
    }
  }

  IniFileObject settings;
  PacketList list{PacketView::kTcp, settings};
  RecordingObserver observer;
  std::shared_ptr<const PacketInfo> packet =
      std::make_shared<const PacketInfo>(PacketInfo::FromRecord(test::MakeRecord(), 0));
};

TEST_F(PacketListTest, DrawnPacketsGoOnTopAndTheOldestRowsFallOff) {
  settings.MAX_PACKET_CAPTURE_NUM = 3;
  Add(5, true);
  EXPECT_EQ(Serials(list.Rows()), (std::vector<std::uint32_t>{5, 4, 3}));
  EXPECT_EQ(Serials(list.LiveStore()), (std::vector<std::uint32_t>{5, 4, 3}));
  EXPECT_EQ(list.NextSerial(), 6u);
  EXPECT_FALSE(list.Dirty());
  EXPECT_EQ(observer.calls,
            (std::vector<std::string>{"insert 1", "insert 1", "insert 1", "insert 1", "remove 1",
                                      "insert 1", "remove 1"}));
}

TEST_F(PacketListTest, MaxZeroKeepsNothingButSerialsAdvance) {
  settings.MAX_PACKET_CAPTURE_NUM = 0;
  Add(2, true);
  Add(2, false);
  list.Redraw();
  EXPECT_TRUE(list.LiveStore().empty());
  EXPECT_TRUE(list.Rows().empty());
  EXPECT_EQ(list.NextSerial(), 5u);

  settings.MAX_PACKET_CAPTURE_NUM = -5;  // a damaged file: kept like 0
  Add(1, true);
  EXPECT_TRUE(list.LiveStore().empty());
  EXPECT_EQ(list.NextSerial(), 6u);
}

TEST_F(PacketListTest, UndrawnPacketsWaitForOneRedraw) {
  Add(2, true);
  observer.calls.clear();
  Add(3, false);
  EXPECT_EQ(Serials(list.Rows()), (std::vector<std::uint32_t>{2, 1}));
  EXPECT_TRUE(list.Dirty());
  EXPECT_TRUE(observer.calls.empty());

  list.Redraw();
  list.Redraw();  // clean: no second refill
  EXPECT_EQ(Serials(list.Rows()), (std::vector<std::uint32_t>{5, 4, 3, 2, 1}));
  EXPECT_EQ(observer.calls, std::vector<std::string>{"reset"});
}

TEST_F(PacketListTest, DrawingADirtyListRefillsItWithoutGaps) {
  settings.MAX_PACKET_CAPTURE_NUM = 4;
  Add(2, true);
  Add(3, false);  // e.g. while the window was hidden
  observer.calls.clear();
  Add(1, true);
  EXPECT_EQ(Serials(list.Rows()), (std::vector<std::uint32_t>{6, 5, 4, 3}));
  EXPECT_EQ(observer.calls, std::vector<std::string>{"reset"});
}

TEST_F(PacketListTest, SnapshotStaysAsTakenAndFindsBySerial) {
  Add(3, true);
  list.TakeSnapshot();
  Add(2, false);
  EXPECT_EQ(Serials(list.SnapshotStore()), (std::vector<std::uint32_t>{3, 2, 1}));
  ASSERT_NE(list.FindInSnapshot(2), nullptr);
  EXPECT_EQ(list.FindInSnapshot(2)->Packet, packet);
  EXPECT_EQ(list.FindInSnapshot(5), nullptr);
}

TEST_F(PacketListTest, ColumnsFromSettingsAndOnlyValidChanges) {
  settings.LCUDPPACKET_COLUMN_SIZE[3] = -20;
  settings.LCUDPPACKET_COLUMN_ORDER[0] = 1;  // column 1 twice, column 0 missing
  PacketList udp(PacketView::kUdp, settings);
  EXPECT_EQ(udp.ColumnWidths().size(), 12u);
  EXPECT_EQ(udp.ColumnWidths()[0], 60);
  EXPECT_EQ(udp.ColumnWidths()[3], 0);
  EXPECT_EQ(udp.ColumnOrder()[0], 0);

  EXPECT_FALSE(udp.SetColumnWidth(12, 50));
  const std::vector<std::int32_t> tooShort{1, 0};
  EXPECT_FALSE(udp.SetColumnOrder(tooShort));
  const std::vector<std::int32_t> outOfRange{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12};
  EXPECT_FALSE(udp.SetColumnOrder(outOfRange));
  EXPECT_EQ(udp.ColumnOrder()[11], 11);
}

}  // namespace
}  // namespace harlune
