#include "core/base/xml_text.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/text_encoding.h"

namespace harlune {
namespace {

const std::string kNihongo = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語 in CP932
const std::string kSo = "\x83\x5c";                       // ソ: trail byte is "\"
const std::string kSjisDeclaration = "<?xml version='1.0' encoding='Shift_JIS'?>\r\n";

std::string MustDecode(const std::string& bytes) {
  const XmlDecodeResult result = DecodeXmlBytes(bytes);
  EXPECT_TRUE(result.utf8.has_value()) << result.error;
  return result.utf8.value_or("");
}

XmlElement MustParse(const std::string& bytes) {
  XmlParseResult result = ParseXmlDocument(bytes);
  EXPECT_TRUE(result.document.has_value()) << result.error;
  return result.document.value_or(XmlElement{});
}

std::string ParseError(const std::string& bytes) {
  const XmlParseResult result = ParseXmlDocument(bytes);
  EXPECT_FALSE(result.document.has_value()) << bytes;
  EXPECT_FALSE(result.error.empty());
  return result.error;
}

TEST(XmlTextDecode, FollowsTheDeclaredEncoding) {
  EXPECT_EQ(MustDecode(kSjisDeclaration + "<a>" + kNihongo + kSo + "</a>"),
            kSjisDeclaration + "<a>日本語ソ</a>");
  // Every spelling of CP932, in any case.
  for (const std::string& name :
       std::vector<std::string>{"SHIFT_JIS", "windows-31j", "CP932", "x-sjis"}) {
    EXPECT_EQ(
        MustDecode("<?xml version=\"1.0\" encoding=\"" + name + "\"?><a>" + kNihongo + "</a>"),
        "<?xml version=\"1.0\" encoding=\"" + name + "\"?><a>日本語</a>");
  }
  EXPECT_EQ(MustDecode("<?xml version='1.0' encoding='UTF-8'?><a>日本語</a>"),
            "<?xml version='1.0' encoding='UTF-8'?><a>日本語</a>");
  EXPECT_EQ(MustDecode("<a>日本語</a>"), "<a>日本語</a>");  // no declaration: UTF-8
  EXPECT_EQ(MustDecode("<?xml version='1.0'?><a/>"), "<?xml version='1.0'?><a/>");
  EXPECT_EQ(MustDecode("\xEF\xBB\xBF<a>日</a>"), "<a>日</a>");
  EXPECT_EQ(MustDecode("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xE9</a>"),
            "<?xml version='1.0' encoding='ISO-8859-1'?><a>é</a>");
}

TEST(XmlTextDecode, TakesUtf16ByItsByteOrderMark) {
  const std::string little("\xFF\xFE<\0a\0>\0\xE5\x65<\0/\0a\0>\0", 18);
  const std::string big("\xFE\xFF\0<\0a\0>\x65\xE5\0<\0/\0a\0>", 18);
  EXPECT_EQ(MustDecode(little), "<a>日</a>");
  EXPECT_EQ(MustDecode(big), "<a>日</a>");
  EXPECT_EQ(MustParse(little).Text(), "日");
}

TEST(XmlTextDecode, RefusesBytesItCannotDecode) {
  const auto error = [](const std::string& bytes) {
    const XmlDecodeResult result = DecodeXmlBytes(bytes);
    EXPECT_FALSE(result.utf8.has_value()) << bytes;
    return result.error;
  };
  EXPECT_NE(error(kSjisDeclaration + "<a>\x82</a>").find("byte 47"), std::string::npos);
  EXPECT_FALSE(error("<a>" + kNihongo + "</a>").empty());  // CP932 without a declaration
  EXPECT_FALSE(error("<?xml version='1.0' encoding='no-such-encoding'?><a/>").empty());
  // An iconv suffix would drop what does not convert.
  EXPECT_FALSE(error("<?xml version='1.0' encoding='UTF-8//IGNORE'?><a/>").empty());
  EXPECT_FALSE(error("<?xml version='1.0' encoding='UTF-16'?><a/>").empty());
  EXPECT_FALSE(error("<?xml version='1.0' encoding=Shift_JIS?><a/>").empty());
  EXPECT_FALSE(error("<?xml version='1.0' encoding='Shift_JIS'").empty());
  EXPECT_FALSE(error(std::string("<a>\0</a>", 8)).empty());
  EXPECT_FALSE(error("<a>\x01</a>").empty());
  EXPECT_FALSE(error("<a>\xED\xA0\x80</a>").empty());  // a surrogate
}

TEST(XmlTextParse, BuildsTheElementTreeWithText) {
  const XmlElement root = MustParse(kSjisDeclaration +
                                    "<!-- note --><Root version=\"1000\" v='a&amp;b'>\r\n"
                                    "  <Name>x &lt;&gt;&amp;&quot;&apos;&#x41;&#66;</Name>\r\n"
                                    "  <Blank>  </Blank><Empty/><Mixed>a<b>x<![CDATA[<y>]]></b>c"
                                    "</Mixed><?pi data?>\r\n"
                                    "  <Crlf>a&#13;\r\nb\rc</Crlf>\r\n</Root>\r\n");
  EXPECT_EQ(root.name, "Root");
  EXPECT_EQ(root.Attribute("version"), "1000");
  EXPECT_EQ(root.Attribute("v"), "a&b");
  EXPECT_EQ(root.Attribute("none"), std::nullopt);
  ASSERT_EQ(root.children.size(), 5u);
  EXPECT_EQ(root.children[0].Text(), "x <>&\"'AB");
  EXPECT_EQ(root.children[1].Text(), "  ");  // a text of blanks is a text
  EXPECT_EQ(root.children[2].Text(), "");
  EXPECT_EQ(root.children[3].Text(), "ax<y>c");
  EXPECT_EQ(root.children[4].Text(), "a\r\nb\nc");
}

TEST(XmlTextParse, RefusesDamagedDocuments) {
  EXPECT_EQ(ParseError(""), "there is no document element");
  EXPECT_EQ(ParseError(kSjisDeclaration), "there is no document element");
  EXPECT_NE(ParseError(kSjisDeclaration + "<Root>\r\n<a>\r\n</Root>").find("line 4"),
            std::string::npos);
  ParseError("<Root/><Root/>");
  ParseError("<Root/>junk");
  ParseError("<a x=1/>");
  EXPECT_NE(ParseError("<a>&nbsp;</a>").find("&nbsp;"), std::string::npos);
  ParseError("<a>&#0;x</a>");  // would cut the text short
  ParseError("<a>&#xD800;</a>");
  ParseError("<a>a & b</a>");
  ParseError("<a v='&bogus;'/>");

  std::string deep;
  for (std::size_t i = 0; i < kMaxXmlDepth; ++i) {
    deep = "<e>" + deep + "</e>";
  }
  MustParse(deep);
  EXPECT_NE(ParseError("<e>" + deep + "</e>").find("nested"), std::string::npos);
}

TEST(XmlTextWrite, WritesTheBytesOfTheWindowsBuild) {
  XmlWriter xml;
  xml.Open("Root");
  xml.Attribute("version", "1000");
  xml.TextElement("Name", "日本語ソ");
  xml.TextElement("Comment", "");
  xml.TextElement("Text", "a<b>&c \"q\"\tx\r\ny");
  xml.Open("Children");
  xml.Close();
  xml.Close();
  const std::string bytes = xml.Finish();
  EXPECT_EQ(bytes, "<?xml version='1.0' encoding='Shift_JIS'?>\r\n<Root version=\"1000\"><Name>" +
                       kNihongo + kSo +
                       "</Name><Comment/><Text>a&lt;b&gt;&amp;c \"q\"\tx&#13;\ny</Text>"
                       "<Children/></Root>\r\n");
  const XmlElement back = MustParse(bytes);
  EXPECT_EQ(back.children[0].Text(), "日本語ソ");
  EXPECT_EQ(back.children[2].Text(), "a<b>&c \"q\"\tx\r\ny");
}

TEST(XmlTextWrite, CharactersShiftJisLacksBecomeReferencesAndReadBack) {
  XmlWriter xml;
  xml.Open("Root");
  xml.Attribute("note", "한");
  xml.TextElement("Name", "日本 한국 café 😀 <&>");
  xml.Close();
  const std::string bytes = xml.Finish();
  EXPECT_EQ(bytes, kSjisDeclaration + "<Root note=\"&#xD55C;\"><Name>" + Utf8ToCp932("日本") +
                       " &#xD55C;&#xAD6D; caf&#xE9; &#x1F600; &lt;&amp;&gt;</Name></Root>\r\n");
  const XmlElement back = MustParse(bytes);
  EXPECT_EQ(back.Attribute("note"), "한");
  EXPECT_EQ(back.children[0].Text(), "日本 한국 café 😀 <&>");
  // Editors still refuse what CP932 lacks, as before.
  EXPECT_FALSE(XmlTextProblem("😀").empty());
}

TEST(XmlTextWrite, RefusesTextXmlCannotCarry) {
  XmlWriter xml;
  xml.Open("Root");
  try {
    xml.TextElement("Name", "bell \x07");
    FAIL() << "a control character was written";
  } catch (const XmlWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("\"Name\""), std::string::npos) << e.what();
  }
  EXPECT_THROW(xml.TextElement("Comment", "bell \x07"), XmlWriteError);
  EXPECT_THROW(xml.TextElement("Comment", "\xFF"), XmlWriteError);
  EXPECT_THROW(xml.Finish(), std::logic_error);  // Root is still open
  xml.Close();
  EXPECT_EQ(xml.Finish(), kSjisDeclaration + "<Root/>\r\n");
}

TEST(XmlTextNumbers, ReadAsTheWindowsBuildReadsThem) {
  EXPECT_EQ(ReadXmlInt32("42"), 42);
  EXPECT_EQ(ReadXmlInt32("  -7xyz"), -7);
  EXPECT_EQ(ReadXmlInt32("+5"), 5);
  EXPECT_EQ(ReadXmlInt32(""), 0);
  EXPECT_EQ(ReadXmlInt32("abc"), 0);
  EXPECT_EQ(ReadXmlInt32("4294967295"), -1);  // what "%u" writes for -1
  EXPECT_EQ(ReadXmlInt32("2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadXmlInt32("99999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ReadXmlInt32("-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadXmlInt32("-99999999999"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ReadXmlUint32("4294967295"), 4294967295u);
  EXPECT_EQ(ReadXmlUint32("3000000000"), 3000000000u);
  EXPECT_EQ(ReadXmlUint32("-1"), 4294967295u);
  EXPECT_EQ(ReadXmlUint32("4294967296"), 4294967295u);
  EXPECT_EQ(ReadXmlUint32(" 12 "), 12u);
}

}  // namespace
}  // namespace harlune
