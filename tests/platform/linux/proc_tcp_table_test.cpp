#include "platform/linux/proc_tcp_table.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/tcp_table_rows.h"

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

// A system without IPv6 has no /proc/net/tcp6.
ProcTextReader NoIpv6() {
  return [] { return ProcTextRead{false, ENOENT, {}}; };
}

TEST_F(ProcTcpTableTest, PortMappingGivesEveryRowTheFirstOwnerOfItsLocalPort) {
  // 1001 listens on 22, 1002 on 5432 and 1004 is the connection it
  // accepted, held by a child; the child's row takes the port's first owner.
  FixedOwners owners({{1001, 10}, {1004, 31}, {1002, 30}, {1003, 40}});
  ProcTcpTable table(Replay(kRecorded), NoIpv6(), &owners);
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
  ProcTcpTable table(Replay(kRecorded), NoIpv6());
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.rows.size(), 5u);
  for (const TcpTableRow& row : result.rows) {
    EXPECT_EQ(row.owningPid, kUnknownOwner);
  }
}

TEST_F(ProcTcpTableTest, UnreadableTableIsAFailureNotAnEmptyTable) {
  FixedOwners owners({});
  ProcTcpTable table([] { return ProcTextRead{false, EACCES, "partial"}; }, NoIpv6(), &owners);
  const TcpTableResult result = table.ReadTable();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorCode, EACCES);
  EXPECT_TRUE(result.rows.empty());
  EXPECT_EQ(owners.calls, 0);

  const ProcTextRead missing = ReadProcText("/proc/no-such-table");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errorCode, ENOENT);
}

// Written by hand in the form a little-endian kernel prints: each 32-bit
// word of the address with its bytes reversed. Rows: [::]:22 listening,
// [::1]:5432 listening, 127.0.0.1:5432 accepted from 127.0.0.1:40000
// through an IPv6 socket (mapped), a connection between two addresses whose
// every byte differs (so a word or byte order mistake shows), and a
// TIME_WAIT row.
constexpr char kRecorded6[] =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:0016 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 2001 1 0000000000000000 100 0 0 10 0\n"
    "   1: 00000000000000000000000001000000:1538 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000   105        0 2002 1 0000000000000000 100 0 0 10 0\n"
    "   2: 0000000000000000FFFF00000100007F:1538 0000000000000000FFFF00000100007F:9C40 01 "
    "00000000:00000000 00:00000000 00000000   105        0 2003 1 0000000000000000 20 4 30 10 -1\n"
    "   3: B80D012078563412F0DEBC9A44332211:C822 B80D0120000000000000000001000000:01BB 01 "
    "00000000:00000000 02:000A7F2E 00000000  1000        0 2004 2 0000000000000000 20 4 30 10 -1\n"
    "   4: 00000000000000000000000001000000:C823 00000000000000000000000001000000:1538 06 "
    "00000000:00000000 03:00001770 00000000     0        0 0 3 0000000000000000\n";

using testing::AddressOfText;

TcpTableRow Row6(std::uint32_t state, const char* local, std::uint16_t localPort,
                 const char* remote, std::uint16_t remotePort, std::uint64_t inode) {
  TcpTableRow row = testing::TextRow(state, local, localPort, remote, remotePort);
  row.inode = inode;
  return row;
}

TEST_F(ProcTcpTableTest, Ipv6TableGivesAddressesInWireOrderAndMappedOnesAsIpv4) {
  const std::vector<TcpTableRow> rows = ParseProcNetTcp6(kRecorded6);
  const std::vector<TcpTableRow> expected = {
      Row6(kTcpStateListen, "::", 22, "::", 0, 2001),
      Row6(kTcpStateListen, "::1", 5432, "::", 0, 2002),
      Row6(kTcpStateEstablished, "127.0.0.1", 5432, "127.0.0.1", 40000, 2003),
      Row6(kTcpStateEstablished, "2001:db8:1234:5678:9abc:def0:1122:3344", 51234, "2001:db8::1",
           443, 2004),
      Row6(kTcpStateTimeWait, "::1", 51235, "::1", 5432, 0),
  };
  EXPECT_EQ(rows, expected);
  ASSERT_EQ(rows.size(), expected.size());
  // The mapped row is an IPv4 row in every respect; the unspecified
  // listener stays IPv6.
  EXPECT_EQ(rows[2].localAddr, Ipv4Address(127, 0, 0, 1));
  EXPECT_EQ(rows[2].localAddr.ToText(), "127.0.0.1");
  EXPECT_FALSE(rows[0].localAddr.IsIpv4());
  EXPECT_TRUE(rows[0].localAddr.IsUnspecified());
  EXPECT_EQ(rows[3].localAddr.ToText(), "2001:db8:1234:5678:9abc:def0:1122:3344");
}

