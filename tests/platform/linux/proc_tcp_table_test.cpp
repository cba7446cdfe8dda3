#include "platform/linux/proc_tcp_table.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "protocol/ip_address.h"

namespace harlune {
namespace {

// Recorded on a little-endian host, as the kernel prints it there.
constexpr char kRecorded[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "1001 1 0000000000000000 100 0 0 10 0\n"
    "   1: 0100007F:1538 00000000:0000 0A 00000000:00000000 00:00000000 00000000   105        0 "
    "1002 1 0000000000000000 100 0 0 10 0\n"
    "   2: 0A01A8C0:C822 22D8B85D:01BB 01 00000000:00000000 02:000A7F2E 00000000  1000        0 "
    "1003 2 0000000000000000 20 4 30 10 -1\n"
    "   3: 0A01A8C0:C823 22D8B85D:0050 06 00000000:00000000 03:00001770 00000000     0        0 "
    "0 3 0000000000000000\n"
    "   4: 0100007F:1538 0100007F:D431 08 00000000:00000000 00:00000000 00000000   105        0 "
    "1004 1 0000000000000000 20 4 0 10 -1\n";

struct ExpectedRow {
  std::uint32_t state;
  std::uint32_t localAddr;
  std::uint16_t localPort;  // host order
  std::uint32_t remoteAddr;
  std::uint16_t remotePort;  // host order
  std::uint64_t inode;
};

TcpTableRow RowOf(const ExpectedRow& expected) {
  TcpTableRow row;
  row.state = expected.state;
  row.localAddr = IpAddress::FromIpv4(expected.localAddr);
  row.localPort = htons(expected.localPort);
  row.remoteAddr = IpAddress::FromIpv4(expected.remoteAddr);
  row.remotePort = htons(expected.remotePort);
  row.inode = expected.inode;
  return row;
}

class ProcTcpTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little) {
      GTEST_SKIP() << "the recorded text comes from a little-endian host";
    }
  }
};

TEST_F(ProcTcpTableTest, RecordedTableGivesStoredValuesInNetworkOrder) {
  const std::vector<TcpTableRow> rows = ParseProcNetTcp(kRecorded);
  const std::vector<TcpTableRow> expected = {
      RowOf({kTcpStateListen, 0, 22, 0, 0, 1001}),
      RowOf({kTcpStateListen, Ipv4(127, 0, 0, 1), 5432, 0, 0, 1002}),
      RowOf(
          {kTcpStateEstablished, Ipv4(192, 168, 1, 10), 51234, Ipv4(93, 184, 216, 34), 443, 1003}),
      RowOf({kTcpStateTimeWait, Ipv4(192, 168, 1, 10), 51235, Ipv4(93, 184, 216, 34), 80, 0}),
      RowOf({kTcpStateCloseWait, Ipv4(127, 0, 0, 1), 5432, Ipv4(127, 0, 0, 1), 54321, 1004}),
  };
  EXPECT_EQ(rows, expected);
  for (const TcpTableRow& row : rows) {
    EXPECT_EQ(row.owningPid, kUnknownOwner);
  }
}

TEST_F(ProcTcpTableTest, EveryLinuxStateMapsToItsMibState) {
  const std::vector<std::pair<unsigned, std::uint32_t>> mapping = {
      {1, kTcpStateEstablished}, {2, kTcpStateSynSent},   {3, kTcpStateSynRcvd},
      {4, kTcpStateFinWait1},    {5, kTcpStateFinWait2},  {6, kTcpStateTimeWait},
      {7, kTcpStateClosed},      {8, kTcpStateCloseWait}, {9, kTcpStateLastAck},
      {10, kTcpStateListen},     {11, kTcpStateClosing},  {12, kTcpStateSynRcvd},
  };
  for (const auto& [linuxState, mib] : mapping) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "0: 0100007F:0050 0100007F:0051 %02X 00000000:00000000 00:00000000 00000000 0 0 "
                  "77\n",
                  linuxState);
    const std::vector<TcpTableRow> rows = ParseProcNetTcp(line);
    ASSERT_EQ(rows.size(), 1u) << line;
    EXPECT_EQ(rows[0].state, mib) << "Linux state " << linuxState;
  }
  // States without a MIB state leave their rows out.
  EXPECT_FALSE(MibTcpStateOf(0));
  EXPECT_FALSE(MibTcpStateOf(13));  // TCP_BOUND_INACTIVE
  EXPECT_FALSE(MibTcpStateOf(255));
}

