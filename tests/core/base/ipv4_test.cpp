#include "core/base/ipv4.h"

#include <cstring>

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

}  // namespace
}  // namespace harlune