TEST_F(ProcTcpTableTest, EachFileTakesOnlyItsOwnAddressLength) {
  const std::string good6 =
      "   0: 00000000000000000000000001000000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66 1";
  const std::vector<std::string> garbage6 = {
      // 31 and 33 digits, a letter that is no hex digit, a sign inside a word
      "   1: 0000000000000000000000001000000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      "   1: 000000000000000000000000010000000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      "   1: 0000000000000000000000000100000G:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      "   1: 00000000+0000000000000000100000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      // an IPv4 address, the colon moved, a remote address cut short
      "   1: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 66",
      "   1: 0000000000000000000000000100000:00050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      "   1: 00000000000000000000000001000000:0050 0000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0 66",
      // no inode
      "   1: 00000000000000000000000001000000:0050 00000000000000000000000000000000:0000 0A "
      "00000000:00000000 00:00000000 00000000 0 0",
  };
  std::string text;
  for (const std::string& line : garbage6) {
    text += line + "\n" + good6 + "\n";
  }
  const std::vector<TcpTableRow> rows = ParseProcNetTcp6(text);
  ASSERT_EQ(rows.size(), garbage6.size());
  for (const TcpTableRow& row : rows) {
    EXPECT_EQ(row, Row6(kTcpStateListen, "::1", 80, "::", 0, 66));
  }
  // An IPv6 line in the IPv4 file is no row of it, nor the other way round.
  EXPECT_TRUE(ParseProcNetTcp(good6).empty());
  EXPECT_TRUE(ParseProcNetTcp(kRecorded6).empty());
  EXPECT_TRUE(ParseProcNetTcp6(kRecorded).empty());
}

TEST_F(ProcTcpTableTest, TableHoldsIpv4RowsThenMappedRowsThenIpv6Rows) {
  ProcTcpTable table(Replay(kRecorded), Replay(kRecorded6));
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  std::vector<std::uint64_t> inodes;
  for (const TcpTableRow& row : result.rows) {
    inodes.push_back(row.inode);
  }
  // /proc/net/tcp in its order, the mapped row of tcp6, then tcp6's IPv6
  // rows in their order.
  EXPECT_EQ(inodes,
            (std::vector<std::uint64_t>{1001, 1002, 1003, 0, 1004, 2003, 2001, 2002, 2004, 0}));
  ASSERT_EQ(result.rows.size(), 10u);
  EXPECT_EQ(result.rows[9], Row6(kTcpStateTimeWait, "::1", 51235, "::1", 5432, 0));
}

TEST_F(ProcTcpTableTest, PortMappingCrossesFamiliesByLocalPort) {
  // 2002 ([::1]:5432) is owned by 50, but the IPv4 listener on 5432 comes
  // first in the table and so owns the port; 2004's port has only itself.
  FixedOwners owners({{1002, 30}, {2002, 50}, {2004, 60}});
  ProcTcpTable table(Replay(kRecorded), Replay(kRecorded6), &owners);
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(result.rows.size(), 10u);
  EXPECT_EQ(owners.calls, 1);
  EXPECT_EQ(owners.asked.size(), 10u);
  EXPECT_EQ(result.rows[5].owningPid, 30);  // mapped 127.0.0.1:5432
  EXPECT_EQ(result.rows[7].owningPid, 30);  // [::1]:5432
  EXPECT_EQ(result.rows[8].owningPid, 60);
  EXPECT_EQ(result.rows[6].owningPid, kUnknownOwner);  // [::]:22 has no owned socket
}

TEST_F(ProcTcpTableTest, MissingIpv6FileIsNoIpv6ButAnUnreadableOneFailsTheTable) {
  ProcTcpTable withoutIpv6(Replay(kRecorded), NoIpv6());
  const TcpTableResult ipv4Only = withoutIpv6.ReadTable();
  ASSERT_TRUE(ipv4Only.ok);
  EXPECT_EQ(ipv4Only.rows, ParseProcNetTcp(kRecorded));

  FixedOwners owners({});
  ProcTcpTable unreadable(
      Replay(kRecorded),
      [] {
        return ProcTextRead{false, EACCES, {}};
      },
      &owners);
  const TcpTableResult failed = unreadable.ReadTable();
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.errorCode, EACCES);
  EXPECT_TRUE(failed.rows.empty()) << "half a table is never given as the whole";
  EXPECT_EQ(owners.calls, 0);

  int ipv6Reads = 0;
  ProcTcpTable ipv4Fails(
      [] {
        return ProcTextRead{false, EIO, {}};
      },
      [&] {
        ++ipv6Reads;
        return ProcTextRead{true, 0, kRecorded6};
      });
  EXPECT_EQ(ipv4Fails.ReadTable().errorCode, EIO);
  EXPECT_EQ(ipv6Reads, 0);
}

}  // namespace
}  // namespace harlune
