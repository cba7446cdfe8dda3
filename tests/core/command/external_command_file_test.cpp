#include "core/command/external_command_file.h"

#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {

// Readable failure output.
void PrintTo(const ExternalCommand& command, std::ostream* out);
void PrintTo(const ExternalCommand& command, std::ostream* out) {
  *out << "{" << command.AddToMenu << "," << command.ShowCommandWindow << "," << command.Target
       << ",\"" << command.Name << "\",\"" << command.CommandLine << "\"}";
}

namespace {

namespace fs = std::filesystem;

using Commands = std::vector<ExternalCommand>;

// CP932 bytes of 表示 ("表" has "\" as its trail byte) and ソフト.
const std::string kHyouji = "\x95\x5c\x8e\xa6";
const std::string kSoft = "\x83\x5c\x83\x74\x83\x67";

const std::string kDefaultFile =
    "[External Command1]\r\n"
    "1,0,1,ping[CM](&P),ping -c 4 %RemoteAddr%\r\n"
    "1,0,1,tracert[CM](&T),traceroute %RemoteAddr%\r\n"
    "1,0,1,net send[CM](&N),net send %RemoteAddr% \"%UserIn%\"\r\n"
    "1,0,2,ping src[PM](&P),ping -c 4 %SrcAddr%\r\n"
    "1,0,2,tracert src[PM](&T),traceroute %SrcAddr%\r\n"
    "1,0,2,ping dest[PM](&I),ping -c 4 %DestAddr%\r\n"
    "1,0,2,tracert dest[PM](&R),traceroute %DestAddr%\r\n"
    "0,0,1,netstat,ss -tan\r\n";

Commands MustParse(const std::string& bytes) {
  ExternalCommandParseResult result = ParseExternalCommandFile(bytes);
  EXPECT_TRUE(result.commands.has_value()) << result.error;
  return result.commands ? *result.commands : Commands{};
}

std::string MustSerialize(const Commands& commands) {
  ExternalCommandWriteResult result = SerializeExternalCommandFile(commands);
  EXPECT_TRUE(result.ok()) << result.error;
  return result.bytes;
}

TEST(CommandFileWrite, DefaultsGiveTheHeaderAndOneLinePerCommand) {
  EXPECT_EQ(MustSerialize(DefaultExternalCommands()), kDefaultFile);
  EXPECT_EQ(MustParse(kDefaultFile), DefaultExternalCommands());
  EXPECT_EQ(MustSerialize({}), "[External Command1]\r\n");
}

TEST(CommandFileWrite, JapaneseTextIsWrittenInCp932) {
  const Commands commands = {{0, 1, 2, "表示", "ソフト -x \\\\server\\表"}};
  const std::string expected = "[External Command1]\r\n0,1,2," + kHyouji + "," + kSoft +
                               " -x \\\\server\\" + "\x95\x5c" + "\r\n";
  EXPECT_EQ(MustSerialize(commands), expected);
  EXPECT_EQ(MustParse(expected), commands);
}

TEST(CommandFileWrite, CommandsThatWouldNotReadBackAreRefused) {
  const auto refused = [](const ExternalCommand& command, std::string_view reason) {
    const ExternalCommandWriteResult result =
        SerializeExternalCommandFile(Commands{DefaultExternalCommands()[0], command});
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.bytes, "");
    EXPECT_NE(result.error.find(reason), std::string::npos) << result.error;
    EXPECT_EQ(ExternalCommandProblem(command), result.error);
  };
  refused({1, 0, 1, "a,b", "ping x"}, "\",\"");
  refused({1, 0, 1, "two\nlines", "ping x"}, "line feed");
  refused({1, 0, 1, "ok", "ping x\nrm -rf /"}, "line feed");
  refused({1, 0, 1, "ok", std::string("ping\0x", 6)}, "NUL");
  EXPECT_EQ(ExternalCommandProblem({1, 0, 1, "", "a,b,,c\r"}), "");
}

TEST(CommandFileWrite, ACommandCp932LacksIsKeptInUtf8AndTheRestIsWritten) {
  const ExternalCommand emoji{1, 0, 1, "emoji \xF0\x9F\x98\x80", "ping x"};
  // Editors refuse it; a file written by another program can still hold it.
  EXPECT_NE(ExternalCommandProblem(emoji).find("CP932"), std::string::npos);
  const Commands commands = {{1, 0, 1, "表示", "ping y"}, emoji};
  const ExternalCommandWriteResult result = SerializeExternalCommandFile(commands);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.bytes, "[External Command1]\r\n1,0,1," + kHyouji +
                              ",ping y\r\n1,0,1,emoji \xF0\x9F\x98\x80,ping x\r\n");
  EXPECT_EQ(result.keptInUtf8, std::vector<std::string>{emoji.Name});
  EXPECT_EQ(MustParse(result.bytes), commands) << "the mixed file reads back the same";
}

