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

using test::MakeCapture6;
using test::MakeRecord;
using test::MakeRecord6;
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

PacketEntry Entry6(const protocol::Capture6Record& record, std::uint32_t serial = 8) {
  const auto bytes = protocol::EncodeCapture6Record(record);
  return {serial, std::make_shared<const PacketInfo>(
                      PacketInfo::FromRecord6(bytes, LocalOneOFourOFive()).value())};
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

TEST(PacketColumns, TcpViewRowOfAnIpv6TcpSegment) {
  // The flow label stands as the identifier, the hop limit as the TTL.
  const Row expected{"8",          "13:04:05", "AABBCCDD0EFF", "001122334455",  "TCP",   "74",
                     "703710",     "63",       "2001:2::2",    "2001:2:0:1::1", "50000", "80",
                     "4294967295", "7",        "ACK,PSH",      "65535"};
  EXPECT_EQ(PacketRowTexts(PacketView::kTcp, Entry6(MakeCapture6())), expected);

  protocol::Capture6Record unlabelled = MakeCapture6();
  unlabelled.flowLabel = 0;
  unlabelled.payloadLength = 65535;
  const Row row = PacketRowTexts(PacketView::kTcp, Entry6(unlabelled));
  EXPECT_EQ(row[5], "65589");
  EXPECT_EQ(row[6], "0");
}

TEST(PacketColumns, Ipv6ProtocolNamesAndCellsOfPacketsWithoutPorts) {
  const Row icmp = PacketRowTexts(PacketView::kTcp, Entry6(MakeCapture6(58)));
  EXPECT_EQ(icmp[4], "ICMPv6");
  EXPECT_EQ(icmp[9], "2001:2:0:1::1");
  EXPECT_EQ(Row(icmp.begin() + 10, icmp.end()), Row(6, ""));
  // 58 is ICMPv6 only over IPv6; the other numbers read as over IPv4.
  EXPECT_EQ(PacketCellText(PacketView::kTcp, 4, Entry(MakeRecord(58))), "その他");
  EXPECT_EQ(IpProtocolName(1, true), "ICMP");
  EXPECT_EQ(IpProtocolName(59, true), "その他");

  // A later fragment names its upper layer but has no transport header.
  const Row later =
      PacketRowTexts(PacketView::kTcp, Entry6(MakeCapture6(6, protocol::kCapture6LaterFragment)));
  EXPECT_EQ(later[4], "TCP");
  EXPECT_EQ(Row(later.begin() + 10, later.end()), Row(6, ""));

  // Extension headers before UDP change nothing of the UDP cells.
  const Row udp = PacketRowTexts(PacketView::kTcp,
                                 Entry6(MakeCapture6(17, protocol::kCapture6ExtensionHeaders)));
  EXPECT_EQ(udp[4], "UDP");
  EXPECT_EQ(Row(udp.begin() + 10, udp.end()), (Row{"50000", "80", "", "", "", ""}));

  const Row udpView = PacketRowTexts(PacketView::kUdp, Entry6(MakeCapture6(17)));
  ASSERT_EQ(udpView.size(), 12u);
  EXPECT_EQ(udpView[4], "UDP");
  EXPECT_EQ(udpView[8], "2001:2::2");
  EXPECT_EQ(udpView[11], "80");
}

}  // namespace
}  // namespace harlune
