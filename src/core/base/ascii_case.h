#pragma once

// Case without regard to the locale: the settings files, process names and
// host names fold ASCII letters only, and every other byte of a UTF-8 text
// must match exactly.

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace harlune {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool SameIgnoringAsciiCase(char a, char b) { return AsciiLower(a) == AsciiLower(b); }

constexpr bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, SameIgnoringAsciiCase);
}

// Where a non-empty `needle` first occurs in `haystack`, or npos.
constexpr std::size_t FindIgnoringAsciiCase(std::string_view haystack, std::string_view needle) {
  const auto found = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                                 SameIgnoringAsciiCase);
  return found == haystack.end() ? std::string_view::npos
                                 : static_cast<std::size_t>(found - haystack.begin());
}

// -1, 0 or 1 as `a` sorts before, with or after `b`, bytes compared unsigned
// after folding.
constexpr int CompareIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto y = static_cast<unsigned char>(AsciiLower(b[i]));
    if (x != y) {
      return x < y ? -1 : 1;
    }
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace harlune
