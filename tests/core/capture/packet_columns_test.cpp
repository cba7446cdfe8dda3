// The cells of the packet lists, from the capture record's bytes.

#include "core/capture/packet_columns.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture_records.h"

namespace harlune {
namespace {

using test::MakeRecord;
using test::RecordBytes;

// 13:04:05 local time, whatever the machine's time zone.
std::int64_t LocalOneOFourOFive() {
  std::tm local{};
  local.tm_year = 124;
  local.tm_mon = 0;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 4;
  local.tm_sec = 5;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&local));
}

PacketEntry Entry(const RecordBytes& record, std::uint32_t serial = 7) {
  return {serial,
          std::make_shared<const PacketInfo>(PacketInfo::FromRecord(record, LocalOneOFourOFive()))};
}

using Row = std::vector<std::string>;

TEST(PacketColumns, TcpViewRowOfATcpSegment) {
  const Row expected{"7",          "13:04:05", "AABBCCDD0EFF", "001122334455", "TCP",   "54",
                     "48879",      "64",       "192.168.0.2",  "10.0.0.1",     "50000", "80",
                     "4294967295", "7",        "ACK,PSH",      "65535"};
  EXPECT_EQ(PacketRowTexts(PacketView::kTcp, Entry(MakeRecord())), expected);
}

TEST(PacketColumns, OnlyTheColumnsOfThePacketsProtocolAreFilled) {
  const Row icmp = PacketRowTexts(PacketView::kTcp, Entry(MakeRecord(1)));
  EXPECT_EQ(icmp[4], "ICMP");
  EXPECT_EQ(icmp[8], "192.168.0.2");
  EXPECT_EQ(Row(icmp.begin() + 10, icmp.end()), Row(6, ""));

  const Row udp = PacketRowTexts(PacketView::kTcp, Entry(MakeRecord(17)));
  EXPECT_EQ(udp[4], "UDP");
  EXPECT_EQ(Row(udp.begin() + 10, udp.end()), (Row{"50000", "80", "", "", "", ""}));

  EXPECT_EQ(PacketCellText(PacketView::kTcp, 4, Entry(MakeRecord(47))), "その他");
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 10, Entry(MakeRecord(47))), "");
}

TEST(PacketColumns, UdpViewTakesEveryPacketForUdp) {
  const Row row = PacketRowTexts(PacketView::kUdp, Entry(MakeRecord(1)));
  ASSERT_EQ(row.size(), 12u);
  EXPECT_EQ(row[4], "UDP");
  EXPECT_EQ(row[10], "50000");
  EXPECT_EQ(row[11], "80");
}

TEST(PacketColumns, TcpFlagsInFixedOrderWithoutTheHighBits) {
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 14, Entry(MakeRecord(6, 0x12))), "ACK,SYN");
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 14, Entry(MakeRecord(6, 0x00))), "");
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 14, Entry(MakeRecord(6, 0xC0))), "");
  EXPECT_EQ(TcpFlagText(0xFF), "URG,ACK,PSH,RST,SYN,FIN");
}

TEST(PacketColumns, HeadingsAlignmentAndColumnsAViewLacks) {
  EXPECT_EQ(PacketColumnCount(PacketView::kTcp), 16u);
  EXPECT_EQ(PacketColumnOf(PacketView::kTcp, 1).heading, "取得時間");
  EXPECT_TRUE(PacketColumnOf(PacketView::kTcp, 1).alignRight);
  EXPECT_FALSE(PacketColumnOf(PacketView::kTcp, 14).alignRight);
  EXPECT_EQ(PacketColumnOf(PacketView::kUdp, 12).heading, "");
  EXPECT_EQ(PacketCellText(PacketView::kUdp, 12, Entry(MakeRecord())), "");
}

}  // namespace
}  // namespace harlune
