// The connection rows grouped by process: sums, the group of unknown
// owners, identity by id and path, and order.

#include "core/monitor/process_groups.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/monitor/process_table.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using ::testing::ElementsAre;

ConnectionRow MakeRow(std::uint16_t localPort, std::int32_t pid, std::string name,
                      std::uint32_t upRate = 0, std::uint64_t downTotal = 0) {
  ConnectionRow row;
  row.connection.localAddr = Ipv4Address(198, 18, 0, 2);
  row.connection.localPort = htons(localPort);
  row.connection.processId = pid;
  row.connection.upBandwidth = upRate;
  row.connection.downTotal = downTotal;
  row.processPath = "/bin/" + name;
  row.processName = std::move(name);
  return row;
}

// "name/id" of each group, and the local ports of a group's connections.
std::vector<std::string> Names(const std::vector<ProcessGroup>& groups) {
  std::vector<std::string> names;
  for (const ProcessGroup& group : groups) {
    names.push_back(group.processName + "/" + std::to_string(group.processId));
  }
  return names;
}

std::vector<std::uint16_t> Ports(const ProcessGroup& group) {
  std::vector<std::uint16_t> ports;
  for (const ConnectionRow& row : group.connections) {
    ports.push_back(HostOrderPort(row.connection.localPort));
  }
  return ports;
}

std::string Text(const ProcessGroup& group, ProcessColumn column) {
  return ProcessGroupCellText(group, static_cast<int>(column));
}

// Sums wider than a connection's counters; rows without an owner, and rows
// whose owner the process list no longer names, in one group that comes
// last even where "不明" sorts first as bytes.
TEST(ProcessGroupsSums, EveryGroupAddsUpItsOwnRowsAndUnknownOwnersShareOneLastGroup) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  const std::string unknown(kUnknownProcessText);
  const std::vector<ProcessGroup> groups = GroupByProcess({
      MakeRow(1000, 100, "browser", kMax, 20), MakeRow(1001, kUnknownProcessId, unknown, 10, 1),
      MakeRow(1002, 100, "browser", kMax, 1U << 20),
      MakeRow(1003, 300, unknown, 20, 2),         // gone from the process list
      MakeRow(1004, 5, "\xE9\xBE\x8D", 1536, 3),  // above "不明" as bytes
  });
  ASSERT_THAT(Names(groups), ElementsAre("browser/100", "\xE9\xBE\x8D/5", "不明/-1"));
  EXPECT_THAT(Ports(groups[0]), ElementsAre(1000, 1002));  // the rows' order
  EXPECT_EQ(groups[0].upBandwidth, 2ULL * kMax);
  EXPECT_EQ(Text(groups[0], ProcessColumn::kUpBandwidth), "8388608.0 KB/s");
  EXPECT_EQ(Text(groups[0], ProcessColumn::kDownTotal), "1.00 MB");
  EXPECT_EQ(Text(groups[0], ProcessColumn::kConnectionCount), "2");
  EXPECT_EQ(Text(groups[0], ProcessColumn::kRemoteHost), "");  // a connection's column
  EXPECT_EQ(Text(groups[1], ProcessColumn::kUpBandwidth), "1.5 KB/s");
  EXPECT_THAT(Ports(groups[2]), ElementsAre(1001, 1003));
  EXPECT_EQ(groups[2].upBandwidth, 30U);
  EXPECT_EQ(groups[2].downTotal, 3U);
  EXPECT_EQ(Text(groups[2], ProcessColumn::kProcessId), "不明");
  EXPECT_EQ(Text(groups[2], ProcessColumn::kProcessPath), "不明");
  EXPECT_FALSE(ProcessGroupLess(groups[2], groups[1]));
  EXPECT_TRUE(GroupByProcess({}).empty());
}

// A process is its id and path: two instances of a program are two groups,
// and one id seen with two paths (an exec) is two. Names fold case, then
// the exact name, the id and the path decide.
TEST(ProcessGroupsOrder, SamePathWithTwoIdsIsTwoGroupsInNaturalOrder) {
  ConnectionRow execed = MakeRow(4, 10, "browser", 8);
  execed.processPath = "/opt/browser";
  const std::vector<ProcessGroup> groups = GroupByProcess({
      MakeRow(1, 20, "browser", 1),
      MakeRow(2, 10, "browser", 2),
      MakeRow(3, 20, "browser", 4),
      execed,
      MakeRow(5, 9, "Browser"),
      MakeRow(6, 1, "BROWSER"),
      MakeRow(7, 30, "alpha"),
  });
  EXPECT_THAT(Names(groups), ElementsAre("alpha/30", "BROWSER/1", "Browser/9", "browser/10",
                                         "browser/10", "browser/20"));
  EXPECT_EQ(groups[3].upBandwidth, 2U);  // "/bin/browser" before "/opt/browser"
  EXPECT_EQ(groups[4].upBandwidth, 8U);
  EXPECT_THAT(Ports(groups[5]), ElementsAre(1, 3));
  for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
    EXPECT_TRUE(ProcessGroupLess(groups[i], groups[i + 1])) << i;
    EXPECT_FALSE(ProcessGroupLess(groups[i + 1], groups[i])) << i;
  }
  EXPECT_FALSE(SameProcess(groups[3], groups[4]));
}

// A filter from a process starts from an IPv4 connection when there is
// one, since its filter is not bound to a family.
TEST(ProcessGroupsOrder, TheRepresentativeConnectionIsTheFirstIpv4One) {
  ConnectionRow v6 = MakeRow(1, 8, "app");
  v6.connection.localAddr = *ParseIpAddress("2001:2::1");
  ConnectionRow otherV6 = v6;
  otherV6.connection.localPort = htons(2);
  const auto first = [](std::vector<ConnectionRow> rows) {
    return HostOrderPort(
        RepresentativeConnection(GroupByProcess(std::move(rows)).front()).connection.localPort);
  };
  EXPECT_EQ(first({v6, MakeRow(3, 8, "app"), MakeRow(4, 8, "app")}), 3);
  EXPECT_EQ(first({v6, otherV6}), 1);
}

}  // namespace
}  // namespace harlune
