#include "protocol/framing.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune::protocol {

std::array<std::uint8_t, kRequestHeaderSize> EncodeRequestHeader(const RequestHeader& header) {
  std::array<std::uint8_t, kRequestHeaderSize> out{};
  StoreLe32(out, 0, header.code);
  StoreLe32(out, 4, header.inputLength);
  StoreLe32(out, 8, header.outputCapacity);
  return out;
}

RequestHeader DecodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes) {
  return {LoadLe32(bytes, 0), LoadLe32(bytes, 4), LoadLe32(bytes, 8)};
}

std::array<std::uint8_t, kReplyHeaderSize> EncodeReplyHeader(const ReplyHeader& header) {
  std::array<std::uint8_t, kReplyHeaderSize> out{};
  StoreLe32(out, 0, header.error);
  StoreLe32(out, 4, header.bytesReturned);
  return out;
}

ReplyHeader DecodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes) {
  return {LoadLe32(bytes, 0), LoadLe32(bytes, 4)};
}

std::vector<std::uint8_t> EncodeRequest(std::uint32_t code, std::span<const std::uint8_t> input,
                                        std::uint32_t outputCapacity) {
  std::vector<std::uint8_t> frame(kRequestHeaderSize + input.size());
  const auto header =
      EncodeRequestHeader({code, static_cast<std::uint32_t>(input.size()), outputCapacity});
  std::copy(header.begin(), header.end(), frame.begin());
  std::copy(input.begin(), input.end(), frame.begin() + kRequestHeaderSize);
  return frame;
}

std::vector<std::uint8_t> EncodeReply(std::uint32_t error, std::span<const std::uint8_t> output) {
  const bool ok = error == device_error::kSuccess;
  const std::size_t outputSize = ok ? output.size() : 0;
  std::vector<std::uint8_t> frame(kReplyHeaderSize + outputSize);
  const auto header = EncodeReplyHeader({error, static_cast<std::uint32_t>(outputSize)});
  std::copy(header.begin(), header.end(), frame.begin());
  std::copy_n(output.begin(), outputSize, frame.begin() + kReplyHeaderSize);
  return frame;
}

}  // namespace harlune::protocol
