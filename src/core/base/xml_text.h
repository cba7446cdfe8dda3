#pragma once

// The XML settings files (PacketFilterSetting.xml, HtbSetting.xml) as text:
// reading their bytes into a plain element tree, and writing a document as
// the bytes the Windows build writes.
//
// Reading honours the encoding the file declares: Shift_JIS (CP932) and its
// aliases, UTF-8 (also when nothing is declared), UTF-16 with a byte order
// mark, and any other encoding iconv knows. A file that is not well-formed
// XML, holds bytes that are not text of its encoding, characters XML does not
// allow, an undefined entity, more than one document element or elements
// nested deeper than kMaxXmlDepth is refused with the reason; nothing in it
// is dropped or replaced on the way.
//
// Writing produces CP932 bytes, byte for byte what the Windows build's
// document object model saves:
//   <?xml version='1.0' encoding='Shift_JIS'?> CR LF
//   the document element, without indentation or line breaks, CR LF
// Text is escaped as &amp; &lt; &gt;; a carriage return is written as
// &#13; so that reading (which turns line ends into LF) gives it back. An
// element without text is written <Comment/>. A character Shift_JIS lacks
// (Hangul, an emoji, one CP932 would turn into a look-alike) is written as a
// character reference such as &#xD55C;, so the file stays Shift_JIS and any
// XML reader gives the character back; a text that is all Shift_JIS is
// written as before. Text that XML cannot carry at all (C0 controls other
// than tab, CR and LF; bytes that are not UTF-8) is refused with
// XmlWriteError naming the element: it is never written half or replaced.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace harlune {

// The first line of every XML settings file, as the Windows build writes it
// (its processing instruction "xml" with the data given in single quotes).
inline constexpr std::string_view kXmlDeclaration = "<?xml version='1.0' encoding='Shift_JIS'?>";

// Elements nested deeper than this are refused when reading.
inline constexpr std::size_t kMaxXmlDepth = 256;

// An element of a document read from a file. Names, attribute values and
// text are UTF-8 with entities and character references resolved.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // document order
  std::vector<XmlElement> children;                             // child elements in order
  // Text directly inside the element, each run with the number of child
  // elements that come before it.
  std::vector<std::pair<std::size_t, std::string>> texts;

  // All the text inside the element and its descendants, in document order
  // (what the document object model calls the element's text).
  std::string Text() const;

  // The value of the first attribute with that name, or nothing.
  std::optional<std::string> Attribute(std::string_view attributeName) const;
};

struct XmlParseResult {
  std::optional<XmlElement> document;  // the document element when the bytes parsed
  std::string error;                   // why not, naming the line where it can
};

// Reads a whole file's bytes.
XmlParseResult ParseXmlDocument(std::string_view bytes);

struct XmlDecodeResult {
  std::optional<std::string> utf8;  // the document as UTF-8, without a byte order mark
  std::string error;
};

// Turns a file's bytes into UTF-8 by the encoding its byte order mark or
// declaration names (the declaration itself is left as it is). Refuses bytes
// that do not decode and characters XML does not allow anywhere.
XmlDecodeResult DecodeXmlBytes(std::string_view bytes);

// Why a settings document could not hold `text` as an element's text (a
// character XML cannot carry, or one Shift_JIS lacks); empty when it can.
// Editors ask this before they accept a value.
std::string XmlTextProblem(std::string_view text);

// Text that a settings document cannot hold.
class XmlWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds a settings document element by element.
class XmlWriter {
 public:
  // Starts an element inside the one that is open (or the document element).
  void Open(std::string_view name);
  // Adds an attribute to the element just opened, before anything inside it.
  void Attribute(std::string_view name, std::string_view value);
  // An element holding only the text: <name>text</name>, or <name/>.
  void TextElement(std::string_view name, std::string_view text);
  // Ends the element opened last.
  void Close();

  // The file's bytes. Every element must be closed.
  std::string Finish() const;

 private:
  void EndStartTag();

  std::string utf8_;
  std::vector<std::string> open_;
  bool startTagOpen_ = false;
};

// Element text as a number, the way the Windows build reads it: blanks
// before it are skipped, then an optional sign and decimal digits up to the
// first other character; no digits read as 0. Both read every value that
// "%d" or "%u" writes, wrapping around 32 bits the way "%u" writes a
// negative value (so "4294967295" reads as -1 and "-1" as 4294967295);
// values beyond 32 bits give the nearest limit.
std::int32_t ReadXmlInt32(std::string_view text);
std::uint32_t ReadXmlUint32(std::string_view text);

}  // namespace harlune
