#include "core/log/logger.h"

#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/base/text_encoding.h"
#include "core/log/per_date_logger.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using testing::ReadFileText;
using testing::TempDir;

// Seconds since the epoch of a local date and time.
std::int64_t Local(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&t));
}

class LoggerTest : public ::testing::Test {
 protected:
  LogClock Clock() {
    return [this] { return now_; };
  }
  std::string Pattern(const std::string& tail) const { return (dir_.path() / tail).string(); }
  std::string Read(const std::string& name) const { return ReadFileText(dir_.path() / name); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_.path() / name); }

  TempDir dir_;
  std::int64_t now_ = Local(2024, 3, 9, 12, 0, 0);
};

TEST_F(LoggerTest, LinesWaitForTheTickOfSixtySecondsThenGoInOrderToTheFile) {
  CLogger logger(Pattern("a/b/plain.log"), true, Clock());
  logger.AddLine("one\n");
  logger.AddLine("two\n");
  now_ += 59;
  logger.Tick();
  EXPECT_FALSE(Exists("a/b/plain.log"));
  now_ += 1;
  logger.Tick();
  EXPECT_EQ(Read("a/b/plain.log"), "one\ntwo\n");
  EXPECT_EQ(logger.PendingLineCount(), 0u);

  logger.AddLine("three\n");
  EXPECT_TRUE(logger.Flush());
  EXPECT_EQ(Read("a/b/plain.log"), "one\ntwo\nthree\n") << "the file is appended to";
}

TEST_F(LoggerTest, BackslashSeparatedPathsWorkAndTheDestructorFlushes) {
  {
    CLogger logger(Pattern("win\\style\\x.log"), true, Clock());
    logger.AddLine("kept\n");
  }
  EXPECT_EQ(Read("win/style/x.log"), "kept\n");
}

TEST_F(LoggerTest, DisabledLoggerTakesNoLinesAndWritesNothing) {
  CLogger logger(Pattern("off.log"), false, Clock());
  logger.AddLine("ignored\n");
  EXPECT_EQ(logger.PendingLineCount(), 0u);
  EXPECT_TRUE(logger.Flush());
  EXPECT_FALSE(Exists("off.log"));
}

TEST_F(LoggerTest, FileThatCannotBeOpenedKeepsTheLinesForTheNextAttempt) {
  // A folder stands where the file should be.
  std::filesystem::create_directories(dir_.path() / "busy.log");
  CLogger logger(Pattern("busy.log"), true, Clock());
  logger.AddLine("first\n");
  EXPECT_FALSE(logger.Flush());
  EXPECT_EQ(logger.PendingLineCount(), 1u);
  std::filesystem::remove(dir_.path() / "busy.log");
  logger.AddLine("second\n");
  EXPECT_TRUE(logger.Flush());
  EXPECT_EQ(Read("busy.log"), "first\nsecond\n");
}

TEST_F(LoggerTest, LinesAreWrittenInCp932AndUnrepresentableCharactersBecomeQuestionMarks) {
  CLogger logger(Pattern("jp.log"), true, Clock());
  logger.AddLine("不明 \xF0\x9F\x98\x80 x\xC3\n");  // an emoji, then a cut-off character
  ASSERT_TRUE(logger.Flush());
  EXPECT_EQ(Read("jp.log"), "\x95\x73\x96\xBE ? x?\n");
  EXPECT_EQ(ToLogFileText("a\xE2\x82"), "a??") << "no byte of a broken sequence is written";
}

TEST_F(LoggerTest, PerDateFileNamesExpandOnlyTheDate) {
  const std::int64_t t = Local(2024, 1, 5, 7, 8, 9);
  EXPECT_EQ(PerDateFileName(".\\log\\[%Year%%Month%%Day%]x.csv", t), ".\\log\\[20240105]x.csv");
  EXPECT_EQ(PerDateFileName("%Day%-%Day%_%Hour%%Minute%.log", t), "05-05_%Hour%%Minute%.log");
  EXPECT_EQ(PerDateFileName("%Mon%Day%th%", t), "%Mon05th%");
}

TEST_F(LoggerTest, LinesAroundMidnightGoToTheFilesOfTheirDates) {
  now_ = Local(2024, 12, 31, 23, 59, 59);
  CPerDateLogger logger(Pattern("[%Year%%Month%%Day%]stats.csv"), true, Clock());
  logger.AddLine("old\n", Pattern("[%Year%%Month%%Day%]stats.csv"));
  now_ = Local(2025, 1, 1, 0, 0, 1);
  logger.AddLine("new\n", Pattern("[%Year%%Month%%Day%]stats.csv"));
  EXPECT_EQ(Read("[20241231]stats.csv"), "old\n") << "written before the new day's line";
  ASSERT_TRUE(logger.Flush());
  EXPECT_EQ(Read("[20250101]stats.csv"), "new\n");
}

TEST_F(LoggerTest, SameDayOfAnotherMonthStillStartsANewFile) {
  now_ = Local(2024, 3, 9, 10, 0, 0);
  CPerDateLogger logger(Pattern("%Year%%Month%%Day%.log"), true, Clock());
  logger.AddLine("march\n");
  now_ = Local(2024, 4, 9, 10, 0, 0);
  logger.AddLine("april\n");
  EXPECT_EQ(Read("20240309.log"), "march\n");
  ASSERT_TRUE(logger.Flush());
  EXPECT_EQ(Read("20240409.log"), "april\n");
}

TEST_F(LoggerTest, PatternChangeWritesPendingLinesToTheOldFileFirst) {
  CPerDateLogger logger(Pattern("old-%Day%.log"), true, Clock());
  logger.AddLine("a\n", Pattern("old-%Day%.log"));
  logger.AddLine("b\n", Pattern("old-%Day%.log"));
  EXPECT_FALSE(Exists("old-09.log")) << "same pattern: still pending";
  logger.AddLine("c\n", Pattern("new-%Hour%.log"));
  EXPECT_EQ(Read("old-09.log"), "a\nb\n");
  logger.AddLine("d\n");  // no pattern: the current one stays
  ASSERT_TRUE(logger.Flush());
  EXPECT_EQ(Read("new-%Hour%.log"), "c\nd\n");
}

TEST_F(LoggerTest, PerDateLoggerFlushesToTheDatedFileWhenItEnds) {
  {
    CPerDateLogger logger(Pattern("end-%Year%.log"), true, Clock());
    logger.AddLine("last\n");
  }
  EXPECT_EQ(Read("end-2024.log"), "last\n");
  EXPECT_FALSE(Exists("end-%Year%.log"));
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

TEST(LogFileText, CharactersCp932CannotGiveBackBecomeQuestionMarks) {
  // U+00A3 would be stored as the code of U+FFE1; an emoji has no code;
  // a stray continuation byte is not text.
  EXPECT_EQ(ToLogFileText("a\xC2\xA3"
                          "b"),
            "a?b");
  EXPECT_EQ(ToLogFileText("x\xF0\x9F\x98\x80y\x80z"), "x?y?z");
  EXPECT_EQ(ToLogFileText("ホスト\n"), Utf8ToCp932("ホスト\n"));
}

}  // namespace
}  // namespace harlune
