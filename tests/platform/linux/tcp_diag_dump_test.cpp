// The inet_diag dump answer as the TCP table reads it, from datagrams put
// together here the way the kernel lays them out, and the table built of
// two dumps from an injected dump.

#include "platform/linux/tcp_diag_dump.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include "platform/linux/netlink_tcp_table.h"
#include "protocol/ip_address.h"
#include "support/tcp_table_rows.h"

namespace harlune {
namespace {

constexpr std::uint32_t kOurSequence = 1;

using testing::AddressOfText;

// Builds datagrams of netlink messages as the kernel sends them.
class Datagram {
 public:
  // A socket of `family` (AF_INET6 addresses as their 16 bytes, AF_INET
  // ones in the first word), in Linux TCP state `linuxState`, in a message
  // of `type`.
  Datagram& Socket(std::uint8_t family, std::uint8_t linuxState, const char* local,
                   std::uint16_t localPort, const char* remote, std::uint16_t remotePort,
                   std::uint32_t inode, std::uint32_t sequence = kOurSequence,
                   std::uint16_t type = SOCK_DIAG_BY_FAMILY) {
    inet_diag_msg message{};
    message.idiag_family = family;
    message.idiag_state = linuxState;
    message.id.idiag_sport = htons(localPort);
    message.id.idiag_dport = htons(remotePort);
    PutAddress(family, AddressOfText(local), message.id.idiag_src);
    PutAddress(family, AddressOfText(remote), message.id.idiag_dst);
    message.idiag_inode = inode;
    return Message(type, sequence, &message, sizeof message);
  }
  Datagram& Done(std::uint32_t sequence = kOurSequence) {
    const int zero = 0;
    return Message(NLMSG_DONE, sequence, &zero, sizeof zero);
  }
  Datagram& Error(int negativeErrno, std::uint32_t sequence = kOurSequence) {
    nlmsgerr error{};
    error.error = negativeErrno;
    return Message(NLMSG_ERROR, sequence, &error, sizeof error);
  }
  Datagram& Message(std::uint16_t type, std::uint32_t sequence, const void* payload,
                    std::size_t size) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(sizeof header + size);
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    Append(&header, sizeof header);
    Append(payload, size);
    bytes.resize((bytes.size() + 3) & ~std::size_t{3});
    return *this;
  }
  std::span<const std::byte> Span() const { return bytes; }

  std::vector<std::byte> bytes;

 private:
  static void PutAddress(std::uint8_t family, const IpAddress& address, std::uint32_t (&words)[4]) {
    if (family == AF_INET) {
      words[0] = address.Ipv4Value();
    } else {
      std::memcpy(words, address.Ipv6Bytes().data(), 16);
    }
  }
  void Append(const void* data, std::size_t size) {
    const auto* from = static_cast<const std::byte*>(data);
    bytes.insert(bytes.end(), from, from + size);
  }
};

TcpTableRow Row(std::uint32_t state, const char* local, std::uint16_t localPort, const char* remote,
                std::uint16_t remotePort, std::uint64_t inode) {
  TcpTableRow row = testing::TextRow(state, local, localPort, remote, remotePort);
  row.inode = inode;
  return row;
}

TEST(TcpDiagDumpTest, Ipv6SocketsGiveIpv6RowsAndMappedOnesIpv4Rows) {
  Datagram datagram;
  datagram.Socket(AF_INET6, 10, "::", 22, "::", 0, 11)
      .Socket(AF_INET6, 1, "2001:db8:1234:5678:9abc:def0:1122:3344", 50000, "::1", 443, 12)
      .Socket(AF_INET6, 1, "::ffff:127.0.0.1", 8080, "::ffff:127.0.0.1", 40000, 13)
      .Socket(AF_INET, 6, "192.168.1.10", 51235, "93.184.216.34", 80, 0);
  std::vector<TcpTableRow> rows;
  const tcp_diag::DatagramStep step = tcp_diag::ReadDumpDatagram(datagram.Span(), 1, rows);
  EXPECT_FALSE(step.done);
  EXPECT_EQ(step.error, 0);
  const std::vector<TcpTableRow> expected = {
      Row(kTcpStateListen, "::", 22, "::", 0, 11),
      Row(kTcpStateEstablished, "2001:db8:1234:5678:9abc:def0:1122:3344", 50000, "::1", 443, 12),
      Row(kTcpStateEstablished, "127.0.0.1", 8080, "127.0.0.1", 40000, 13),
      Row(kTcpStateTimeWait, "192.168.1.10", 51235, "93.184.216.34", 80, 0),
  };
  EXPECT_EQ(rows, expected);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[2].localAddr, Ipv4Address(127, 0, 0, 1));
  EXPECT_FALSE(rows[0].localAddr.IsIpv4());
}

