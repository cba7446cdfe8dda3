#include "core/base/profile_file.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace harlune {
namespace {

using Entries = std::vector<ProfileEntry>;
using Names = std::vector<std::string>;

// CP932 bytes of the Japanese texts used below.
const std::string kNihongo = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語
const std::string kSettei = "\x90\xdd\x92\xe8";           // 設定
const std::string kSo = "\x83\x5c";                       // ソ: trail byte is "\"
const std::string kChouon = "\x81\x5b";                   // ー: trail byte is "["
const std::string kHyphen = "\x81\x5d";                   // ‐: trail byte is "]"
const std::string kNecNearlyEqual = "\x87\x90";           // ≒ of the NEC row, which
                                                          // converts back as 81 e0

ProfileFile MustParse(const std::string& bytes) {
  ProfileParseResult result = ProfileFile::Parse(bytes);
  EXPECT_TRUE(result.file.has_value()) << result.error;
  return result.file ? std::move(*result.file) : ProfileFile{};
}

TEST(ProfileFileRead, TrimsNamesAndValuesAndDecodesJapanese) {
  const ProfileFile ini = MustParse(
      "[ GeneralSetting ]\r\n  AUTO_SAVE =  TRUE \t\r\nCOMMENT=" + kNihongo + "\r\nEMPTY=\r\n");
  EXPECT_EQ(ini.SectionNames(), Names{"GeneralSetting"});
  EXPECT_EQ(ini.Section("GeneralSetting"),
            (Entries{{"AUTO_SAVE", "TRUE"}, {"COMMENT", "日本語"}, {"EMPTY", ""}}));
  EXPECT_EQ(ini.Find("GeneralSetting", "EMPTY"), "");
  EXPECT_EQ(ini.Find("GeneralSetting", "MISSING"), std::nullopt);
  EXPECT_EQ(ini.Find("Other", "AUTO_SAVE"), std::nullopt);
}

TEST(ProfileFileRead, SplitsOnTextNotOnBytesThatLookLikeBrackets) {
  // Trail bytes of double-byte characters may equal "\", "[" and "]".
  const ProfileFile ini = MustParse("[" + kSo + kChouon + "]\r\n" + kSo + "=" + kHyphen + "]" +
                                    "\r\n[" + kHyphen + "]\r\nPATH=.\\log\\" + kSo + "\r\n");
  EXPECT_EQ(ini.SectionNames(), (Names{"ソー", "‐"}));
  EXPECT_EQ(ini.Section("ソー"), (Entries{{"ソ", "‐]"}}));
  EXPECT_EQ(ini.Find("‐", "PATH"), ".\\log\\ソ");
}

TEST(ProfileFileRead, ValueRunsToTheEndOfTheLineWithCommasAndEquals) {
  const ProfileFile ini =
      MustParse("[GeneralSetting]\r\nCONNECTION_STATS_LOG_FORMAT=[%Hour%,%LocalAddr%, a=b,,\r\n");
  EXPECT_EQ(ini.Find("GeneralSetting", "CONNECTION_STATS_LOG_FORMAT"),
            "[%Hour%,%LocalAddr%, a=b,,");
}

TEST(ProfileFileRead, AcceptsEveryLineEndAndWritesCrlf) {
  const Entries expected{{"A", "1"}, {"B", "2"}, {"C", "3"}};
  EXPECT_EQ(MustParse("[S]\r\nA=1\nB=2\r\nC=3").Section("S"), expected);
  EXPECT_EQ(MustParse("[S]\r\nA=1\r\nB=2\r\nC=3\r").Section("S"), expected);
  const ProfileFile lfOnly = MustParse("[S]\nA=1\n\nB=2\nC=3\n");
  EXPECT_EQ(lfOnly.Section("S"), expected);
  EXPECT_EQ(lfOnly.Serialize(), "[S]\r\nA=1\r\n\r\nB=2\r\nC=3\r\n");
  EXPECT_EQ(MustParse("").Serialize(), "");
}

TEST(ProfileFileRead, NamesMatchWithoutRegardToAsciiCase) {
  const ProfileFile ini = MustParse("[GeneralSetting]\r\nAuto_Save=TRUE\r\n[\xb6\xc5]\r\nk=v\r\n");
  EXPECT_TRUE(ini.HasSection("GENERALSETTING"));
  EXPECT_EQ(ini.Find("generalsetting", "AUTO_SAVE"), "TRUE");
  EXPECT_EQ(ini.Section("generalSETTING"), (Entries{{"Auto_Save", "TRUE"}}));
  EXPECT_EQ(ini.Find("ｶﾅ", "K"), "v");
  EXPECT_FALSE(ini.HasSection("GeneralSettings"));
}

TEST(ProfileFileRead, FirstOccurrenceWinsAndSectionsOfOneNameReadAsOne) {
  const ProfileFile ini = MustParse(
      "[DynamicFilter1]\r\nTARGET_FILTER_ID=3\r\ntarget_filter_id=5\r\n[Other]\r\nX=1\r\n"
      "[dynamicfilter1]\r\nTARGET_FILTER_ID=7\r\nCOMMENT=c\r\n");
  EXPECT_EQ(ini.SectionNames(), (Names{"DynamicFilter1", "Other"}));
  EXPECT_EQ(ini.Find("DynamicFilter1", "TARGET_FILTER_ID"), "3");
  EXPECT_EQ(ini.Find("DynamicFilter1", "COMMENT"), "c");
  EXPECT_EQ(ini.Section("DynamicFilter1"), (Entries{{"TARGET_FILTER_ID", "3"},
                                                    {"target_filter_id", "5"},
                                                    {"TARGET_FILTER_ID", "7"},
                                                    {"COMMENT", "c"}}));
}

TEST(ProfileFileRead, LinesThatAreNotKeysAreNotReturnedButKept) {
  const std::string bytes =
      "BEFORE=section\r\n[S]\r\n; NOTE=comment\r\nno equals sign\r\n=no key\r\n[not a header\r\n"
      "KEY=1\r\n";
  const ProfileFile ini = MustParse(bytes);
  EXPECT_EQ(ini.SectionNames(), Names{"S"});
  EXPECT_EQ(ini.Section("S"), (Entries{{"KEY", "1"}}));
  EXPECT_EQ(ini.Lines(), (Names{"BEFORE=section", "[S]", "; NOTE=comment", "no equals sign",
                                "=no key", "[not a header", "KEY=1"}));
  EXPECT_EQ(ini.Serialize(), bytes);
}

TEST(ProfileFileRead, ReadStringDropsAPairOfQuotesAndFallsBackToTheDefault) {
  const ProfileFile ini =
      MustParse("[S]\r\nD=\"a b\"\r\nS='x'\r\nMIXED=\"x'\r\nONE=\"\r\nINNER=a\"b\"\r\n");
  EXPECT_EQ(ini.ReadString("S", "D", "-"), "a b");
  EXPECT_EQ(ini.ReadString("S", "S", "-"), "x");
  EXPECT_EQ(ini.ReadString("S", "MIXED", "-"), "\"x'");
  EXPECT_EQ(ini.ReadString("S", "ONE", "-"), "\"");
  EXPECT_EQ(ini.ReadString("S", "INNER", "-"), "a\"b\"");
  EXPECT_EQ(ini.ReadString("S", "ABSENT", "fallback"), "fallback");
  EXPECT_EQ(ini.Find("S", "D"), "\"a b\"");
}

TEST(ProfileFileRead, ALineInNeitherEncodingCostsOnlyThatLine) {
  const std::string bytes = "[S]\r\nA=1\r\nB=ok\x82\r\nC=3\r\n";
  const ProfileParseResult cut = ProfileFile::Parse(bytes);
  ASSERT_TRUE(cut.file.has_value());
  EXPECT_EQ(cut.undecodableLines, (std::vector<std::size_t>{3}));
  EXPECT_EQ(cut.errorLine, 3U);
  EXPECT_NE(cut.error.find("line 3"), std::string::npos) << cut.error;
  EXPECT_EQ(cut.file->Section("S"), (Entries{{"A", "1"}, {"C", "3"}}));
  EXPECT_FALSE(cut.file->Find("S", "B").has_value());
  EXPECT_EQ(cut.file->Serialize(), bytes) << "the bad line is written back as it was";

  // A bad section line starts a section that no name finds: its keys are not
  // taken for the section before it.
  const ProfileParseResult header = ProfileFile::Parse("[S]\nA=1\n[T\xfd]\nA=2\nB=3\n");
  EXPECT_EQ(header.undecodableLines, (std::vector<std::size_t>{3}));
  EXPECT_EQ(header.file->SectionNames(), Names{"S"});
  EXPECT_EQ(header.file->Section("S"), (Entries{{"A", "1"}}));
  EXPECT_FALSE(header.file->HasSection("T?"));

  EXPECT_EQ(ProfileFile::Parse("[S]\n\x81\x20=1\nK=v\n").file->Find("S", "K"), "v");
  EXPECT_EQ(ProfileFile::Parse("\xfd").undecodableLines, (std::vector<std::size_t>{1}));
  EXPECT_TRUE(ProfileFile::Parse("[S]\r\nA=1\r\n").undecodableLines.empty());
}

TEST(ProfileFileRead, Utf8FilesReadAsUtf8EvenWhereTheBytesWouldPassForCp932) {
  // "ログ" and "あい" in UTF-8 are also valid CP932 byte pairs (mojibake).
  const ProfileFile ini = MustParse("[S]\r\nLOG=ログ\r\nK=あい\r\nEMOJI=\xF0\x9F\x98\x80\r\n");
  EXPECT_EQ(ini.Find("S", "LOG"), "ログ");
  EXPECT_EQ(ini.Find("S", "K"), "あい");
  EXPECT_EQ(ini.Find("S", "EMOJI"), "\xF0\x9F\x98\x80");

  // A byte order mark is dropped and makes the file UTF-8.
  EXPECT_EQ(MustParse("\xEF\xBB\xBF[S]\r\nK=設定\r\n").Find("S", "K"), "設定");

  // A CP932 file stays CP932; a UTF-8 line added to it by an editor reads
  // as UTF-8 where CP932 cannot read it, or where it holds what CP932 lacks.
  const ProfileFile mixed =
      MustParse("[S]\r\nA=" + kNihongo + "\r\nB=日本語\r\nC=café\r\nD=\xF0\x9F\x98\x80\r\n");
  EXPECT_EQ(mixed.Find("S", "A"), "日本語");
  EXPECT_EQ(mixed.Find("S", "B"), "日本語");
  EXPECT_EQ(mixed.Find("S", "C"), "café");
  EXPECT_EQ(mixed.Find("S", "D"), "\xF0\x9F\x98\x80");
}

TEST(ProfileFileWrite, AUtf8FileIsWrittenBackInCp932WhereEveryCharacterFits) {
  ProfileFile ini =
      MustParse("; 設定\r\n[S]\r\nA=ログ\r\nB=café\r\n[絵\xF0\x9F\x98\x80]\r\nC=1\r\n");
  EXPECT_EQ(ini.UnconvertibleKeys(),
            (std::vector<ProfileKeyName>{{"S", "B"}, {"絵\xF0\x9F\x98\x80", ""}}));
  const std::string written = ini.Serialize();
  EXPECT_EQ(written, "; " + kSettei + "\r\n[S]\r\nA=\x83\x8d\x83\x4f\r\nB=café\r\n" +
                         "[絵\xF0\x9F\x98\x80]\r\nC=1\r\n");

  // The mixed file reads back the same, and writes the same again.
  const ProfileFile again = MustParse(written);
  EXPECT_EQ(again.Lines(), ini.Lines());
  EXPECT_EQ(again.Find("S", "A"), "ログ");
  EXPECT_EQ(again.Find("S", "B"), "café");
  EXPECT_EQ(again.Find("絵\xF0\x9F\x98\x80", "C"), "1");
  EXPECT_EQ(again.Serialize(), written);
  EXPECT_EQ(again.UnconvertibleKeys(), ini.UnconvertibleKeys());

  // A value written over the UTF-8 one leaves nothing unconvertible.
  ASSERT_TRUE(ini.WriteString("S", "B", "cafe").ok());
  EXPECT_EQ(ini.UnconvertibleKeys(), (std::vector<ProfileKeyName>{{"絵\xF0\x9F\x98\x80", ""}}));
}

TEST(ProfileFileWrite, ACp932FormThatWouldReadAsUtf8IsWrittenInUtf8) {
  // Half-width "ﾃｱ" is C3 B1 in CP932: the UTF-8 of "ñ".
  ProfileFile ini;
  ASSERT_TRUE(ini.WriteString("S", "K", "ﾃｱ").ok());
  EXPECT_EQ(MustParse(ini.Serialize()).Find("S", "K"), "ﾃｱ");
  ASSERT_TRUE(ini.WriteString("S", "J", "設定").ok());
  EXPECT_EQ(MustParse(ini.Serialize()).Find("S", "K"), "ﾃｱ");
  EXPECT_NE(ini.Serialize().find(kSettei), std::string::npos);
}

TEST(ProfileFileWrite, NewDocumentSerialisesToCp932WithCrlf) {
  ProfileFile ini;
  ASSERT_TRUE(ini.WriteString("Common Settings", "FileVersion", "1500").ok());
  ASSERT_TRUE(ini.WriteString("ConnectionControlRule1", "Name", "日本語").ok());
  ASSERT_TRUE(ini.WriteString("ConnectionControlRule1", "Comment", "設定,ソ=1").ok());
  ASSERT_TRUE(ini.WriteString("common settings", "RecordLog", "TRUE").ok());
  EXPECT_EQ(ini.Serialize(),
            "[Common Settings]\r\nFileVersion=1500\r\nRecordLog=TRUE\r\n"
            "[ConnectionControlRule1]\r\nName=" +
                kNihongo + "\r\nComment=" + kSettei + "," + kSo + "=1\r\n");
}

TEST(ProfileFileWrite, RewriteKeepsEveryUntouchedLineByteForByte) {
  const std::string prelude = "; written by hand\r\n";
  const std::string general = "[GeneralSetting]\r\nAUTO_SAVE = TRUE\r\nMARK=" + kNecNearlyEqual +
                              "\r\nNAME=" + kNihongo + "\r\n\r\n";
  const std::string older = "[PacketFilter1]\r\nCOMMENT=" + kSettei + "\r\nstray line\r\n";
  ProfileFile ini = MustParse(prelude + general + older);
  ASSERT_TRUE(ini.WriteString("GeneralSetting", "NAME", "設定").ok());
  EXPECT_EQ(ini.Serialize(), prelude + "[GeneralSetting]\r\nAUTO_SAVE = TRUE\r\nMARK=" +
                                 kNecNearlyEqual + "\r\nNAME=" + kSettei + "\r\n\r\n" + older);
  EXPECT_EQ(ini.Find("GeneralSetting", "MARK"), "≒");
}

TEST(ProfileFileWrite, ReplacesInPlaceAppendsToTheSectionOrAddsTheSectionLast) {
  ProfileFile ini = MustParse("[A]\r\nx=1\r\ny=2\r\n; end of A\r\n\r\n[B]\r\nz=3\r\n");
  ASSERT_TRUE(ini.WriteString("a", "X", "10").ok());
  ASSERT_TRUE(ini.WriteString("A", "w", "4").ok());
  ASSERT_TRUE(ini.WriteString("C", "v", "5").ok());
  EXPECT_EQ(ini.Serialize(),
            "[A]\r\nX=10\r\ny=2\r\n; end of A\r\nw=4\r\n\r\n[B]\r\nz=3\r\n[C]\r\nv=5\r\n");
  EXPECT_EQ(ini.Section("A"), (Entries{{"X", "10"}, {"y", "2"}, {"w", "4"}}));
}

TEST(ProfileFileWrite, WritingARepeatedKeyChangesTheOccurrenceThatIsRead) {
  ProfileFile ini = MustParse("[S]\r\nK=first\r\nK=second\r\n");
  ASSERT_TRUE(ini.WriteString("S", "k", "new").ok());
  EXPECT_EQ(ini.Find("S", "K"), "new");
  EXPECT_EQ(ini.Serialize(), "[S]\r\nk=new\r\nK=second\r\n");
}

TEST(ProfileFileWrite, DeletesKeysAndSections) {
  ProfileFile ini =
      MustParse("[A]\r\nK=1\r\nkeep=2\r\nk=3\r\n[B]\r\nb=1\r\n[a]\r\nK=4\r\n; note\r\n");
  EXPECT_TRUE(ini.DeleteKey("A", "K"));
  EXPECT_EQ(ini.Find("A", "K"), std::nullopt);  // no later occurrence comes back
  EXPECT_FALSE(ini.DeleteKey("A", "K"));
  EXPECT_FALSE(ini.DeleteKey("Missing", "keep"));
  EXPECT_EQ(ini.Serialize(), "[A]\r\nkeep=2\r\n[B]\r\nb=1\r\n[a]\r\n; note\r\n");

  EXPECT_TRUE(ini.DeleteSection("A"));
  EXPECT_FALSE(ini.DeleteSection("A"));
  EXPECT_EQ(ini.SectionNames(), Names{"B"});
  EXPECT_EQ(ini.Serialize(), "[B]\r\nb=1\r\n");
}

TEST(ProfileFileWrite, TextThatCannotBeStoredIsRefusedAndChangesNothing) {
  ProfileFile ini = MustParse("[S]\r\nK=1\r\n");
  const std::string before = ini.Serialize();
  const struct {
    std::string section, key, value, mentions;
  } refused[] = {
      {"S", "K", "smile \xF0\x9F\x98\x80", "CP932"},
      {"S", "K", "bad \xFF utf-8", "CP932"},
      {"S", "K", "two\r\nlines", "line break"},
      {"S", "K", " padded", "blank"},
      {"S", "A=B", "1", "\"=\""},
      {"S", "[K]", "1", "section"},
      {"S", " K", "1", "blank"},
      {"S]", "K", "1", "\"]\""},
      {"\xF0\x9F\x98\x80", "K", "1", "CP932"},
  };
  for (const auto& write : refused) {
    const ProfileWriteResult result = ini.WriteString(write.section, write.key, write.value);
    EXPECT_FALSE(result.ok()) << write.section << " " << write.key << " " << write.value;
    EXPECT_NE(result.error.find(write.mentions), std::string::npos) << result.error;
  }
  EXPECT_EQ(ini.Serialize(), before);
}

TEST(ProfileFileWrite, SerialisedDocumentParsesToTheSameContent) {
  ProfileFile ini = MustParse("x\r\n[A]\r\nk=1\r\n[B]\r\n");
  ASSERT_TRUE(ini.WriteString("B", "path", ".\\log\\ソ,ー[%Year%]").ok());
  ASSERT_TRUE(ini.WriteString("ｶﾅ", "名前", "値=1").ok());
  const ProfileFile again = MustParse(ini.Serialize());
  EXPECT_EQ(again.SectionNames(), ini.SectionNames());
  for (const std::string& name : ini.SectionNames()) {
    EXPECT_EQ(again.Section(name), ini.Section(name)) << name;
  }
  EXPECT_EQ(again.Lines(), ini.Lines());
  EXPECT_EQ(again.Find("B", "PATH"), ".\\log\\ソ,ー[%Year%]");
  EXPECT_EQ(again.Serialize(), ini.Serialize());
}

class ProfileFileLoad : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = dir_.path(); }

  std::filesystem::path Write(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  testing::TempDir dir_;
  std::filesystem::path folder_;
};

TEST_F(ProfileFileLoad, TellsMissingAndUnreadableFilesApartAndLoadsTheRest) {
  const ProfileLoadResult loaded = LoadProfileFile(Write("good.ini", "[S]\r\nK=" + kNihongo));
  EXPECT_EQ(loaded.status, ProfileLoadStatus::kLoaded);
  EXPECT_EQ(loaded.file.Find("S", "K"), "日本語");

  EXPECT_EQ(LoadProfileFile(folder_ / "absent.ini").status, ProfileLoadStatus::kMissing);

  std::filesystem::create_directory(folder_ / "folder.ini");
  const ProfileLoadResult unreadable = LoadProfileFile(folder_ / "folder.ini");
  EXPECT_EQ(unreadable.status, ProfileLoadStatus::kUnreadable);
  EXPECT_NE(unreadable.error.find("folder.ini"), std::string::npos) << unreadable.error;

  const ProfileLoadResult odd = LoadProfileFile(Write("bad.ini", "[S]\r\n\r\nK=\x82\r\nL=1"));
  EXPECT_EQ(odd.status, ProfileLoadStatus::kLoaded);
  EXPECT_EQ(odd.file.Section("S"), (Entries{{"L", "1"}}));
}

}  // namespace
}  // namespace harlune
