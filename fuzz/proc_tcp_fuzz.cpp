// Arbitrary bytes as the text of /proc/net/tcp and of /proc/net/tcp6: every
// row read holds a MIB state, and the rows written back in the kernel's form
// read the same.

#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>

#include "core/monitor/tcp_table.h"
#include "fuzz_target.h"
#include "platform/linux/proc_tcp_table.h"

namespace {

unsigned LinuxStateOf(std::uint32_t mib) {
  for (unsigned linuxState = 1; linuxState < 256; ++linuxState) {
    if (harlune::MibTcpStateOf(linuxState) == mib) {
      return linuxState;
    }
  }
  __builtin_trap();  // a row's state always comes from a Linux state
}

// An address as the kernel prints it in /proc/net/tcp6: each 32-bit word
// as the value this host holds.
std::string Address6(const harlune::IpAddress& address) {
  std::uint32_t words[4];
  std::memcpy(words, address.Ipv6Bytes().data(), sizeof words);
  char text[33];
  std::snprintf(text, sizeof text, "%08X%08X%08X%08X", words[0], words[1], words[2], words[3]);
  return text;
}

std::string Print6(const std::vector<harlune::TcpTableRow>& rows) {
  std::string text = "  sl  local_address                         remote_address\n";
  char line[240];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const harlune::TcpTableRow& row = rows[i];
    std::snprintf(
        line, sizeof line,
        "%4zu: %s:%04X %s:%04X %02X 00000000:00000000 00:00000000 00000000 0 0 "
        "%" PRIu64 " 1\n",
        i, Address6(row.localAddr).c_str(), ntohs(static_cast<std::uint16_t>(row.localPort)),
        Address6(row.remoteAddr).c_str(), ntohs(static_cast<std::uint16_t>(row.remotePort)),
        LinuxStateOf(row.state), row.inode);
    text += line;
  }
  return text;
}

void CheckRows(const std::vector<harlune::TcpTableRow>& rows) {
  for (const harlune::TcpTableRow& row : rows) {
    if (row.state < harlune::kTcpStateClosed || row.state > harlune::kTcpStateDeleteTcb ||
        row.localPort > 0xFFFFu || row.remotePort > 0xFFFFu ||
        row.owningPid != harlune::kUnknownOwner) {
      __builtin_trap();
    }
  }
}

std::string Print(const std::vector<harlune::TcpTableRow>& rows) {
  std::string text = "  sl  local_address rem_address   st\n";
  char line[200];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const harlune::TcpTableRow& row = rows[i];
    std::snprintf(line, sizeof line,
                  "%4zu: %08X:%04X %08X:%04X %02X 00000000:00000000 00:00000000 00000000 0 0 "
                  "%" PRIu64 " 1\n",
                  i, row.localAddr.Ipv4Value(), ntohs(static_cast<std::uint16_t>(row.localPort)),
                  row.remoteAddr.Ipv4Value(), ntohs(static_cast<std::uint16_t>(row.remotePort)),
                  LinuxStateOf(row.state), row.inode);
    text += line;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<harlune::TcpTableRow> rows = harlune::ParseProcNetTcp(text);
  CheckRows(rows);
  if (harlune::ParseProcNetTcp(Print(rows)) != rows) {
    __builtin_trap();
  }
  const std::vector<harlune::TcpTableRow> rows6 = harlune::ParseProcNetTcp6(text);
  CheckRows(rows6);
  // Every row of one file is refused by the other's parser (the address
  // lengths differ), and the rows of each written back read the same.
  if (harlune::ParseProcNetTcp6(Print6(rows6)) != rows6 ||
      !harlune::ParseProcNetTcp(Print6(rows6)).empty() ||
      !harlune::ParseProcNetTcp6(Print(rows)).empty()) {
    __builtin_trap();
  }
  return 0;
}
