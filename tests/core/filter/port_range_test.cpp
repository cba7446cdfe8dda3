#include "core/filter/port_range.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using protocol::PortRange;

constexpr PortRange Range(std::uint16_t first, std::uint16_t last) {
  return protocol::HostPortRange(first, last);
}

TEST(PortListTextTest, JoinsSinglePortsAndRangesInHostOrder) {
  const std::vector<PortRange> ranges{Range(80, 80), Range(443, 443), Range(1000, 2000)};
  EXPECT_EQ(PortListText(ranges), "80,443,1000-2000");
}

TEST(PortListTextTest, EdgeValues) {
  EXPECT_EQ(PortListText(std::vector<PortRange>{}), "");
  EXPECT_EQ(PortListText(std::vector<PortRange>{Range(0, 0)}), "0");
  EXPECT_EQ(PortListText(std::vector<PortRange>{Range(0, 65535)}), "0-65535");
  // 256 and 1 swap their bytes: the text must show host order.
  EXPECT_EQ(PortListText(std::vector<PortRange>{Range(256, 256), Range(1, 258)}), "256,1-258");
}

TEST(PortListTextTest, RecordArrayUsesOnlyCountedRangesAndClampsTheCount) {
  protocol::PortRanges ranges{};
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    ranges[i] = Range(static_cast<std::uint16_t>(i + 1), static_cast<std::uint16_t>(i + 1));
  }
  EXPECT_EQ(PortListText(0, ranges), "");
  EXPECT_EQ(PortListText(2, ranges), "1,2");
  const std::string all = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16";
  EXPECT_EQ(PortListText(16, ranges), all);
  EXPECT_EQ(PortListText(17, ranges), all);
  EXPECT_EQ(PortListText(0xFFFFFFFFu, ranges), all);
  EXPECT_EQ(UsedPortRanges(1000, ranges).size(), 16u);
}

struct ParseCase {
  const char* piece;
  std::uint16_t first;
  std::uint16_t last;
};

class ParsePortRangeTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParsePortRangeTest, YieldsRangeInNetworkOrder) {
  const ParseCase& c = GetParam();
  EXPECT_EQ(ParsePortRange(c.piece), Range(c.first, c.last)) << "piece \"" << c.piece << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, ParsePortRangeTest,
    ::testing::Values(ParseCase{"80", 80, 80}, ParseCase{"0", 0, 0},
                      ParseCase{"65535", 65535, 65535}, ParseCase{"1000-2000", 1000, 2000},
                      ParseCase{"2000-1000", 1000, 2000}, ParseCase{"All", 0, 0},
                      ParseCase{"70000", 0, 0}, ParseCase{"65536", 0, 0},
                      ParseCase{"80-70000", 0, 80}, ParseCase{"70000-80", 0, 80},
                      ParseCase{"99999999999999999999999", 0, 0}, ParseCase{"80 (web)", 80, 80},
                      ParseCase{"80(web)", 80, 80}, ParseCase{"20-21 (ftp)", 20, 21},
                      ParseCase{"443 (x-y)", 443, 443}, ParseCase{"1-2-3", 1, 2},
                      ParseCase{"80-", 0, 80}, ParseCase{"-5", 0, 5}, ParseCase{"-", 0, 0},
                      ParseCase{"", 0, 0}, ParseCase{"web", 0, 0}, ParseCase{" 80", 0, 0},
                      ParseCase{"all", 0, 0}, ParseCase{"All-80", 0, 80},
                      ParseCase{"80abc", 80, 80}, ParseCase{"00080", 80, 80}));

TEST(ParsePortRangeLimitTest, ReadsAtMost63Characters) {
  const std::string zeros61(61, '0');
  EXPECT_EQ(ParsePortRange(zeros61 + "80"), Range(80, 80));      // 63 characters
  EXPECT_EQ(ParsePortRange(zeros61 + "0" + "80"), Range(8, 8));  // the last '0' is cut
  // A '-' beyond the limit is not seen.
  EXPECT_EQ(ParsePortRange(std::string(62, '0') + "1-900"), Range(1, 1));
}

TEST(ParsePortRangeLimitTest, StopsAtEmbeddedNulAndNeverReadsPastTheView) {
  using namespace std::string_literals;
  EXPECT_EQ(ParsePortRange("80\0-90"s), Range(80, 80));
  // A view that ends before the digits that follow it in memory.
  const std::string backing = "12-3456";
  EXPECT_EQ(ParsePortRange(std::string_view(backing).substr(0, 4)), Range(3, 12));
}

TEST(ApplicationPortTextTest, KeepsPortsInsideLocalRanges) {
  const std::vector<PortRange> local{Range(1000, 2000)};
  EXPECT_EQ(ApplicationPortText(std::vector<std::uint16_t>{80, 1500}, local), "1500");
  // Both ends are inside; the order of the ports is kept.
  EXPECT_EQ(ApplicationPortText(std::vector<std::uint16_t>{2000, 999, 1000, 2001}, local),
            "2000,1000");
  const std::vector<PortRange> two{Range(80, 80), Range(256, 300)};
  EXPECT_EQ(ApplicationPortText(std::vector<std::uint16_t>{1, 80, 81, 256, 300, 301}, two),
            "80,256,300");
}

TEST(ApplicationPortTextTest, NoLocalRangesKeepsEveryPort) {
  EXPECT_EQ(ApplicationPortText(std::vector<std::uint16_t>{80, 1500, 0}, {}), "80,1500,0");
}

TEST(ApplicationPortTextTest, NoneWhenNothingIsKept) {
  EXPECT_EQ(ApplicationPortText({}, {}), "None");
  EXPECT_EQ(ApplicationPortText({}, std::vector<PortRange>{Range(1, 2)}), "None");
  EXPECT_EQ(ApplicationPortText(std::vector<std::uint16_t>{80, 443},
                                std::vector<PortRange>{Range(1000, 2000)}),
            "None");
}

}  // namespace
}  // namespace harlune
