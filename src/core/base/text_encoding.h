#pragma once

// Text is UTF-8 inside the program and CP932 (Shift_JIS) in the files it
// shares with other builds: settings, host lists and logs. Conversion
// happens at the file boundary, and bytes that do not convert are an error,
// never silently replaced, nor written as a look-alike that would read back
// as another character.

#include <cstddef>
#include <optional>
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

// Whether the bytes are well-formed UTF-8: no overlong form, no surrogate,
// nothing beyond U+10FFFF, no sequence cut short.
bool IsValidUtf8(std::string_view bytes);

// The length of the well-formed UTF-8 character at the start of `bytes`, or
// 0 when none starts there (a stray or overlong byte, a cut or surrogate
// sequence, nothing at all).
std::size_t Utf8CharacterLength(std::string_view bytes);

// Settings files are CP932 as the program writes them, but an editor on
// Linux writes UTF-8. UTF-8 Japanese often also decodes as CP932 (as
// mojibake) while CP932 Japanese is practically never valid UTF-8, so a file
// is read as UTF-8 when it starts with the UTF-8 byte order mark, or when it
// has a non-ASCII line that is valid UTF-8 and no line that is CP932 but not
// UTF-8 (a line valid in neither does not count); as CP932 otherwise.
enum class FileTextEncoding { kCp932, kUtf8 };

FileTextEncoding DetectFileTextEncoding(std::string_view bytes);

// The bytes without a leading UTF-8 byte order mark.
std::string_view WithoutUtf8Bom(std::string_view bytes);

// The text of one line of a file read in `encoding`; nothing when it decodes
// in neither encoding. A line of a CP932 file that is valid UTF-8 and either
// not CP932 or holding a character CP932 lacks is UTF-8 (an edited line, or
// one kept in UTF-8 when the file was written); a line of a UTF-8 file that
// is not UTF-8 is tried as CP932.
std::optional<std::string> DecodeFileLine(std::string_view bytes, FileTextEncoding encoding);

struct EncodedFileLine {
  std::string bytes;
  bool keptInUtf8 = false;  // CP932 lacks one of its characters
};

// The bytes of a line of text: CP932 when every character has a CP932 form
// that reads back as the same line, otherwise UTF-8. (A line whose CP932
// form would read as UTF-8 and whose UTF-8 would also pass for CP932 reads
// back right only in a UTF-8 file; no such line is known outside contrived
// pairs of kanji and katakana.)
EncodedFileLine EncodeFileLine(std::string_view utf8);

// The number of CP932 bytes of a UTF-8 text (byte limits of fields count
// these); throws like Utf8ToCp932.
std::size_t Cp932Length(std::string_view utf8);

// The text cut, between characters, to at most `limit` bytes of CP932 (the
// byte limits of fields count these). Text that CP932 lacks is cut at a
// UTF-8 character boundary within `limit` bytes instead.
std::string CutToCp932Bytes(std::string_view utf8, std::size_t limit);

}  // namespace harlune
