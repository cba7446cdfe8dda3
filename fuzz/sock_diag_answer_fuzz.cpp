// Arbitrary bytes as a sock_diag datagram from the kernel (the first byte
// picks the request number looked for): the decoder never reads past the
// datagram, and what it reports is consistent.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_target.h"
#include "platform/linux/sock_destroy_resetter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::span<const std::byte> datagram(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  const harlune::SockDiagAnswer answer = harlune::DecodeSockDiagAnswer(datagram, data[0]);
  if (answer.error < 0 || (!answer.complete && (answer.error != 0 || answer.socket)) ||
      (answer.socket && (answer.error != 0 || answer.socket->key.localPort > 0xFFFFu ||
                         answer.socket->key.remotePort > 0xFFFFu))) {
    __builtin_trap();
  }
  return 0;
}
