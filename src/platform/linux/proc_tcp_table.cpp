#include "platform/linux/proc_tcp_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
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

// "0100007F:0CEA": the address as the kernel prints its stored 32-bit value
// (so the value read is the stored value on this host), the port in host
// order.
bool ParseEndpoint(std::string_view text, std::uint32_t& address, std::uint32_t& port) {
  if (text.size() != 13 || text[8] != ':') {
    return false;
  }
  std::uint32_t hostPort = 0;
  if (!ParseHex(text.substr(0, 8), 8, address) || !ParseHex(text.substr(9), 4, hostPort)) {
    return false;
  }
  port = htons(static_cast<std::uint16_t>(hostPort));
  return true;
}

std::optional<TcpTableRow> ParseRow(std::string_view line) {
  // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
  std::array<std::string_view, 10> words;
  if (SplitWords(line, words) < words.size() || !IsSlotNumber(words[0])) {
    return std::nullopt;
  }
  TcpTableRow row;
  std::uint32_t linuxState = 0;
  std::uint32_t localAddr = 0;
  std::uint32_t remoteAddr = 0;
  if (!ParseEndpoint(words[1], localAddr, row.localPort) ||
      !ParseEndpoint(words[2], remoteAddr, row.remotePort) || !ParseHex(words[3], 2, linuxState) ||
      !ParseDecimal(words[9], row.inode)) {
    return std::nullopt;
  }
  row.localAddr = IpAddress::FromIpv4(localAddr);
  row.remoteAddr = IpAddress::FromIpv4(remoteAddr);
  const std::optional<std::uint32_t> state = MibTcpStateOf(linuxState);
  if (!state) {
    return std::nullopt;
  }
  row.state = *state;
  return row;
}

}  // namespace

std::optional<std::uint32_t> MibTcpStateOf(unsigned linuxState) {
  if (linuxState == 0 || linuxState >= kMibStateOfLinux.size()) {
    return std::nullopt;
  }
  return kMibStateOfLinux[linuxState];
}

std::vector<TcpTableRow> ParseProcNetTcp(std::string_view text) {
  std::vector<TcpTableRow> rows;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    if (std::optional<TcpTableRow> row = ParseRow(text.substr(0, end))) {
      rows.push_back(*row);
    }
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return rows;
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

ProcTcpTable::ProcTcpTable(ProcTextReader reader, ProcessSource* portMapping)
    : reader_(std::move(reader)), portMapping_(portMapping) {}

ProcTextReader ProcTcpTable::DefaultReader() {
  return [] { return ReadProcText("/proc/net/tcp"); };
}

TcpTableResult ProcTcpTable::ReadTable() {
  TcpTableResult result;
  const ProcTextRead read = reader_();
  if (!read.ok) {
    result.errorCode = read.errorCode;
    return result;
  }
  result.rows = ParseProcNetTcp(read.text);
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
