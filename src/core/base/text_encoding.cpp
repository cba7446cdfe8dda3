#include "core/base/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace harlune {
namespace {

// One iconv descriptor per direction and thread: descriptors carry state and
// are not safe to share, and opening one per call is slow.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)), from_(from), to_(to) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw TextEncodingError(std::string("no converter from ") + from + " to " + to, 0);
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  std::string Convert(std::string_view in) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    std::string out(in.size() * 2 + 8, '\0');
    // iconv's interface takes non-const input pointers but does not write.
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    std::size_t outUsed = 0;
    while (inLeft > 0) {
      char* outPtr = out.data() + outUsed;
      std::size_t outLeft = out.size() - outUsed;
      const std::size_t result = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      outUsed = out.size() - outLeft;
      if (result != static_cast<std::size_t>(-1)) {
        break;
      }
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      const auto offset = static_cast<std::size_t>(inPtr - in.data());
      throw TextEncodingError(std::string("the text does not convert from ") + from_ + " to " +
                                  to_ + " at byte " + std::to_string(offset),
                              offset);
    }
    out.resize(outUsed);
    return out;
  }

 private:
  iconv_t cd_;
  const char* from_;
  const char* to_;
};

}  // namespace

namespace {

std::string ConvertToCp932(std::string_view utf8) {
  thread_local Converter converter("CP932", "UTF-8");
  return converter.Convert(utf8);
}

std::size_t Utf8CharacterLength(unsigned char lead) {
  if (lead < 0xC0) {
    return 1;
  }
  return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The offset of the first character whose CP932 form reads back as another
// character (CP932 maps a few characters, such as U+00A3, onto the code of
// a look-alike).
std::size_t FirstCharacterThatChanges(std::string_view utf8) {
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    const std::size_t length = Utf8CharacterLength(static_cast<unsigned char>(utf8[offset]));
    const std::string_view character = utf8.substr(offset, length);
    if (Cp932ToUtf8(ConvertToCp932(character)) != character) {
      return offset;
    }
    offset += length;
  }
  return utf8.size();
}

}  // namespace

std::string Utf8ToCp932(std::string_view utf8) {
  std::string cp932 = ConvertToCp932(utf8);
  // A file must give back the text it was given: a character that would
  // come back as a look-alike is refused like one CP932 lacks.
  if (Cp932ToUtf8(cp932) != utf8) {
    const std::size_t offset = FirstCharacterThatChanges(utf8);
    throw TextEncodingError("the character at byte " + std::to_string(offset) +
                                " would not read back the same from CP932",
                            offset);
  }
  return cp932;
}

std::string Cp932ToUtf8(std::string_view cp932) {
  thread_local Converter converter("UTF-8", "CP932");
  return converter.Convert(cp932);
}

std::size_t Cp932Length(std::string_view utf8) { return Utf8ToCp932(utf8).size(); }

namespace {

bool IsCp932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool IsUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u; }

// A character has at most three continuation bytes; text with more is not
// UTF-8 and is cut at the limit itself.
std::string CutAtUtf8Boundary(std::string_view utf8, std::size_t limit) {
  const std::size_t end = std::min(limit, utf8.size());
  std::size_t cut = end;
  while (cut > 0 && cut < utf8.size() && end - cut < 3 && IsUtf8Continuation(utf8[cut])) {
    --cut;
  }
  if (cut < utf8.size() && IsUtf8Continuation(utf8[cut])) {
    cut = end;
  }
  return std::string(utf8.substr(0, cut));
}

}  // namespace

std::string CutToCp932Bytes(std::string_view utf8, std::size_t limit) {
  std::string cp932;
  try {
    cp932 = Utf8ToCp932(utf8);
  } catch (const TextEncodingError&) {
    return CutAtUtf8Boundary(utf8, limit);
  }
  if (cp932.size() <= limit) {
    return std::string(utf8);
  }
  std::size_t cut = 0;
  while (cut < cp932.size()) {
    const std::size_t width = IsCp932LeadByte(static_cast<unsigned char>(cp932[cut])) ? 2 : 1;
    if (cut + width > limit) {
      break;
    }
    cut += width;
  }
  return Cp932ToUtf8(std::string_view(cp932).substr(0, cut));
}

bool IsValidUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t length = Utf8CharacterLength(bytes);
    if (length == 0) {
      return false;
    }
    bytes.remove_prefix(length);
  }
  return true;
}

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsAscii(std::string_view bytes) {
  return std::ranges::all_of(bytes, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::optional<std::string> TryCp932ToUtf8(std::string_view cp932) {
  try {
    return Cp932ToUtf8(cp932);
  } catch (const TextEncodingError&) {
    return std::nullopt;
  }
}

std::optional<std::string> TryUtf8ToCp932(std::string_view utf8) {
  try {
    return Utf8ToCp932(utf8);
  } catch (const TextEncodingError&) {
    return std::nullopt;
  }
}

}  // namespace

std::string_view WithoutUtf8Bom(std::string_view bytes) {
  return bytes.starts_with(kUtf8Bom) ? bytes.substr(kUtf8Bom.size()) : bytes;
}

FileTextEncoding DetectFileTextEncoding(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Bom)) {
    return FileTextEncoding::kUtf8;
  }
  // A line that is CP932 and not UTF-8 makes the file CP932; a line in
  // neither (a broken byte) decides nothing.
  bool utf8Seen = false;
  while (!bytes.empty()) {
    const std::size_t end = std::min(bytes.find('\n'), bytes.size());
    const std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(std::min(end + 1, bytes.size()));
    if (IsAscii(line)) {
      continue;
    }
    if (IsValidUtf8(line)) {
      utf8Seen = true;
    } else if (TryCp932ToUtf8(line)) {
      return FileTextEncoding::kCp932;
    }
  }
  return utf8Seen ? FileTextEncoding::kUtf8 : FileTextEncoding::kCp932;
}

std::optional<std::string> DecodeFileLine(std::string_view bytes, FileTextEncoding encoding) {
  if (IsAscii(bytes)) {
    return std::string(bytes);
  }
  std::optional<std::string> cp932Text = TryCp932ToUtf8(bytes);
  if (IsValidUtf8(bytes) &&
      (encoding == FileTextEncoding::kUtf8 || !cp932Text || !TryUtf8ToCp932(bytes))) {
    return std::string(bytes);
  }
  return cp932Text;
}

EncodedFileLine EncodeFileLine(std::string_view utf8) {
  if (std::optional<std::string> cp932 = TryUtf8ToCp932(utf8);
      cp932 && DecodeFileLine(*cp932, FileTextEncoding::kCp932) == utf8) {
    return {std::move(*cp932), false};
  }
  return {std::string(utf8), !TryUtf8ToCp932(utf8)};
}

std::size_t Utf8CharacterLength(std::string_view bytes) {
  if (bytes.empty()) {
    return 0;
  }
  const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  // The second byte's range depends on the lead, which rules out overlong
  // forms, surrogates and code points beyond U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (bytes.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsUtf8Continuation(bytes[i])) {
      return 0;
    }
  }
  return length;
}

}  // namespace harlune
