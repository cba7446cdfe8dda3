#include "core/log/log_lines.h"

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

std::int64_t Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&t));
}

ConnectionStatsValues Connection() {
  ConnectionStatsValues v;
  v.localAddr = IpAddress::FromIpv4(protocol::HostToNet32(0xC0A80002));  // 192.168.0.2
  v.localPort = protocol::HostToNet16(50123);
  v.remoteAddr = IpAddress::FromIpv4(protocol::HostToNet32(0x5DB8D822));  // 93.184.216.34
  v.remotePort = protocol::HostToNet16(443);
  v.remoteHost = "www.example.com";
  v.remoteDomain = "example.com";
  v.processId = 4242;
  v.processName = "firefox";
  v.processPath = "/usr/lib/firefox/firefox";
  v.connectedSeconds = 75;
  v.upTotal = 5000000000ULL;
  v.downTotal = 12;
  return v;
}

const std::int64_t kNoon = Local(2024, 2, 3, 4, 5, 6);

TEST(ConnectionStatsLine, DefaultFormatWritesTheKnownLine) {
  EXPECT_EQ(ConnectionStatsLine(kDefaultConnectionStatsLogFormat, Connection(), kNoon),
            "[04:05:06,192.168.0.2,50123,93.184.216.34,443,www.example.com,firefox,75,"
            "5000000000,12\n");
}

TEST(ConnectionStatsLine, EveryPlaceholderIsReplacedAndUnknownOnesStay) {
  EXPECT_EQ(ConnectionStatsLine("%Year%/%Month%/%Day% %ProcessID% %ProcessPath% %ProcessDir% "
                                "%RemoteDomain% %Unknown% %hour%",
                                Connection(), kNoon),
            "2024/02/03 4242 /usr/lib/firefox/firefox /usr/lib/firefox/ example.com %Unknown% "
            "%hour%\n");
}

TEST(ConnectionStatsLine, UnknownAndUnreadableProcesses) {
  ConnectionStatsValues v = Connection();
  v.processId = -1;
  v.processName = "不明";
  v.processPath = "不明";
  EXPECT_EQ(ConnectionStatsLine("%ProcessID%|%ProcessName%|%ProcessPath%|%ProcessDir%", v, kNoon),
            "-1|不明|不明|\n");
  v.processPath = "N/A (error)";
  EXPECT_EQ(ConnectionStatsLine("%ProcessDir%", v, kNoon), "N/A\n");
  v.processPath = "N/A (security restriction)";
  EXPECT_EQ(ConnectionStatsLine("%ProcessDir%", v, kNoon), "N/A\n");
}

TEST(ConnectionStatsLine, ValuesFromTheNetworkCannotBreakOrRewriteTheLine) {
  ConnectionStatsValues v = Connection();
  v.remoteHost = "evil\r\nhost\t%ProcessPath%";
  v.remoteHost.push_back('\0');
  v.remoteDomain = "a\x7F";
  EXPECT_EQ(ConnectionStatsLine("%RemoteHost%,%RemoteDomain%", v, kNoon),
            "evil??host?%ProcessPath%?,a?\n");
  // The format's own text is still expanded in order.
  EXPECT_EQ(ConnectionStatsLine("%Day%Year%", v, kNoon), "%Day2024\n");
}

TEST(ConnectionControlLine, StampHostAndReason) {
  EXPECT_EQ(ConnectionControlLine(Local(2024, 1, 5, 13, 4, 5), "www.example.com", IpAddress(),
                                  "was disconnected by rule"),
            "[05/Jan/2024:13:04:05] \"www.example.com\" was disconnected by rule\n");
  EXPECT_EQ(ConnectionControlLine(Local(2023, 12, 31, 0, 0, 0), "",
                                  IpAddress::FromIpv4(protocol::HostToNet32(0x0A000001)), "r"),
            "[31/Dec/2023:00:00:00] \"10.0.0.1\" r\n");
  EXPECT_EQ(ConnectionControlLine(Local(2023, 12, 31, 0, 0, 0), "x\ny", IpAddress(), "r\n"),
            "[31/Dec/2023:00:00:00] \"x?y\" r?\n");
}

// An IPv6 connection writes its addresses as RFC 5952 text (the fields are
// comma separated, and the text holds no comma); an IPv4 connection seen
// through an IPv6 socket writes the dotted address as any IPv4 one does.
TEST(ConnectionStatsLine, AddressesOfBothFamilies) {
  ConnectionStatsValues v = Connection();
  v.localAddr = *ParseIpAddress("2001:0002:0000:0000:0000:0000:0000:0001");
  v.remoteAddr = *ParseIpAddress("2001:2:0:0:0:0:0:7");
  v.remoteHost = "2001:2::7";  // a failed lookup leaves the address text
  v.remoteDomain = "";
  EXPECT_EQ(ConnectionStatsLine(kDefaultConnectionStatsLogFormat, v, kNoon),
            "[04:05:06,2001:2::1,50123,2001:2::7,443,2001:2::7,firefox,75,5000000000,12\n");
  EXPECT_EQ(ConnectionStatsLine("%LocalAddr%|%RemoteAddr%", v, kNoon), "2001:2::1|2001:2::7\n");

  v.localAddr = *ParseIpAddress("::ffff:192.168.0.2");
  v.remoteAddr = *ParseIpAddress("::FFFF:5DB8:D822");  // 93.184.216.34 in hex form
  EXPECT_EQ(ConnectionStatsLine("%LocalAddr%|%RemoteAddr%", v, kNoon),
            "192.168.0.2|93.184.216.34\n");
}

TEST(ConnectionControlLine, UnresolvedHostOfBothFamilies) {
  const std::int64_t t = Local(2024, 1, 5, 13, 4, 5);
  EXPECT_EQ(ConnectionControlLine(t, "", *ParseIpAddress("2001:2:0::a:0:7"), "r"),
            "[05/Jan/2024:13:04:05] \"2001:2::a:0:7\" r\n");
  EXPECT_EQ(ConnectionControlLine(t, "", *ParseIpAddress("::1"), "r"),
            "[05/Jan/2024:13:04:05] \"::1\" r\n");
  EXPECT_EQ(ConnectionControlLine(t, "", *ParseIpAddress("::ffff:10.0.0.1"), "r"),
            "[05/Jan/2024:13:04:05] \"10.0.0.1\" r\n");
  // A resolved name wins over the address of either family.
  EXPECT_EQ(ConnectionControlLine(t, "v6.example", *ParseIpAddress("2001:2::7"), "r"),
            "[05/Jan/2024:13:04:05] \"v6.example\" r\n");
}

}  // namespace
}  // namespace harlune
