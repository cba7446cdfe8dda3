#include "protocol/ip_address.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace harlune {
namespace {

TEST(Ipv4, NetworkOrderValueHoldsTheOctetsInMemoryOrder) {
  const std::uint32_t address = Ipv4(192, 168, 0, 2);
  unsigned char bytes[4];
  std::memcpy(bytes, &address, 4);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[3], 2);
  EXPECT_EQ(FormatIpv4(address), "192.168.0.2");
}

TEST(Ipv4, ParsesDottedTextBackToTheSameValue) {
  for (const char* text : {"0.0.0.0", "255.255.255.255", "198.18.0.1", "10.0.0.254"}) {
    const auto parsed = ParseIpv4(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(FormatIpv4(*parsed), text);
  }
  EXPECT_EQ(ParseIpv4("192.168.0.2"), Ipv4(192, 168, 0, 2));
}

TEST(Ipv4, RefusesAnythingButFourOctets) {
  for (const char* text : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.0.0.1", "a.b.c.d", "1..2.3",
                           " 1.2.3.4", "1.2.3.4 ", "1234.1.1.1", "-1.2.3.4"}) {
    EXPECT_FALSE(ParseIpv4(text)) << '"' << text << '"';
  }
}

IpAddress Ipv6(std::string_view text) {
  const std::optional<IpAddress> parsed = ParseIpAddress(text);
  EXPECT_TRUE(parsed) << text;
  return parsed.value_or(IpAddress());
}

TEST(IpAddress, Ipv6TextIsTheRfc5952Form) {
  const std::pair<const char*, const char*> cases[] = {
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // lower case, zeros
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},               // the first of equal runs
      {"2001:db8:0:0:0:1:0:0", "2001:db8::1:0:0"},                 // the longest run wins
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},            // one zero group stays
      {"2001:db8:1:1:1:1:1:0", "2001:db8:1:1:1:1:1:0"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"0:0:0:0:0:0:0:0", "::"},
      {"fe80:0:0:0:0:0:0:0", "fe80::"},
      {"2001:2:0:0:0:0:0:0010", "2001:2::10"},
      {"0:0:0:0:0:0:0102:0304", "::102:304"},  // compatible form is not mixed
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& [typed, shown] : cases) {
    const IpAddress address = Ipv6(typed);
    EXPECT_FALSE(address.IsIpv4()) << typed;
    EXPECT_EQ(address.ToText(), shown) << typed;
    EXPECT_EQ(Ipv6(shown), address) << "reads back: " << shown;
  }
}

TEST(IpAddress, MappedAddressesAreIpv4InEveryRespect) {
  const IpAddress mapped = Ipv6("::ffff:192.0.2.7");
  const IpAddress plain = Ipv4Address(192, 0, 2, 7);
  EXPECT_TRUE(mapped.IsIpv4());
  EXPECT_EQ(mapped, plain);
  EXPECT_EQ(mapped.ToText(), "192.0.2.7");
  EXPECT_EQ(mapped.Ipv4Value(), Ipv4(192, 0, 2, 7));
  EXPECT_EQ(Ipv6("::ffff:c000:207"), plain) << "hex spelling of the same";
  EXPECT_EQ(ParseIpAddress("192.0.2.7"), plain);
  EXPECT_TRUE(Ipv6("::ffff:127.0.0.9").IsLoopback());
  // Only ::ffff:0:0/96 is IPv4: the translated and compatible forms are not.
  EXPECT_FALSE(Ipv6("::ffff:0:192.0.2.7").IsIpv4());
  EXPECT_FALSE(Ipv6("::192.0.2.7").IsIpv4());
  EXPECT_EQ(IpAddress().ToText(), "0.0.0.0");
  EXPECT_TRUE(IpAddress().IsUnspecified());
}

TEST(IpAddress, LoopbackAndUnspecifiedOfBothFamilies) {
  EXPECT_TRUE(Ipv6("::1").IsLoopback());
  EXPECT_TRUE(Ipv4Address(127, 1, 2, 3).IsLoopback());
  EXPECT_FALSE(Ipv6("::2").IsLoopback());
  EXPECT_FALSE(Ipv4Address(128, 0, 0, 1).IsLoopback());
  EXPECT_TRUE(Ipv6("::").IsUnspecified());
  EXPECT_FALSE(Ipv6("::").IsIpv4()) << "a dual-stack listener's [::] is IPv6";
  EXPECT_FALSE(Ipv6("::1").IsUnspecified());
  EXPECT_EQ(Ipv6("2001:2::1").Ipv4Value(), 0u);
}

TEST(IpAddress, OrderIsIpv4BeforeIpv6ThenByNumber) {
  std::vector<IpAddress> addresses{
      Ipv6("2001:2::1"), Ipv4Address(10, 0, 0, 2),  Ipv6("::1"),     Ipv4Address(9, 255, 255, 255),
      Ipv6("::"),        Ipv4Address(10, 0, 0, 10), Ipv6("2001:2::")};
  std::sort(addresses.begin(), addresses.end());
  std::vector<std::string> texts;
  for (const IpAddress& address : addresses) {
    texts.push_back(address.ToText());
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"9.255.255.255", "10.0.0.2", "10.0.0.10", "::", "::1",
                                             "2001:2::", "2001:2::1"}));
}

TEST(IpAddress, ParseRefusesWhatNoAddressIs) {
  for (const char* text :
       {"", "::1%lo", "fe80::1%eth0", "1:2:3:4:5:6:7:8:9", "2001:db8:::1", "12345::1", "g::1",
        " ::1", "::1 ", "[::1]", "1.2.3", "256.1.1.1", "2001:db8::1::2"}) {
    EXPECT_FALSE(ParseIpAddress(text)) << '"' << text << '"';
  }
  EXPECT_FALSE(ParseIpAddress(std::string_view("::1\0", 4)));
  EXPECT_FALSE(ParseIpAddress(std::string(46, '1')));
}

}  // namespace
}  // namespace harlune