TEST(CommandFileRead, CommasAfterTheFourthBelongToTheCommandLine) {
  const Commands commands = {{1, 0, 1, "ping twice", "ping -n 1,2 %RemoteAddr%"},
                             {1, 0, 1, "", ",,"}};
  const std::string bytes = MustSerialize(commands);
  EXPECT_EQ(bytes,
            "[External Command1]\r\n1,0,1,ping twice,ping -n 1,2 %RemoteAddr%\r\n1,0,1,,,,\r\n");
  EXPECT_EQ(MustParse(bytes), commands);
}

TEST(CommandFileRead, LinesWithFewerThanFourCommasAreSkipped) {
  EXPECT_EQ(MustParse("[External Command1]\r\n"), Commands{});
  EXPECT_EQ(MustParse("[External Command1]"), Commands{});
  EXPECT_EQ(MustParse(""), Commands{});
  EXPECT_EQ(MustParse("1,0,2,x\r\nno commas\r\n\r\n1,0,1,kept,cmd\r\n,,,\r\n,,,,\r\n"),
            (Commands{{1, 0, 1, "kept", "cmd"}, {0, 0, 0, "", ""}}));
}

TEST(CommandFileRead, FlagsAreLeadingDecimalIntegers) {
  EXPECT_EQ(
      MustParse(" 2x,-1,+2,a,b\nyes,,99999999999,c,d\n-99999999999, 0x10 ,1 1,e,f"),
      (Commands{
          {2, -1, 2, "a", "b"}, {0, 0, 2147483647, "c", "d"}, {-2147483647 - 1, 0, 1, "e", "f"}}));
}

TEST(CommandFileRead, OnlyTheCarriageReturnBeforeTheLineFeedEndsTheLine) {
  const Commands read = MustParse("1,0,1,a\rb,c\r\r\n1,0,1,x,y\r");
  EXPECT_EQ(read, (Commands{{1, 0, 1, "a\rb", "c\r"}, {1, 0, 1, "x", "y"}}));
  // What reads so is written so that it reads the same again.
  EXPECT_EQ(MustParse(MustSerialize(read)), read);
}

TEST(CommandFileRead, ALineInNeitherEncodingCostsOnlyItsCommand) {
  ExternalCommandParseResult result = ParseExternalCommandFile(
      "[External Command1]\r\n1,0,1,ok,ok\r\n1,0,1,bad\x81,x\r\n0,0,2," + kHyouji + ",y\r\n");
  ASSERT_TRUE(result.commands.has_value());
  EXPECT_EQ(*result.commands, (Commands{{1, 0, 1, "ok", "ok"}, {0, 0, 2, "表示", "y"}}));
  EXPECT_EQ(result.undecodableLines, std::vector<std::size_t>{3});

  // Zeros a crash left behind still make the file damaged.
  result = ParseExternalCommandFile("[External Command1]\r\n" + std::string(32, '\0'));
  EXPECT_FALSE(result.commands.has_value());
  EXPECT_EQ(result.errorLine, 2u);
  EXPECT_NE(result.error.find("NUL"), std::string::npos) << result.error;
}

TEST(CommandFileRead, Utf8JapaneseNamesReadBackExactly) {
  // UTF-8 "ログ" would also pass for CP932 byte pairs.
  const Commands expected = {{1, 0, 1, "ログ表示(&L)", "tail -n 20 ./ログ/接続.log"},
                             {1, 0, 2, "あい", "ping %SrcAddr%"}};
  EXPECT_EQ(MustParse("[External Command1]\n1,0,1,ログ表示(&L),tail -n 20 ./ログ/接続.log\n"
                      "1,0,2,あい,ping %SrcAddr%\n"),
            expected);
  EXPECT_EQ(MustParse("\xEF\xBB\xBF"
                      "1,0,1,ログ表示(&L),tail -n 20 ./ログ/接続.log\r\n")[0],
            expected[0]);
  // Written back in CP932, and read the same again.
  const std::string written = MustSerialize(expected);
  EXPECT_EQ(written.find("ログ"), std::string::npos);
  EXPECT_EQ(MustParse(written), expected);
}

class CommandFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path();
    file_ = folder_ / "ExternalCommand.ini";
  }

  static void Put(const fs::path& path, const std::string& bytes) {
    testing::WriteFileText(path, bytes);
  }
  static std::string Read(const fs::path& path) { return testing::ReadFileText(path); }
  static std::tm FixedTime() {
    std::tm time{};
    time.tm_year = 124;
    time.tm_mday = 1;
    return time;
  }

  testing::TempDir dir_;
  fs::path folder_;
  fs::path file_;
};

