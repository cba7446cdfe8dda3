// Arbitrary bytes as a sock_diag datagram from the kernel (the first byte
// picks the request number looked for): the decoder never reads past the
// datagram, and what it reports is consistent.

#include <cstddef>
#include <cstdint>
#include <span>

#include <sys/socket.h>

#include "fuzz_target.h"
#include "platform/linux/sock_diag_destroy.h"

namespace {

// A record of an IPv4 socket has IPv4 addresses; ports stay within 16 bits.
bool Consistent(const harlune::sock_diag::SocketRecord& socket) {
  const harlune::TcpFourTuple& tuple = socket.tuple;
  const bool familyKnown = socket.family == AF_INET || socket.family == AF_INET6;
  const bool ipv4Holds =
      socket.family != AF_INET || (tuple.localAddr.IsIpv4() && tuple.remoteAddr.IsIpv4());
  return familyKnown && ipv4Holds && tuple.localPort <= 0xFFFFu && tuple.remotePort <= 0xFFFFu;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::span<const std::byte> datagram(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  const harlune::sock_diag::Answer answer = harlune::sock_diag::DecodeAnswer(datagram, data[0]);
  if (answer.error < 0 || (!answer.complete && answer.error != 0) ||
      (answer.error != 0 && !answer.sockets.empty())) {
    __builtin_trap();
  }
  for (const harlune::sock_diag::SocketRecord& socket : answer.sockets) {
    if (!Consistent(socket)) {
      __builtin_trap();
    }
  }
  return 0;
}
