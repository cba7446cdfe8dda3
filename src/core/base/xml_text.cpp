#include "core/base/xml_text.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <span>

#include <pugixml.hpp>

#include "core/base/text_encoding.h"

namespace harlune {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr std::string_view kXmlBlanks = " \t\r\n";

// Names under which CP932 is declared; compared without regard to case.
constexpr std::string_view kCp932Names[] = {"shift_jis",   "shift-jis",    "sjis",       "x-sjis",
                                            "ms_kanji",    "csshiftjis",   "cp932",      "ms932",
                                            "windows-31j", "cswindows31j", "windows-932"};
constexpr std::string_view kUtf8Names[] = {"utf-8", "utf8"};
constexpr std::string_view kUtf16Names[] = {"utf-16", "utf16", "utf-16le", "utf-16be"};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsOneOf(std::string_view name, std::span<const std::string_view> names) {
  return std::any_of(names.begin(), names.end(), [name](std::string_view candidate) {
    return std::ranges::equal(name, candidate,
                              [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
  });
}

// An encoding name as XML spells one: a letter, then letters, digits, ".",
// "_" and "-". It keeps iconv's "//IGNORE"-style suffixes out.
bool IsEncodingName(std::string_view name) {
  if (name.empty() || !((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

std::size_t LineOf(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + static_cast<std::size_t>(std::count(
                 text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

std::string AtLine(std::string_view text, std::size_t offset) {
  return "line " + std::to_string(LineOf(text, offset)) + ": ";
}

struct Declared {
  std::optional<std::string> encoding;  // nothing when no encoding is declared
  std::string error;                    // a declaration that cannot be read
};

// The encoding named by the declaration at the very start of the text.
Declared DeclaredEncoding(std::string_view text) {
  constexpr std::string_view kOpen = "<?xml";
  if (!text.starts_with(kOpen) || text.size() == kOpen.size() ||
      kXmlBlanks.find(text[kOpen.size()]) == std::string_view::npos) {
    return {};
  }
  const std::size_t end = text.find("?>");
  if (end == std::string_view::npos) {
    return {std::nullopt, "line 1: the XML declaration is not closed"};
  }
  const std::string_view declaration = text.substr(0, end);
  constexpr std::string_view kEncoding = "encoding";
  std::size_t at = declaration.find(kEncoding);
  while (at != std::string_view::npos &&
         kXmlBlanks.find(declaration[at - 1]) == std::string_view::npos) {
    at = declaration.find(kEncoding, at + 1);
  }
  if (at == std::string_view::npos) {
    return {};
  }
  std::size_t pos = declaration.find_first_not_of(kXmlBlanks, at + kEncoding.size());
  if (pos != std::string_view::npos && declaration[pos] == '=') {
    pos = declaration.find_first_not_of(kXmlBlanks, pos + 1);
    if (pos != std::string_view::npos && (declaration[pos] == '\'' || declaration[pos] == '"')) {
      const std::size_t close = declaration.find(declaration[pos], pos + 1);
      if (close != std::string_view::npos) {
        return {std::string(declaration.substr(pos + 1, close - pos - 1)), {}};
      }
    }
  }
  return {std::nullopt, "line 1: the encoding of the XML declaration cannot be read"};
}

// Converts to UTF-8 with iconv; nothing when the bytes do not convert.
std::optional<std::string> IconvToUtf8(std::string_view in, const std::string& from,
                                       std::string& error) {
  const iconv_t cd = iconv_open("UTF-8", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    error = "the declared encoding \"" + from + "\" is not known";
    return std::nullopt;
  }
  std::string out(in.size() * 2 + 16, '\0');
  // iconv takes a non-const input pointer but does not write through it.
  char* inPtr = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  std::size_t used = 0;
  bool failed = false;
  while (inLeft > 0) {
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    used = out.size() - outLeft;
    if (result != static_cast<std::size_t>(-1)) {
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    failed = true;  // EILSEQ, or EINVAL for a character cut off at the end
    break;
  }
  iconv_close(cd);
  if (failed) {
    error = "byte " + std::to_string(inPtr - in.data()) + " is not text of the encoding " + from;
    return std::nullopt;
  }
  out.resize(used);
  return out;
}

// Characters XML 1.0 allows: tab, LF, CR, U+0020..U+D7FF, U+E000..U+FFFD
// and U+10000..U+10FFFF.
bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The offset of the first byte that is not UTF-8 of an XML character, or npos.
std::size_t FirstBadCharacter(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::size_t length = 1;
    std::uint32_t c = lead;
    std::uint32_t minimum = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07u;
      minimum = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0Fu;
      minimum = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1Fu;
      minimum = 0x80;
    } else if (lead >= 0x80) {
      return i;
    }
    if (i + length > text.size()) {
      return i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto trail = static_cast<std::uint8_t>(text[i + k]);
      if ((trail & 0xC0u) != 0x80u) {
        return i;
      }
      c = (c << 6) | (trail & 0x3Fu);
    }
    if (c < minimum || !IsXmlChar(c)) {
      return i;
    }
    i += length;
  }
  return std::string_view::npos;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point of a character reference's digits, or nothing.
std::optional<std::uint32_t> CharacterReference(std::string_view digits) {
  int base = 10;
  if (digits.starts_with('x')) {
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return std::nullopt;
  }
  // Leading zeros are allowed in any number; more digits than that would not
  // name a character anyway.
  digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size() - 1));
  if (digits.size() > 8) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (const char c : digits) {
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * static_cast<std::uint32_t>(base) + digit;
  }
  if (!IsXmlChar(value)) {
    return std::nullopt;
  }
  return value;
}

// Resolves the predefined entities and character references of raw text;
// nothing, with `problem` set, for anything else after "&".
std::optional<std::string> ResolveReferences(std::string_view raw, std::string& problem) {
  std::string text;
  text.reserve(raw.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t amp = raw.find('&', pos);
    text += raw.substr(pos, amp - pos);
    if (amp == std::string_view::npos) {
      return text;
    }
    const std::size_t semicolon = raw.find(';', amp);
    const std::string_view name =
        raw.substr(amp + 1, semicolon == std::string_view::npos ? std::string_view::npos
                                                                : semicolon - amp - 1);
    if (semicolon == std::string_view::npos || name.empty()) {
      problem = "a \"&\" that starts no reference";
      return std::nullopt;
    }
    if (name == "amp") {
      text += '&';
    } else if (name == "lt") {
      text += '<';
    } else if (name == "gt") {
      text += '>';
    } else if (name == "quot") {
      text += '"';
    } else if (name == "apos") {
      text += '\'';
    } else if (name.starts_with('#')) {
      const std::optional<std::uint32_t> c = CharacterReference(name.substr(1));
      if (!c) {
        problem = "the character reference &" + std::string(name) + "; names no XML character";
        return std::nullopt;
      }
      AppendUtf8(text, *c);
    } else {
      problem = "the entity &" + std::string(name.substr(0, 64)) + "; is not defined";
      return std::nullopt;
    }
    pos = semicolon + 1;
  }
}

// The depth of the deepest element, counted without recursion.
std::size_t MaxDepth(const pugi::xml_node& top) {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  pugi::xml_node node = top.first_child();
  while (node && node != top) {
    if (node.type() == pugi::node_element) {
      ++depth;
      deepest = std::max(deepest, depth);
      if (node.first_child()) {
        node = node.first_child();
        continue;
      }
      --depth;
    }
    while (node != top && !node.next_sibling()) {
      node = node.parent();
      if (node != top) {
        --depth;
      }
    }
    if (node != top) {
      node = node.next_sibling();
    }
  }
  return deepest;
}

constexpr std::uint64_t kInt32MinMagnitude = 0x80000000u;
constexpr std::uint64_t kBeyond32Bits = std::uint64_t{1} << 32;

struct DecimalText {
  bool negative = false;
  std::uint64_t magnitude = 0;  // kBeyond32Bits for anything larger than 32 bits
};

// Blanks, an optional sign and the decimal digits that follow.
DecimalText ReadDecimal(std::string_view text) {
  DecimalText number;
  std::size_t pos = text.find_first_not_of(" \t\r\n\v\f");
  if (pos == std::string_view::npos) {
    return number;
  }
  if (text[pos] == '+' || text[pos] == '-') {
    number.negative = text[pos] == '-';
    ++pos;
  }
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    number.magnitude = number.magnitude * 10 + static_cast<std::uint64_t>(text[pos] - '0');
    if (number.magnitude >= kBeyond32Bits) {
      number.magnitude = kBeyond32Bits;
      break;
    }
  }
  return number;
}

class TreeBuilder {
 public:
  explicit TreeBuilder(std::string_view text) : text_(text) {}

  // The element and everything below it; nothing with `error` set.
  std::optional<XmlElement> Build(const pugi::xml_node& node) {
    XmlElement element;
    element.name = node.name();
    for (const pugi::xml_attribute& attribute : node.attributes()) {
      std::optional<std::string> value = Resolve(attribute.value(), node);
      if (!value) {
        return std::nullopt;
      }
      element.attributes.emplace_back(attribute.name(), std::move(*value));
    }
    for (const pugi::xml_node& child : node.children()) {
      if (child.type() == pugi::node_element) {
        std::optional<XmlElement> built = Build(child);
        if (!built) {
          return std::nullopt;
        }
        element.children.push_back(std::move(*built));
      } else if (child.type() == pugi::node_pcdata) {
        std::optional<std::string> text = Resolve(child.value(), child);
        if (!text) {
          return std::nullopt;
        }
        element.texts.emplace_back(element.children.size(), std::move(*text));
      } else if (child.type() == pugi::node_cdata) {
        element.texts.emplace_back(element.children.size(), child.value());
      }
    }
    return element;
  }

  const std::string& error() const { return error_; }

 private:
  std::optional<std::string> Resolve(std::string_view raw, const pugi::xml_node& where) {
    std::string problem;
    std::optional<std::string> text = ResolveReferences(raw, problem);
    if (!text) {
      const std::ptrdiff_t offset = where.offset_debug();
      error_ =
          AtLine(text_, offset < 0 ? text_.size() : static_cast<std::size_t>(offset)) + problem;
    }
    return text;
  }

  std::string_view text_;
  std::string error_;
};

void AppendText(const XmlElement& element, std::string& out) {
  auto run = element.texts.begin();
  for (std::size_t i = 0; i <= element.children.size(); ++i) {
    for (; run != element.texts.end() && run->first == i; ++run) {
      out += run->second;
    }
    if (i < element.children.size()) {
      AppendText(element.children[i], out);
    }
  }
}

bool Cp932Holds(std::string_view utf8) {
  try {
    static_cast<void>(Utf8ToCp932(utf8));
    return true;
  } catch (const TextEncodingError&) {
    return false;
  }
}

std::size_t Utf8Length(char lead) {
  const auto byte = static_cast<std::uint8_t>(lead);
  return byte < 0xC0 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
}

// "&#xD55C;" for a character of valid UTF-8 (the writer checks first).
std::string NumericReference(std::string_view character) {
  constexpr std::uint8_t kLeadMasks[] = {0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t c = static_cast<std::uint8_t>(character[0]) & kLeadMasks[character.size() - 1];
  for (const char trail : character.substr(1)) {
    c = (c << 6) | (static_cast<std::uint8_t>(trail) & 0x3Fu);
  }
  std::string digits;
  do {
    digits.insert(digits.begin(), "0123456789ABCDEF"[c % 16]);
    c /= 16;
  } while (c != 0);
  return "&#x" + digits + ";";
}

// Element text escaped for the file: a carriage return as a character
// reference, since reading turns every line end into LF, and a character
// Shift_JIS lacks as a character reference, so that the file stays Shift_JIS
// and every XML reader gives the character back.
void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  const bool allShiftJis = Cp932Holds(text);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8Length(text[i]);
    const std::string_view character = text.substr(i, length);
    i += length;
    if (length > 1) {
      out += allShiftJis || Cp932Holds(character) ? std::string(character)
                                                  : NumericReference(character);
      continue;
    }
    switch (character[0]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '"':
        out += attribute ? "&quot;" : "\"";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      default:
        out += character;
    }
  }
}

// Refuses text that no XML file could give back; whatever else it holds is
// written, through character references where Shift_JIS lacks a character.
void CheckCarriable(std::string_view element, std::string_view text) {
  if (const std::size_t bad = FirstBadCharacter(text); bad != std::string_view::npos) {
    throw XmlWriteError("the text of \"" + std::string(element) +
                        "\" holds a character XML cannot carry at byte " + std::to_string(bad));
  }
}

}  // namespace

std::string XmlTextProblem(std::string_view text) {
  try {
    CheckCarriable("text", text);
    Cp932Length(text);
  } catch (const XmlWriteError& error) {
    return error.what();
  } catch (const TextEncodingError& e) {
    return std::string("the text of \"text\" cannot be written in Shift_JIS: ") + e.what();
  }
  return {};
}

std::string XmlElement::Text() const {
  std::string text;
  AppendText(*this, text);
  return text;
}

std::optional<std::string> XmlElement::Attribute(std::string_view attributeName) const {
  for (const auto& [attribute, value] : attributes) {
    if (attribute == attributeName) {
      return value;
    }
  }
  return std::nullopt;
}

XmlDecodeResult DecodeXmlBytes(std::string_view bytes) {
  std::optional<std::string> text;
  std::string error;
  if (bytes.starts_with(kUtf16LeBom) || bytes.starts_with(kUtf16BeBom)) {
    const bool little = bytes.starts_with(kUtf16LeBom);
    text = IconvToUtf8(bytes.substr(2), little ? "UTF-16LE" : "UTF-16BE", error);
  } else if (bytes.starts_with(kUtf8Bom)) {
    text = std::string(bytes.substr(kUtf8Bom.size()));
  } else {
    const Declared declared = DeclaredEncoding(bytes);
    if (!declared.error.empty()) {
      return {std::nullopt, declared.error};
    }
    const std::string encoding = declared.encoding.value_or("UTF-8");
    if (IsOneOf(encoding, kUtf8Names)) {
      text = std::string(bytes);
    } else if (IsOneOf(encoding, kCp932Names)) {
      try {
        text = Cp932ToUtf8(bytes);
      } catch (const TextEncodingError& e) {
        error = "byte " + std::to_string(e.offset()) + " is not Shift_JIS text";
      }
    } else if (IsOneOf(encoding, kUtf16Names)) {
      error = "the file declares " + encoding + " but has no byte order mark";
    } else if (!IsEncodingName(encoding)) {
      error = "the declared encoding \"" + encoding.substr(0, 64) + "\" is not an encoding name";
    } else {
      text = IconvToUtf8(bytes, encoding, error);
    }
  }
  if (!text) {
    return {std::nullopt, std::move(error)};
  }
  if (const std::size_t bad = FirstBadCharacter(*text); bad != std::string_view::npos) {
    return {std::nullopt,
            AtLine(*text, bad) + "a byte that is not an XML character of the encoding"};
  }
  return {std::move(text), {}};
}

XmlParseResult ParseXmlDocument(std::string_view bytes) {
  XmlDecodeResult decoded = DecodeXmlBytes(bytes);
  if (!decoded.utf8) {
    return {std::nullopt, std::move(decoded.error)};
  }
  const std::string& text = *decoded.utf8;

  // References are resolved here rather than by the parser, so that an
  // undefined entity or a reference to a character such as NUL is refused
  // instead of cutting the text short. As a fragment, the parser shows text
  // and further elements beside the document element, which are refused.
  constexpr unsigned kOptions = pugi::parse_cdata | pugi::parse_eol | pugi::parse_wconv_attribute |
                                pugi::parse_ws_pcdata_single | pugi::parse_fragment;
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(text.data(), text.size(), kOptions, pugi::encoding_utf8);
  if (!parsed) {
    return {std::nullopt,
            AtLine(text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(parsed.offset, 0))) +
                "not well-formed XML: " + parsed.description()};
  }

  pugi::xml_node top;
  for (const pugi::xml_node& node : document.children()) {
    if (node.type() == pugi::node_element) {
      if (top) {
        return {std::nullopt, AtLine(text, static_cast<std::size_t>(node.offset_debug())) +
                                  "a second document element"};
      }
      top = node;
    } else if (node.type() == pugi::node_pcdata &&
               std::string_view(node.value()).find_first_not_of(kXmlBlanks) !=
                   std::string_view::npos) {
      return {std::nullopt, AtLine(text, static_cast<std::size_t>(node.offset_debug())) +
                                "text outside the document element"};
    }
  }
  if (!top) {
    return {std::nullopt, "there is no document element"};
  }
  if (MaxDepth(document) > kMaxXmlDepth) {
    return {std::nullopt, "elements are nested deeper than " + std::to_string(kMaxXmlDepth)};
  }
  TreeBuilder builder(text);
  std::optional<XmlElement> element = builder.Build(top);
  if (!element) {
    return {std::nullopt, builder.error()};
  }
  return {std::move(element), {}};
}

void XmlWriter::EndStartTag() {
  if (startTagOpen_) {
    utf8_ += '>';
    startTagOpen_ = false;
  }
}

void XmlWriter::Open(std::string_view name) {
  EndStartTag();
  utf8_ += '<';
  utf8_ += name;
  open_.emplace_back(name);
  startTagOpen_ = true;
}

void XmlWriter::Attribute(std::string_view name, std::string_view value) {
  if (!startTagOpen_) {
    throw std::logic_error("an attribute after the content of an element");
  }
  CheckCarriable(name, value);
  utf8_ += ' ';
  utf8_ += name;
  utf8_ += "=\"";
  AppendEscaped(utf8_, value, true);
  utf8_ += '"';
}

void XmlWriter::TextElement(std::string_view name, std::string_view text) {
  CheckCarriable(name, text);
  Open(name);
  if (!text.empty()) {
    EndStartTag();
    AppendEscaped(utf8_, text, false);
  }
  Close();
}

void XmlWriter::Close() {
  if (open_.empty()) {
    throw std::logic_error("no element is open");
  }
  if (startTagOpen_) {
    utf8_ += "/>";
    startTagOpen_ = false;
  } else {
    utf8_ += "</";
    utf8_ += open_.back();
    utf8_ += '>';
  }
  open_.pop_back();
}

std::string XmlWriter::Finish() const {
  if (!open_.empty() || startTagOpen_) {
    throw std::logic_error("an element is still open");
  }
  // Every text was escaped to characters Shift_JIS holds, so the conversion holds.
  return std::string(kXmlDeclaration) + "\r\n" + Utf8ToCp932(utf8_) + "\r\n";
}

std::int32_t ReadXmlInt32(std::string_view text) {
  const DecimalText number = ReadDecimal(text);
  if (number.negative) {
    return number.magnitude > kInt32MinMagnitude
               ? std::numeric_limits<std::int32_t>::min()
               : static_cast<std::int32_t>(-static_cast<std::int64_t>(number.magnitude));
  }
  if (number.magnitude > std::numeric_limits<std::uint32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  // "%u" of a negative value: the same 32 bits.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(number.magnitude));
}

std::uint32_t ReadXmlUint32(std::string_view text) {
  const DecimalText number = ReadDecimal(text);
  if (number.magnitude > std::numeric_limits<std::uint32_t>::max()) {
    return std::numeric_limits<std::uint32_t>::max();
  }
  const auto value = static_cast<std::uint32_t>(number.magnitude);
  return number.negative ? 0u - value : value;
}

}  // namespace harlune