TEST_F(CommandFileOnDisk, MissingFileGivesTheDefaultsAndSavingCreatesIt) {
  ExternalCommandIni commands(file_);
  EXPECT_EQ(commands.Load().outcome, SettingsLoadOutcome::kMissing);
  EXPECT_EQ(Commands(commands.begin(), commands.end()), DefaultExternalCommands());

  RecordingUserDialogs dialogs;
  ASSERT_TRUE(commands.Save(dialogs).ok());
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_EQ(Read(file_), kDefaultFile);
  EXPECT_EQ(commands[0].Name, "ping[CM](&P)");
}

TEST_F(CommandFileOnDisk, ReadableFileReplacesTheListWithoutDefaults) {
  Put(file_, "[External Command1]\r\n");
  ExternalCommandIni commands(file_);
  commands.Add({1, 0, 1, "old", "old"});
  EXPECT_EQ(commands.Load().outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_EQ(commands.size(), 0u);

  Put(file_, "[External Command1]\r\n1,0,1,ping twice,ping -n 1,2 %RemoteAddr%\r\n");
  EXPECT_EQ(commands.Load().outcome, SettingsLoadOutcome::kLoaded);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].CommandLine, "ping -n 1,2 %RemoteAddr%");
}

TEST_F(CommandFileOnDisk, DamagedFileIsMovedAsideAndTheDefaultsTakeItsPlace) {
  const std::string zeros = "[External Command1]\r\n1,0,1,a,x\r\n" + std::string(8, '\0');
  Put(file_, zeros);
  ExternalCommandIni commands(file_);
  const SettingsLoadResult result = commands.Load(FixedTime);
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_EQ(Read(result.damagedCopy), zeros);
  EXPECT_EQ(commands.size(), 8u);
}

TEST_F(CommandFileOnDisk, AUtf8FileWithOneBadByteKeepsTheUsersCommands) {
  Put(file_, "[External Command1]\n1,0,1,ログ,ping a\n1,0,1,\x82,x\n0,0,1,接続,ss\n");
  ExternalCommandIni commands(file_);
  EXPECT_EQ(commands.Load(FixedTime).outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_EQ(Commands(commands.begin(), commands.end()),
            (Commands{{1, 0, 1, "ログ", "ping a"}, {0, 0, 1, "接続", "ss"}}));
}

TEST_F(CommandFileOnDisk, ListChangesKeepTheUsersOrder) {
  ExternalCommandIni commands(file_);
  commands.Add({1, 0, 1, "a", "a"});
  commands.Add({1, 0, 1, "b", "b"});
  commands.Add({1, 0, 1, "c", "c"});
  EXPECT_FALSE(commands.RemoveAt(3));
  EXPECT_FALSE(commands.ReplaceAt(3, {}));
  ASSERT_TRUE(commands.ReplaceAt(1, {0, 0, 2, "B", "B"}));
  ASSERT_TRUE(commands.RemoveAt(0));
  EXPECT_EQ(Commands(commands.begin(), commands.end()),
            (Commands{{0, 0, 2, "B", "B"}, {1, 0, 1, "c", "c"}}));
}

TEST_F(CommandFileOnDisk, FailedSaveTellsTheUserAndKeepsTheFile) {
  Put(file_, "[External Command1]\r\n1,0,1,kept,kept\r\n");
  ExternalCommandIni commands(file_);
  ASSERT_EQ(commands.Load().outcome, SettingsLoadOutcome::kLoaded);
  commands.Add({1, 0, 1, "a,b", "x"});
  RecordingUserDialogs dialogs;
  const SafeWriteResult unstorable = commands.Save(dialogs);
  EXPECT_EQ(unstorable.failure, SafeWriteFailure::kWrite);
  EXPECT_NE(unstorable.detail.find("\",\""), std::string::npos) << unstorable.detail;
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{file_.string() + "の保存に失敗。"});
  EXPECT_EQ(Read(file_), "[External Command1]\r\n1,0,1,kept,kept\r\n");
  EXPECT_EQ(commands.size(), 2u);

  ExternalCommandIni nowhere(folder_ / "missing-folder" / "ExternalCommand.ini");
  dialogs.messages.clear();
  EXPECT_FALSE(nowhere.Save(dialogs).ok());
  EXPECT_EQ(dialogs.messages,
            std::vector<std::string>{(folder_ / "missing-folder" / "ExternalCommand.ini").string() +
                                     "の保存に失敗。"});
}

}  // namespace
}  // namespace harlune
