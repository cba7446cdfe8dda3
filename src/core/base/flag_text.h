#pragma once

// How the settings files write a flag: "TRUE" for 1, "FALSE" for 0, and
// nothing for any other stored value. Only the exact text "TRUE" reads as
// true.

#include <cstdint>
#include <string_view>

namespace harlune {

inline constexpr std::string_view kTrueText = "TRUE";
inline constexpr std::string_view kFalseText = "FALSE";

constexpr std::string_view FlagText(std::int64_t value) {
  if (value == 1) {
    return kTrueText;
  }
  return value == 0 ? kFalseText : std::string_view{};
}

constexpr bool IsTrueText(std::string_view text) { return text == kTrueText; }

}  // namespace harlune
