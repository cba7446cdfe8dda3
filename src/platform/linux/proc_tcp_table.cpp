#include "platform/linux/proc_tcp_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <utility>

#include <arpa/inet.h>

namespace harlune {

namespace {

constexpr std::array<std::uint32_t, 13> kMibStateOfLinux = {
    0,                     // no state 0
    kTcpStateEstablished,  // TCP_ESTABLISHED
    kTcpStateSynSent,      // TCP_SYN_SENT
    kTcpStateSynRcvd,      // TCP_SYN_RECV
    kTcpStateFinWait1,     // TCP_FIN_WAIT1
    kTcpStateFinWait2,     // TCP_FIN_WAIT2
    kTcpStateTimeWait,     // TCP_TIME_WAIT
    kTcpStateClosed,       // TCP_CLOSE
    kTcpStateCloseWait,    // TCP_CLOSE_WAIT
    kTcpStateLastAck,      // TCP_LAST_ACK
    kTcpStateListen,       // TCP_LISTEN
    kTcpStateClosing,      // TCP_CLOSING
    kTcpStateSynRcvd,      // TCP_NEW_SYN_RECV
};

// The whitespace-separated words of a line, up to `Max`; the count found.
template <std::size_t Max>
std::size_t SplitWords(std::string_view line, std::array<std::string_view, Max>& words) {
  std::size_t count = 0;
  std::size_t at = 0;
  while (count < Max) {
    at = line.find_first_not_of(" \t\r", at);
    if (at == std::string_view::npos) {
      break;
    }
    const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
    words[count++] = line.substr(at, end - at);
    at = end;
  }
  return count;
}

// Exactly `digits` hexadecimal digits.
bool ParseHex(std::string_view text, std::size_t digits, std::uint32_t& value) {
  if (text.size() != digits) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  // A sign or an "0x" stops the conversion early; the end check refuses it.
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseDecimal(std::string_view text, std::uint64_t& value) {
  if (text.empty()) {
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  return error == std::errc() && end == text.data() + text.size();
}

bool IsSlotNumber(std::string_view text) {
  std::uint64_t ignored = 0;
  return text.size() >= 2 && text.back() == ':' &&
         ParseDecimal(text.substr(0, text.size() - 1), ignored);
}

constexpr std::size_t kIpv4Digits = 8;
constexpr std::size_t kIpv6Digits = 32;

// The kernel prints each 32-bit word of a stored (network-order) address as
// the value this host holds, so the word read back has the address's bytes
// in memory order: IPv4 "0100007F" is 127.0.0.1 on a little-endian host.
bool ParseAddress(std::string_view text, IpAddress& address) {
  std::array<std::uint32_t, 4> words{};
  for (std::size_t i = 0; i < text.size() / 8; ++i) {
    if (!ParseHex(text.substr(8 * i, 8), 8, words[i])) {
      return false;
    }
  }
  if (text.size() == kIpv4Digits) {
    address = IpAddress::FromIpv4(words[0]);
    return true;
  }
  IpAddress::Bytes16 bytes;
  static_assert(sizeof bytes == sizeof words);
  std::memcpy(bytes.data(), words.data(), sizeof bytes);
  address = IpAddress::FromIpv6(bytes);
  return true;
}

// "0100007F:0CEA": the address of `digits` hexadecimal digits, the port in
// host order.
bool ParseEndpoint(std::string_view text, std::size_t digits, IpAddress& address,
                   std::uint32_t& port) {
  if (text.size() != digits + 5 || text[digits] != ':') {
    return false;
  }
  std::uint32_t hostPort = 0;
  if (!ParseAddress(text.substr(0, digits), address) ||
      !ParseHex(text.substr(digits + 1), 4, hostPort)) {
    return false;
  }
  port = htons(static_cast<std::uint16_t>(hostPort));
  return true;
}

std::optional<TcpTableRow> ParseRow(std::string_view line, std::size_t addressDigits) {
  // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
  std::array<std::string_view, 10> words;
  if (SplitWords(line, words) < words.size() || !IsSlotNumber(words[0])) {
    return std::nullopt;
  }
  TcpTableRow row;
  std::uint32_t linuxState = 0;
  if (!ParseEndpoint(words[1], addressDigits, row.localAddr, row.localPort) ||
      !ParseEndpoint(words[2], addressDigits, row.remoteAddr, row.remotePort) ||
      !ParseHex(words[3], 2, linuxState) || !ParseDecimal(words[9], row.inode)) {
    return std::nullopt;
  }
  const std::optional<std::uint32_t> state = MibTcpStateOf(linuxState);
  if (!state) {
    return std::nullopt;
  }
  row.state = *state;
  return row;
}

std::vector<TcpTableRow> ParseRows(std::string_view text, std::size_t addressDigits) {
  std::vector<TcpTableRow> rows;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    if (std::optional<TcpTableRow> row = ParseRow(text.substr(0, end), addressDigits)) {
      rows.push_back(*row);
    }
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return rows;
}

// The rows of both files, or the errno of the one that could not be read.
int ReadBothFiles(const ProcTextReader& ipv4Reader, const ProcTextReader& ipv6Reader,
                  std::vector<TcpTableRow>& rows) {
  const ProcTextRead ipv4 = ipv4Reader();
  if (!ipv4.ok) {
    return ipv4.errorCode;
  }
  rows = ParseRows(ipv4.text, kIpv4Digits);
  const ProcTextRead ipv6 = ipv6Reader();
  if (!ipv6.ok) {
    return ipv6.errorCode == ENOENT ? 0 : ipv6.errorCode;
  }
  std::vector<TcpTableRow> ipv6Rows = ParseRows(ipv6.text, kIpv6Digits);
  // IPv4-mapped rows are IPv4 connections: they come before the IPv6 ones.
  std::stable_partition(ipv6Rows.begin(), ipv6Rows.end(),
                        [](const TcpTableRow& row) { return row.localAddr.IsIpv4(); });
  rows.insert(rows.end(), ipv6Rows.begin(), ipv6Rows.end());
  return 0;
}

}  // namespace

std::optional<std::uint32_t> MibTcpStateOf(unsigned linuxState) {
  if (linuxState == 0 || linuxState >= kMibStateOfLinux.size()) {
    return std::nullopt;
  }
  return kMibStateOfLinux[linuxState];
}

std::vector<TcpTableRow> ParseProcNetTcp(std::string_view text) {
  return ParseRows(text, kIpv4Digits);
}

std::vector<TcpTableRow> ParseProcNetTcp6(std::string_view text) {
  return ParseRows(text, kIpv6Digits);
}

ProcTextRead ReadProcText(const std::string& path) {
  ProcTextRead result;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    result.errorCode = errno;
    return result;
  }
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      result.errorCode = errno;
      result.text.clear();
      close(fd);
      return result;
    }
    if (got == 0) {
      break;
    }
    result.text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(fd);
  result.ok = true;
  return result;
}

ProcTcpTable::ProcTcpTable(ProcTextReader ipv4Reader, ProcTextReader ipv6Reader,
                           ProcessSource* portMapping)
    : ipv4Reader_(std::move(ipv4Reader)),
      ipv6Reader_(std::move(ipv6Reader)),
      portMapping_(portMapping) {}

ProcTextReader ProcTcpTable::DefaultReader() {
  return [] { return ReadProcText("/proc/net/tcp"); };
}

ProcTextReader ProcTcpTable::DefaultIpv6Reader() {
  return [] { return ReadProcText("/proc/net/tcp6"); };
}

TcpTableResult ProcTcpTable::ReadTable() {
  TcpTableResult result;
  if (const int error = ReadBothFiles(ipv4Reader_, ipv6Reader_, result.rows); error != 0) {
    result.errorCode = error;
    result.rows.clear();
    return result;
  }
  if (portMapping_ != nullptr) {
    std::vector<std::uint64_t> inodes;
    inodes.reserve(result.rows.size());
    for (const TcpTableRow& row : result.rows) {
      inodes.push_back(row.inode);
    }
    const SocketOwnerMap owners = portMapping_->SocketOwners(inodes);
    ApplyPortProcessMap(result.rows, BuildPortProcessMap(result.rows, owners));
  }
  result.ok = true;
  return result;
}

}  // namespace harlune