TEST_F(ProcTcpTableTest, GarbageLinesAreIgnoredAndGoodOnesAroundThemKept) {
  const std::string good =
      "   7: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55 1";
  const std::vector<std::string> garbage = {
      "",
      "garbage",
      "   8: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0",
      "   8: 0100007G:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F0:050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F:00500 0000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F:0050 00000000:0000 A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F:0050 00000000:0000 0D 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F:0050 00000000:0000 00 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 5x",
      "   8: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 -5",
      "   8: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 "
      "99999999999999999999999",
      "   8 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   x: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      "   8: -100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 55",
      std::string("\0\xff\xfe 1: 0100007F", 16),
  };
  std::string text;
  for (const std::string& line : garbage) {
    text += line + "\n" + good + "\n";
  }
  text += good + "\r";  // the last line without its line feed, from a CRLF copy
  const std::vector<TcpTableRow> rows = ParseProcNetTcp(text);
  ASSERT_EQ(rows.size(), garbage.size() + 1);
  for (const TcpTableRow& row : rows) {
    EXPECT_EQ(row, RowOf({kTcpStateListen, Ipv4(127, 0, 0, 1), 80, 0, 0, 55}));
  }
  EXPECT_TRUE(ParseProcNetTcp("").empty());
  EXPECT_TRUE(ParseProcNetTcp("\n\n\n").empty());
}

// Owners by socket inode, and whether they were asked for at all.
class FixedOwners : public ProcessSource {
 public:
  explicit FixedOwners(SocketOwnerMap owners) : owners_(std::move(owners)) {}
  std::vector<ProcessEntry> ListProcesses() override { return {}; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t> inodes) override {
    ++calls;
    asked.assign(inodes.begin(), inodes.end());
    return owners_;
  }
  int calls = 0;
  std::vector<std::uint64_t> asked;

 private:
  SocketOwnerMap owners_;
};

ProcTextReader Replay(std::string text) {
  return [text] { return ProcTextRead{true, 0, text}; };
}

TEST_F(ProcTcpTableTest, PortMappingGivesEveryRowTheFirstOwnerOfItsLocalPort) {
  // 1001 listens on 22, 1002 on 5432 and 1004 is the connection it
  // accepted, held by a child; the child's row takes the port's first owner.
  FixedOwners owners({{1001, 10}, {1004, 31}, {1002, 30}, {1003, 40}});
  ProcTcpTable table(Replay(kRecorded), &owners);
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.rows.size(), 5u);
  EXPECT_EQ(owners.calls, 1);
  EXPECT_EQ(owners.asked, (std::vector<std::uint64_t>{1001, 1002, 1003, 0, 1004}));
  EXPECT_EQ(result.rows[0].owningPid, 10);
  EXPECT_EQ(result.rows[1].owningPid, 30);
  EXPECT_EQ(result.rows[2].owningPid, 40);
  EXPECT_EQ(result.rows[3].owningPid, kUnknownOwner);  // port 51235 has no owned socket
  EXPECT_EQ(result.rows[4].owningPid, 30);
  EXPECT_FALSE(table.RowsCarryOwners());
}

TEST_F(ProcTcpTableTest, WithoutMappingOwnersStayUnknown) {
  ProcTcpTable table(Replay(kRecorded));
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.rows.size(), 5u);
  for (const TcpTableRow& row : result.rows) {
    EXPECT_EQ(row.owningPid, kUnknownOwner);
  }
}

TEST_F(ProcTcpTableTest, UnreadableTableIsAFailureNotAnEmptyTable) {
  FixedOwners owners({});
  ProcTcpTable table([] { return ProcTextRead{false, EACCES, "partial"}; }, &owners);
  const TcpTableResult result = table.ReadTable();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorCode, EACCES);
  EXPECT_TRUE(result.rows.empty());
  EXPECT_EQ(owners.calls, 0);

  const ProcTextRead missing = ReadProcText("/proc/no-such-table");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errorCode, ENOENT);
}

}  // namespace
}  // namespace harlune
