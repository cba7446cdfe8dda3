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

TEST(FileTextEncoding, Utf8IsCheckedStrictly) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("ascii 日本 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"));
  for (std::string_view bad :
       {"\xC0\x80", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
        "\xF5\x80\x80\x80", "\xE3\x81", "\x80", "a\xFF", "\xE3\x81\x41"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << testing::PrintToString(bad);
  }
  // CP932 Japanese: its lead bytes are UTF-8 continuation bytes.
  EXPECT_FALSE(IsValidUtf8(Utf8ToCp932("設定ファイル")));
}

TEST(FileTextEncoding, AFileIsUtf8OnlyWhenItsNonAsciiBytesAreUtf8) {
  EXPECT_EQ(DetectFileTextEncoding("LOG=ログ\r\n"), FileTextEncoding::kUtf8);
  EXPECT_EQ(DetectFileTextEncoding("\xEF\xBB\xBFK=\x83\x8d\r\n"), FileTextEncoding::kUtf8);
  EXPECT_EQ(DetectFileTextEncoding("K=" + Utf8ToCp932("ログ") + "\r\nL=ログ\r\n"),
            FileTextEncoding::kCp932);
  EXPECT_EQ(DetectFileTextEncoding("K=v\r\n"), FileTextEncoding::kCp932);
  // A broken byte does not turn a UTF-8 file into a CP932 one.
  EXPECT_EQ(DetectFileTextEncoding("K=\x82\nL=ログ\n"), FileTextEncoding::kUtf8);
  EXPECT_EQ(DetectFileTextEncoding("K=\x82\n"), FileTextEncoding::kCp932);
  EXPECT_EQ(WithoutUtf8Bom("\xEF\xBB\xBFx"), "x");
  EXPECT_EQ(WithoutUtf8Bom("x\xEF\xBB\xBF"), "x\xEF\xBB\xBF");
}

TEST(FileTextEncoding, LinesDecodeByTheirFileAndFallBackToTheOtherEncoding) {
  const std::string log = Utf8ToCp932("ログ");
  EXPECT_EQ(DecodeFileLine("ログ", FileTextEncoding::kUtf8), "ログ");
  EXPECT_EQ(DecodeFileLine(log, FileTextEncoding::kUtf8), "ログ") << "CP932 inside a UTF-8 file";
  EXPECT_EQ(DecodeFileLine(log, FileTextEncoding::kCp932), "ログ");
  // UTF-8 "ログ" is valid CP932 too: in a CP932 file it is CP932 text.
  EXPECT_NE(DecodeFileLine("ログ", FileTextEncoding::kCp932), "ログ");
  EXPECT_EQ(DecodeFileLine("日本語", FileTextEncoding::kCp932), "日本語") << "not CP932";
  EXPECT_EQ(DecodeFileLine("café", FileTextEncoding::kCp932), "café") << "CP932 lacks é";
  EXPECT_FALSE(DecodeFileLine("a\xFD", FileTextEncoding::kCp932).has_value());
  EXPECT_FALSE(DecodeFileLine("a\xFD", FileTextEncoding::kUtf8).has_value());
}

TEST(FileTextEncoding, LinesAreEncodedSoThatTheyReadBackTheSame) {
  EXPECT_EQ(EncodeFileLine("K=ログ").bytes, "K=" + Utf8ToCp932("ログ"));
  EXPECT_FALSE(EncodeFileLine("K=ログ").keptInUtf8);
  const EncodedFileLine emoji = EncodeFileLine("K=\xF0\x9F\x98\x80");
  EXPECT_EQ(emoji.bytes, "K=\xF0\x9F\x98\x80");
  EXPECT_TRUE(emoji.keptInUtf8);
  // "ﾃｱ" in CP932 (C3 B1) would read as the UTF-8 "ñ": kept in UTF-8,
  // though CP932 has it.
  const EncodedFileLine katakana = EncodeFileLine("ﾃｱ");
  EXPECT_EQ(katakana.bytes, "ﾃｱ");
  EXPECT_FALSE(katakana.keptInUtf8);
  EXPECT_EQ(DecodeFileLine(katakana.bytes, FileTextEncoding::kCp932), "ﾃｱ");
}

}  // namespace
}  // namespace harlune