TEST(TcpDiagDumpTest, AnswerToTheBothFamiliesRequestSplitsTheRowsBySocketFamily) {
  Datagram datagram;
  datagram.Socket(AF_INET, 10, "0.0.0.0", 80, "0.0.0.0", 0, 31, kOurSequence, TCPDIAG_GETSOCK)
      .Socket(AF_INET6, 1, "::ffff:127.0.0.1", 8080, "::ffff:127.0.0.1", 40000, 32, kOurSequence,
              TCPDIAG_GETSOCK)
      .Socket(AF_INET, 1, "127.0.0.1", 40000, "127.0.0.1", 8080, 33, kOurSequence, TCPDIAG_GETSOCK)
      .Socket(AF_INET6, 1, "::1", 22, "::1", 40001, 34, kOurSequence, TCPDIAG_GETSOCK);
  std::vector<TcpTableRow> ipv4Sockets;
  std::vector<TcpTableRow> ipv6Sockets;
  const tcp_diag::DatagramStep step =
      tcp_diag::ReadDumpDatagram(datagram.Span(), kOurSequence, ipv4Sockets, ipv6Sockets);
  EXPECT_FALSE(step.done);
  EXPECT_EQ(step.error, 0);
  EXPECT_EQ(ipv4Sockets,
            (std::vector<TcpTableRow>{
                Row(kTcpStateListen, "0.0.0.0", 80, "0.0.0.0", 0, 31),
                Row(kTcpStateEstablished, "127.0.0.1", 40000, "127.0.0.1", 8080, 33)}));
  EXPECT_EQ(ipv6Sockets, (std::vector<TcpTableRow>{
                             Row(kTcpStateEstablished, "127.0.0.1", 8080, "127.0.0.1", 40000, 32),
                             Row(kTcpStateEstablished, "::1", 22, "::1", 40001, 34)}));
}

TEST(TcpDiagDumpTest, OtherFamiliesStatesAndRequestsAreSkipped) {
  Datagram datagram;
  datagram.Socket(AF_UNIX, 1, "::1", 1, "::1", 2, 21)
      .Socket(AF_INET6, 13, "::1", 1, "::1", 2, 22)  // TCP_BOUND_INACTIVE
      .Socket(AF_INET6, 1, "::1", 1, "::1", 2, 23, kOurSequence + 1)
      .Done(kOurSequence + 1)
      .Socket(AF_INET6, 12, "::1", 3, "::1", 4, 24)  // a pending request
      .Message(NLMSG_NOOP, kOurSequence, nullptr, 0);
  std::vector<TcpTableRow> rows;
  const tcp_diag::DatagramStep step =
      tcp_diag::ReadDumpDatagram(datagram.Span(), kOurSequence, rows);
  EXPECT_FALSE(step.done) << "the other request's end is not ours";
  EXPECT_EQ(rows, (std::vector<TcpTableRow>{Row(kTcpStateSynRcvd, "::1", 3, "::1", 4, 24)}));
}

TEST(TcpDiagDumpTest, DoneAndErrorAnswersEndTheDump) {
  std::vector<TcpTableRow> rows;
  Datagram done;
  done.Socket(AF_INET6, 10, "::1", 80, "::", 0, 31)
      .Done()
      .Socket(AF_INET6, 10, "::1", 81, "::", 0, 32);
  tcp_diag::DatagramStep step = tcp_diag::ReadDumpDatagram(done.Span(), kOurSequence, rows);
  EXPECT_TRUE(step.done);
  EXPECT_EQ(step.error, 0);
  EXPECT_EQ(rows.size(), 1u) << "nothing after the end is read";

  Datagram refused;
  refused.Error(-EAFNOSUPPORT);
  step = tcp_diag::ReadDumpDatagram(refused.Span(), kOurSequence, rows);
  EXPECT_TRUE(step.done);
  EXPECT_EQ(step.error, EAFNOSUPPORT);

  Datagram acknowledged;
  acknowledged.Error(0);
  step = tcp_diag::ReadDumpDatagram(acknowledged.Span(), kOurSequence, rows);
  EXPECT_TRUE(step.done);
  EXPECT_EQ(step.error, 0);

  Datagram nonsense;
  nonsense.Error(5);  // not a negative errno
  EXPECT_EQ(tcp_diag::ReadDumpDatagram(nonsense.Span(), kOurSequence, rows).error, EPROTO);

  EXPECT_FALSE(tcp_diag::ReadDumpDatagram({}, kOurSequence, rows).done);
}

