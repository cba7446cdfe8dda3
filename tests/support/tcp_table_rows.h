#pragma once

// Rows of the system's TCP table written with address texts and host-order
// ports, for the tests of the table readers and of what reads their rows.

#include <cstdint>
#include <optional>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/monitor/tcp_table.h"
#include "protocol/ip_address.h"

namespace harlune::testing {

// The address a text names; a text that names none fails the test.
inline IpAddress AddressOfText(const char* text) {
  const std::optional<IpAddress> address = ParseIpAddress(text);
  EXPECT_TRUE(address) << text;
  return address.value_or(IpAddress());
}

// A row without owner or inode.
inline TcpTableRow TextRow(std::uint32_t state, const char* local, std::uint16_t localPort,
                           const char* remote, std::uint16_t remotePort) {
  TcpTableRow row;
  row.state = state;
  row.localAddr = AddressOfText(local);
  row.localPort = htons(localPort);
  row.remoteAddr = AddressOfText(remote);
  row.remotePort = htons(remotePort);
  return row;
}

}  // namespace harlune::testing
