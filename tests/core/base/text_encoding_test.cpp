#include "core/base/text_encoding.h"

#include <thread>

#include <gtest/gtest.h>

namespace harlune {
namespace {

TEST(TextEncoding, JapaneseTextRoundTripsThroughCp932) {
  const std::string text = "日本語のフィルタ ABC";
  const std::string cp932 = Utf8ToCp932(text);
  EXPECT_EQ(cp932.substr(0, 6), "\x93\xfa\x96\x7b\x8c\xea");
  EXPECT_EQ(Cp932ToUtf8(cp932), text);
  EXPECT_EQ(Cp932Length("指定無し"), 8U);
  EXPECT_EQ(Cp932Length(""), 0U);
}

TEST(TextEncoding, UsesTheWindowsCodePageNotPlainShiftJis) {
  // The full-width tilde and the circled digit exist only in the Windows table.
  EXPECT_EQ(Utf8ToCp932("～"), "\x81\x60");
  EXPECT_EQ(Utf8ToCp932("①"), "\x87\x40");
  EXPECT_EQ(Cp932ToUtf8("\x81\x60"), "～");
}

TEST(TextEncoding, CharacterOutsideCp932IsAnErrorWithItsOffset) {
  try {
    Utf8ToCp932("ab\xF0\x9F\x98\x80");
    FAIL() << "an emoji converted to CP932";
  } catch (const TextEncodingError& error) {
    EXPECT_EQ(error.offset(), 2U);
  }
}

TEST(TextEncoding, LookAlikeThatWouldReadBackDifferentlyIsRefused) {
  // CP932 stores U+00A3 under the code of the full-width U+FFE1.
  EXPECT_EQ(Cp932ToUtf8("\x81\x92"), "￡");
  try {
    Utf8ToCp932("ab\xC2\xA3");
    FAIL() << "a pound sign was written as a different character";
  } catch (const TextEncodingError& error) {
    EXPECT_EQ(error.offset(), 2U);
  }
  EXPECT_EQ(Utf8ToCp932("￡"), "\x81\x92");
}

TEST(TextEncoding, MalformedInputIsAnError) {
  EXPECT_THROW(Utf8ToCp932("a\xFF"), TextEncodingError);
  EXPECT_THROW(Cp932ToUtf8("ok\x82"), TextEncodingError);    // lead byte at the end
  EXPECT_THROW(Cp932ToUtf8("\x81\x20"), TextEncodingError);  // lead byte, bad trail
}

TEST(TextEncoding, ConverterRecoversAfterAFailure) {
  EXPECT_THROW(Cp932ToUtf8("\x82"), TextEncodingError);
  EXPECT_EQ(Cp932ToUtf8("\x82\xa0"), "あ");
}

TEST(TextEncoding, LongTextsGrowTheOutput) {
  const std::string text(10000, 'x');
  EXPECT_EQ(Cp932ToUtf8(Utf8ToCp932(text + "あ")), text + "あ");
  std::string kana;
  for (int i = 0; i < 3000; ++i) kana += "ｱ";  // 3 bytes in UTF-8, 1 in CP932, and back
  EXPECT_EQ(Cp932ToUtf8(Utf8ToCp932(kana)), kana);
}

TEST(TextEncoding, CutsToCp932BytesBetweenCharacters) {
  EXPECT_EQ(CutToCp932Bytes("abcあい", 7), "abcあい");
  EXPECT_EQ(CutToCp932Bytes("abcあい", 6), "abcあ");  // い would end at byte 7
  EXPECT_EQ(CutToCp932Bytes("abcあい", 5), "abcあ");
  EXPECT_EQ(CutToCp932Bytes("ｱｲｳ", 2), "ｱｲ");  // half-width kana: one byte each
  EXPECT_EQ(CutToCp932Bytes("", 0), "");
  // Without a CP932 form the cut falls between UTF-8 characters.
  EXPECT_EQ(CutToCp932Bytes("a\xF0\x9F\x98\x80", 3), "a");
  EXPECT_EQ(CutToCp932Bytes("a\xF0\x9F\x98\x80", 5), "a\xF0\x9F\x98\x80");
}

TEST(TextEncoding, ThreadsConvertIndependently) {
  std::string fromThread;
  std::thread worker([&fromThread] { fromThread = Cp932ToUtf8(Utf8ToCp932("スレッド")); });
  worker.join();
  EXPECT_EQ(fromThread, "スレッド");
}

}  // namespace
}  // namespace harlune