TEST(TcpDiagDumpTest, MessagesCutShortAreRefused) {
  Datagram full;
  full.Socket(AF_INET6, 1, "::1", 1, "::1", 2, 41);
  std::vector<TcpTableRow> rows;
  // The message claims more than the datagram holds.
  const std::span<const std::byte> cut = full.Span().first(full.bytes.size() - 1);
  tcp_diag::DatagramStep step = tcp_diag::ReadDumpDatagram(cut, kOurSequence, rows);
  EXPECT_TRUE(step.done);
  EXPECT_EQ(step.error, EPROTO);

  // A whole message whose payload is shorter than a socket's.
  Datagram small;
  const std::byte half[sizeof(inet_diag_msg) / 2] = {};
  small.Message(SOCK_DIAG_BY_FAMILY, kOurSequence, half, sizeof half);
  EXPECT_EQ(tcp_diag::ReadDumpDatagram(small.Span(), kOurSequence, rows).error, EPROTO);
  Datagram shortError;
  shortError.Message(NLMSG_ERROR, kOurSequence, half, 2);
  EXPECT_EQ(tcp_diag::ReadDumpDatagram(shortError.Span(), kOurSequence, rows).error, EPROTO);

  // A length below the header's own.
  Datagram tiny;
  tiny.Done();
  tiny.bytes[0] = std::byte{8};
  EXPECT_EQ(tcp_diag::ReadDumpDatagram(tiny.Span(), kOurSequence, rows).error, EPROTO);
  EXPECT_TRUE(rows.empty());
}

// Dumps that answer with recorded rows or errnos, per family.
struct FakeDump {
  std::vector<TcpTableRow> ipv4;
  std::vector<TcpTableRow> ipv6;
  int ipv4Error = 0;
  int ipv6Error = 0;
  std::vector<int> asked;

  TcpDiagDump Function() {
    return [this](int family, std::vector<TcpTableRow>& rows) {
      asked.push_back(family);
      const bool v4 = family == AF_INET;
      rows = v4 ? ipv4 : ipv6;  // a failed dump may leave rows behind
      return v4 ? ipv4Error : ipv6Error;
    };
  }
};

class FixedOwners : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override { return {}; }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t> inodes) override {
    ++calls;
    SocketOwnerMap owners;
    for (const std::uint64_t inode : inodes) {
      if (inode != 0) {
        owners.emplace(inode, static_cast<std::int32_t>(inode * 10));
      }
    }
    return owners;
  }
  int calls = 0;
};

FakeDump BothFamilies() {
  FakeDump dump;
  dump.ipv4 = {Row(kTcpStateListen, "127.0.0.1", 80, "0.0.0.0", 0, 1)};
  dump.ipv6 = {Row(kTcpStateListen, "::", 22, "::", 0, 2),
               Row(kTcpStateEstablished, "127.0.0.1", 22, "127.0.0.1", 40000, 3),
               Row(kTcpStateEstablished, "::1", 22, "::1", 40001, 4),
               Row(kTcpStateTimeWait, "127.0.0.1", 40002, "127.0.0.1", 22, 0)};
  return dump;
}

std::vector<std::uint64_t> InodesOf(const std::vector<TcpTableRow>& rows) {
  std::vector<std::uint64_t> inodes;
  for (const TcpTableRow& row : rows) {
    inodes.push_back(row.inode);
  }
  return inodes;
}

TEST(NetlinkTcpTableTest, TableIsIpv4DumpThenMappedRowsThenIpv6RowsWithOwners) {
  FakeDump dump = BothFamilies();
  FixedOwners owners;
  NetlinkTcpTable table(&owners, dump.Function());
  const TcpTableResult result = table.ReadTable();
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(dump.asked, (std::vector<int>{AF_INET, AF_INET6}));
  EXPECT_EQ(InodesOf(result.rows), (std::vector<std::uint64_t>{1, 3, 0, 2, 4}));
  EXPECT_EQ(owners.calls, 1);
  ASSERT_EQ(result.rows.size(), 5u);
  EXPECT_EQ(result.rows[1].owningPid, 30);
  EXPECT_EQ(result.rows[2].owningPid, kUnknownOwner);
  EXPECT_EQ(result.rows[4].owningPid, 40);
}

