#include "protocol/utf16.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace harlune::protocol {
namespace {

TEST(Utf16, ConvertsBmpAndSupplementaryCharacters) {
  const std::string text = "eth0 日本 \xF0\x9F\x98\x80";  // with U+1F600
  const auto utf16 = Utf8ToUtf16(text);
  ASSERT_TRUE(utf16);
  EXPECT_EQ(*utf16, u"eth0 日本 \U0001F600");
  EXPECT_EQ(Utf16ToUtf8(*utf16), text);
}

TEST(Utf16, RefusesMalformedUtf8) {
  for (std::string_view bad : {"\xC0\x80", "\xED\xA0\x80", "\xE3\x81", "\xF5\x80\x80\x80", "\x80",
                               "a\xFF", "\xF4\x90\x80\x80", "\xE0\x80\xAF"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad))
        << testing::Hex(std::span(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size()));
  }
}

TEST(Utf16, RefusesUnpairedSurrogates) {
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t{0xD800})));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t{0xDC00})));
  EXPECT_FALSE(Utf16ToUtf8(std::u16string{char16_t{0xD800}, u'a'}));
}

TEST(Utf16, LittleEndianBytes) {
  EXPECT_EQ(testing::Hex(EncodeUtf16Le(u"A日")), "41 00 e5 65");
  const auto decoded = DecodeUtf16Le(testing::Unhex("41 00 e5 65"));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, u"A日");
  EXPECT_FALSE(DecodeUtf16Le(testing::Unhex("41 00 e5")));
}

}  // namespace
}  // namespace harlune::protocol
