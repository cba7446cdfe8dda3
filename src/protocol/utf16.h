#pragma once

// Strict conversions between UTF-8 and UTF-16LE for adapter device paths.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace harlune::protocol {

// Nothing for malformed UTF-8 (overlong forms, surrogates, truncated or
// out-of-range sequences).
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

// Nothing for an unpaired surrogate.
std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16);

std::vector<std::uint8_t> EncodeUtf16Le(std::u16string_view text);

// Nothing for an odd number of bytes.
std::optional<std::u16string> DecodeUtf16Le(std::span<const std::uint8_t> bytes);

}  // namespace harlune::protocol
