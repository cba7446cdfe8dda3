#include "protocol/utf16.h"

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

constexpr bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Decodes one code point at `pos`, advancing it; nothing when malformed.
std::optional<char32_t> NextCodePoint(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 0;
  char32_t code = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07u, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (pos + length > text.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if ((next & 0xC0) != 0x80) {
      return std::nullopt;
    }
    code = (code << 6) | (next & 0x3Fu);
  }
  if (code < minimum || code > kMaxCodePoint || IsSurrogate(code)) {
    return std::nullopt;
  }
  pos += length;
  return code;
}

void AppendUtf8(std::string& out, char32_t code) {
  auto put = [&out](char32_t byte) { out.push_back(static_cast<char>(byte)); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6));
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18));
    put(0x80 | ((code >> 12) & 0x3F));
    put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const auto code = NextCodePoint(utf8, pos);
    if (!code) {
      return std::nullopt;
    }
    if (*code < 0x10000) {
      out.push_back(static_cast<char16_t>(*code));
    } else {
      const char32_t offset = *code - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    }
  }
  return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t code = utf16[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) {
        return std::nullopt;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u);
      ++i;
    } else if (IsSurrogate(code)) {
      return std::nullopt;
    }
    AppendUtf8(out, code);
  }
  return out;
}

std::vector<std::uint8_t> EncodeUtf16Le(std::u16string_view text) {
  std::vector<std::uint8_t> out(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    StoreLe16(out, 2 * i, text[i]);
  }
  return out;
}

std::optional<std::u16string> DecodeUtf16Le(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 2 != 0) {
    return std::nullopt;
  }
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(LoadLe16(bytes, 2 * i));
  }
  return out;
}

}  // namespace harlune::protocol
