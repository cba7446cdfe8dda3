#include "core/monitor/service_names.h"

#include <cstdint>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

using protocol::HostToNet16;

std::string Text(std::uint16_t low, std::uint16_t high) {
  return PortText(HostToNet16(low), HostToNet16(high));
}

std::string_view Name(std::uint16_t low, std::uint16_t high) {
  return ServiceName(HostToNet16(low), HostToNet16(high));
}

TEST(ServiceNameTableTest, HasItsFullSizeAndShape) {
  std::size_t named = 0;
  std::set<std::string_view> distinct;
  for (std::uint32_t port = 0; port <= 65535; ++port) {
    const std::string_view name = ServiceNameOfPort(static_cast<std::uint16_t>(port));
    if (!name.empty()) {
      ++named;
      distinct.insert(name);
      EXPECT_LE(name.size(), 11u) << port;
    }
  }
  EXPECT_EQ(named, 198u);
  // Three pairs share a name: 2/3, 83/85 and 2010/2011.
  EXPECT_EQ(distinct.size(), 195u);
}

TEST(ServiceNameTableTest, EntriesAtTheEdgesOfTheTable) {
  EXPECT_EQ(ServiceNameOfPort(0), "");
  EXPECT_EQ(ServiceNameOfPort(1), "tcpmux");
  EXPECT_EQ(ServiceNameOfPort(2), "compressnet");
  EXPECT_EQ(ServiceNameOfPort(3), "compressnet");
  EXPECT_EQ(ServiceNameOfPort(4), "");
  EXPECT_EQ(ServiceNameOfPort(20), "ftp-data");
  EXPECT_EQ(ServiceNameOfPort(21), "ftp-control");
  EXPECT_EQ(ServiceNameOfPort(57), "");
  EXPECT_EQ(ServiceNameOfPort(66), "sql*net");
  EXPECT_EQ(ServiceNameOfPort(83), "mit-ml-dev");
  EXPECT_EQ(ServiceNameOfPort(85), "mit-ml-dev");
  EXPECT_EQ(ServiceNameOfPort(150), "sql-net");
  EXPECT_EQ(ServiceNameOfPort(211), "914c/g");
  EXPECT_EQ(ServiceNameOfPort(216), "CAIlic");
  EXPECT_EQ(ServiceNameOfPort(217), "");
  EXPECT_EQ(ServiceNameOfPort(443), "https");
  EXPECT_EQ(ServiceNameOfPort(1863), "msnp");
  EXPECT_EQ(ServiceNameOfPort(2010), "kaze");
  EXPECT_EQ(ServiceNameOfPort(2011), "kaze");
  EXPECT_EQ(ServiceNameOfPort(6699), "winmx");
  EXPECT_EQ(ServiceNameOfPort(65535), "");
}

TEST(ServiceNameTest, RangesAreNamedOnlyForFtp) {
  EXPECT_EQ(Name(80, 80), "http");
  EXPECT_EQ(Name(20, 21), "ftp");
  EXPECT_EQ(Name(2010, 2011), "");  // each end has a name, the range has none
  EXPECT_EQ(Name(20, 22), "");
  EXPECT_EQ(Name(21, 20), "");
  EXPECT_EQ(Name(19, 21), "");
}

TEST(ServiceNameTest, TakesNetworkOrder) {
  // 80 in network order read as host order would be 20480, which has no name.
  EXPECT_EQ(ServiceName(HostToNet16(80), HostToNet16(80)), "http");
  // 0x1400 read as host order is 5120; in network order it is port 20.
  EXPECT_EQ(ServiceName(HostToNet16(20), HostToNet16(21)), "ftp");
  EXPECT_EQ(ServiceName(HostToNet16(256), HostToNet16(256)), "");  // 1 swapped
}

TEST(PortTextTest, NumbersWithNamesWhenThereAreAny) {
  EXPECT_EQ(Text(80, 80), "80 (http)");
  EXPECT_EQ(Text(20, 21), "20-21 (ftp)");
  EXPECT_EQ(Text(0, 0), "0");
  EXPECT_EQ(Text(443, 443), "443 (https)");
  EXPECT_EQ(Text(444, 444), "444");
  EXPECT_EQ(Text(1000, 2000), "1000-2000");
  EXPECT_EQ(Text(2010, 2011), "2010-2011");
  EXPECT_EQ(Text(2010, 2010), "2010 (kaze)");
}

TEST(PortTextTest, LongestTextsFitTheBuffer) {
  PortTextBuffer buffer;
  buffer.fill('#');
  EXPECT_EQ(FormatPortText(HostToNet16(65535), HostToNet16(65535), buffer), "65535");
  EXPECT_EQ(FormatPortText(HostToNet16(65534), HostToNet16(65535), buffer), "65534-65535");
  const std::string_view text = FormatPortText(HostToNet16(195), HostToNet16(195), buffer);
  EXPECT_EQ(text, "195 (dn6-nlm-aud)");
  EXPECT_EQ(text.data(), buffer.data());
}

}  // namespace
}  // namespace harlune
