#pragma once

// Text is UTF-8 inside the program and CP932 (Shift_JIS) in the files it
// shares with other builds: settings, host lists and logs. Conversion
// happens at the file boundary, and bytes that do not convert are an error,
// never silently replaced, nor written as a look-alike that would read back
// as another character.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace harlune {

class TextEncodingError : public std::runtime_error {
 public:
  TextEncodingError(const std::string& what, std::size_t offset)
      : std::runtime_error(what), offset_(offset) {}

  // Byte offset, in the input, of the first byte that did not convert.
  std::size_t offset() const { return offset_; }

 private:
  std::size_t offset_;
};

// Throws TextEncodingError for invalid UTF-8 or a character CP932 lacks.
std::string Utf8ToCp932(std::string_view utf8);

// Throws TextEncodingError for bytes that are not valid CP932.
std::string Cp932ToUtf8(std::string_view cp932);

// The number of CP932 bytes of a UTF-8 text (byte limits of fields count
// these); throws like Utf8ToCp932.
std::size_t Cp932Length(std::string_view utf8);

// The text cut, between characters, to at most `limit` bytes of CP932 (the
// byte limits of fields count these). Text that CP932 lacks is cut at a
// UTF-8 character boundary within `limit` bytes instead.
std::string CutToCp932Bytes(std::string_view utf8, std::size_t limit);

}  // namespace harlune