TEST(NetlinkTcpTableTest, SystemWithoutIpv6KeepsTheIpv4Rows) {
  for (const int error : {ENOENT, EAFNOSUPPORT, EPROTONOSUPPORT}) {
    FakeDump dump = BothFamilies();
    dump.ipv6Error = error;
    FixedOwners owners;
    NetlinkTcpTable table(&owners, dump.Function());
    const TcpTableResult result = table.ReadTable();
    ASSERT_TRUE(result.ok) << "errno " << error;
    EXPECT_EQ(InodesOf(result.rows), std::vector<std::uint64_t>{1}) << "errno " << error;
    EXPECT_EQ(result.rows[0].owningPid, 10);
  }
}

TEST(NetlinkTcpTableTest, AnyOtherFailureOfEitherDumpFailsTheTable) {
  FakeDump ipv6Broken = BothFamilies();
  ipv6Broken.ipv6Error = EPROTO;
  FixedOwners owners;
  TcpTableResult result = NetlinkTcpTable(&owners, ipv6Broken.Function()).ReadTable();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorCode, EPROTO);
  EXPECT_TRUE(result.rows.empty());

  FakeDump ipv4Broken = BothFamilies();
  ipv4Broken.ipv4Error = ENOENT;  // no TCP diag at all
  result = NetlinkTcpTable(&owners, ipv4Broken.Function()).ReadTable();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorCode, ENOENT);
  EXPECT_TRUE(result.rows.empty());
  EXPECT_EQ(ipv4Broken.asked, std::vector<int>{AF_INET});
  EXPECT_EQ(owners.calls, 0);
}

// The dump of both families over the same recorded sockets: those of IPv4
// sockets, then those of IPv6 sockets with the mapped ones among them.
struct FakeBothDump {
  FakeDump sockets = BothFamilies();
  int error = 0;
  int calls = 0;

  TcpDiagBothDump Function() {
    return [this](std::vector<TcpTableRow>& ipv4Sockets, std::vector<TcpTableRow>& ipv6Sockets) {
      ++calls;
      ipv4Sockets = sockets.ipv4;
      ipv6Sockets = sockets.ipv6;
      return error;
    };
  }
};

TEST(NetlinkTcpTableTest, OneDumpOfBothFamiliesGivesTheTableOfTheTwoDumps) {
  FakeDump twoDumps = BothFamilies();
  FixedOwners owners;
  const TcpTableResult expected = NetlinkTcpTable(&owners, twoDumps.Function()).ReadTable();
  ASSERT_TRUE(expected.ok);

  FakeDump perFamily = BothFamilies();
  FakeBothDump both;
  NetlinkTcpTable table(&owners, perFamily.Function(), both.Function());
  for (int read = 1; read <= 2; ++read) {
    const TcpTableResult result = table.ReadTable();
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.rows, expected.rows) << "read " << read;
  }
  EXPECT_EQ(both.calls, 2);
  EXPECT_TRUE(perFamily.asked.empty()) << "no dump of one family while both are answered";
}

TEST(NetlinkTcpTableTest, AKernelThatRefusesTheDumpOfBothFamiliesGetsTheTwoFromThenOn) {
  for (const int error : {EINVAL, EOPNOTSUPP, ENOENT, EPROTONOSUPPORT, EAFNOSUPPORT}) {
    FakeDump perFamily = BothFamilies();
    FakeBothDump both;
    both.error = error;
    FixedOwners owners;
    NetlinkTcpTable table(&owners, perFamily.Function(), both.Function());
    const TcpTableResult first = table.ReadTable();
    ASSERT_TRUE(first.ok) << "errno " << error;
    EXPECT_EQ(InodesOf(first.rows), (std::vector<std::uint64_t>{1, 3, 0, 2, 4}))
        << "rows of the refused dump were kept; errno " << error;
    ASSERT_TRUE(table.ReadTable().ok);
    EXPECT_EQ(both.calls, 1) << "asked again after its refusal; errno " << error;
    EXPECT_EQ(perFamily.asked, (std::vector<int>{AF_INET, AF_INET6, AF_INET, AF_INET6}));
  }
}

TEST(NetlinkTcpTableTest, AnyOtherFailureOfTheDumpOfBothFamiliesFailsTheTable) {
  FakeDump perFamily = BothFamilies();
  FakeBothDump both;
  both.error = EPROTO;
  FixedOwners owners;
  NetlinkTcpTable table(&owners, perFamily.Function(), both.Function());
  TcpTableResult result = table.ReadTable();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorCode, EPROTO);
  EXPECT_TRUE(result.rows.empty());
  EXPECT_TRUE(perFamily.asked.empty());
  EXPECT_EQ(owners.calls, 0);

  both.error = 0;
  result = table.ReadTable();
  EXPECT_TRUE(result.ok) << "a passing failure does not give up the dump";
  EXPECT_EQ(both.calls, 2);
}

}  // namespace
}  // namespace harlune
