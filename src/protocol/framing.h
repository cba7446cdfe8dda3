#pragma once

// Frames of the device transport: one request frame, one reply frame, all
// integers little-endian.
//
//   request: u32 code | u32 input_length | u32 output_capacity | input bytes
//   reply:   u32 error | u32 bytes_returned | output bytes

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace harlune::protocol {

inline constexpr std::size_t kRequestHeaderSize = 12;
inline constexpr std::size_t kReplyHeaderSize = 8;
// A frame whose input length or output capacity exceeds this is not
// answered: the server closes the connection.
inline constexpr std::uint32_t kMaxFrameBuffer = 65536;

// Error words of a reply: Windows error numbers.
namespace device_error {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kInvalidFunction = 1;    // unknown code
inline constexpr std::uint32_t kNotReady = 21;          // request before a bind
inline constexpr std::uint32_t kGenFailure = 31;        // any other failure
inline constexpr std::uint32_t kInvalidParameter = 87;  // wrong sizes
}  // namespace device_error

struct RequestHeader {
  std::uint32_t code = 0;
  std::uint32_t inputLength = 0;
  std::uint32_t outputCapacity = 0;

  bool WithinLimits() const {
    return inputLength <= kMaxFrameBuffer && outputCapacity <= kMaxFrameBuffer;
  }
  bool operator==(const RequestHeader&) const = default;
};

struct ReplyHeader {
  std::uint32_t error = 0;
  std::uint32_t bytesReturned = 0;

  bool operator==(const ReplyHeader&) const = default;
};

std::array<std::uint8_t, kRequestHeaderSize> EncodeRequestHeader(const RequestHeader& header);
RequestHeader DecodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes);

std::array<std::uint8_t, kReplyHeaderSize> EncodeReplyHeader(const ReplyHeader& header);
ReplyHeader DecodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes);

// A whole request frame: header and input.
std::vector<std::uint8_t> EncodeRequest(std::uint32_t code, std::span<const std::uint8_t> input,
                                        std::uint32_t outputCapacity);

// A whole reply frame. A failed call carries no output, whatever is passed.
std::vector<std::uint8_t> EncodeReply(std::uint32_t error, std::span<const std::uint8_t> output);

}  // namespace harlune::protocol
