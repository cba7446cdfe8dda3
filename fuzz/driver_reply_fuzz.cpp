// Arbitrary bytes as driver replies: the fixed-layout decoders, and the
// socket transport reading them as a reply stream.

#include <unistd.h>

#include <array>
#include <span>

#include <sys/socket.h>

#include "fuzz_target.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/framing.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/utf16.h"

namespace {

using namespace harlune::protocol;

template <std::size_t N>
void DecodeFixed(std::span<const std::uint8_t> data, auto decode) {
  if (data.size() >= N) {
    decode(std::span<const std::uint8_t, N>(data.data(), N));
  }
}

void DecodeEveryLayout(std::span<const std::uint8_t> data) {
  DecodeFixed<kReplyHeaderSize>(data, [](auto b) { (void)DecodeReplyHeader(b); });
  DecodeFixed<kRequestHeaderSize>(data,
                                  [](auto b) { (void)DecodeRequestHeader(b).WithinLimits(); });
  DecodeFixed<kTbfSettingDataSize>(data, [](auto b) {
    const _TBF_SETTING_DATA record = DecodeTbfSettingData(b);
    if (EncodeTbfSettingData(record) !=
        EncodeTbfSettingData(DecodeTbfSettingData(EncodeTbfSettingData(record)))) {
      __builtin_trap();  // decoding what was encoded must be stable
    }
  });
  DecodeFixed<kClassStatisticsSize>(data, [](auto b) { (void)DecodeClassStatistics(b); });
  DecodeFixed<kTotalStatisticsSize>(data, [](auto b) { (void)DecodeTotalStatistics(b); });
  (void)DecodeVersion(data);
  (void)CaptureRecordCount(data.size());
  if (const auto ports = DecodeApplicationPorts(data)) {
    if (EncodeApplicationPorts(*ports) != std::vector(data.begin(), data.end())) {
      __builtin_trap();  // a request that decodes re-encodes to the same bytes
    }
  }
  if (const auto text = DecodeUtf16Le(data)) {
    (void)Utf16ToUtf8(*text);
  }
  if (data.size() >= 4) {
    if (const auto layout = FindRequestLayout(static_cast<std::uint32_t>(data[0]) |
                                              (static_cast<std::uint32_t>(data[1]) << 8))) {
      (void)RequestSizesValid(*layout, data.subspan(4), data[2]);
    }
  }
}

// The bytes as the reply stream of a driver connection.
void ReadAsReplyStream(std::span<const std::uint8_t> data) {
  if (data.size() > 60000) {
    return;  // keep within one socket buffer
  }
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    return;
  }
  if (!data.empty()) {
    [[maybe_unused]] const ssize_t written = ::write(fds[1], data.data(), data.size());
  }
  ::shutdown(fds[1], SHUT_WR);  // the reader sees the end instead of waiting
  auto handle = harlune::AdoptDeviceSocket(fds[0]);
  std::array<std::uint8_t, kReadPacketsBufferSize> output{};
  for (std::size_t capacity : {std::size_t{4}, std::size_t{12}, std::size_t{24}, output.size()}) {
    const auto result = handle->Control(1, {}, std::span(output).first(capacity));
    if (result.bytesReturned > capacity) {
      __builtin_trap();
    }
    if (!result.succeeded) {
      break;
    }
  }
  ::close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  DecodeEveryLayout(bytes);
  ReadAsReplyStream(bytes);
  return 0;
}
