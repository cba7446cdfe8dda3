#include "core/control/connection_control_rule_file.h"

#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/profile_file.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;

using Messages = std::vector<std::string>;

// CP932 bytes of the Japanese texts below.
const std::string kBlockRule = "\x8e\xd5\x92\x66\x83\x8b\x81\x5b\x83\x8b";  // 遮断ルール
const std::string kNightOnly = "\x96\xe9\x8a\xd4\x82\xcc\x82\xdd";          // 夜間のみ
const std::string kSoft = "\x83\x5c\x83\x74\x83\x67";  // ソフト: a trail byte is "\"
const std::string kHyou = "\x95\x5c";                  // 表: the trail byte is "\"

HostListReader NoHostLists() {
  return [](std::string_view) { return FileReadResult{FileReadStatus::kMissing, {}, {}}; };
}

HostListReader FakeFiles(std::map<std::string, std::string> files) {
  return [files = std::move(files)](std::string_view path) {
    const auto found = files.find(std::string(path));
    return found == files.end() ? FileReadResult{FileReadStatus::kMissing, {}, {}}
                                : FileReadResult{FileReadStatus::kRead, found->second, {}};
  };
}

OperateConnectionRuleIni MustParse(const std::string& bytes,
                                   const HostListReader& hostLists = NoHostLists()) {
  RuleFileParseResult result = ParseConnectionControlRuleFile(bytes, hostLists);
  EXPECT_TRUE(result.rules.has_value()) << result.error;
  return result.rules ? std::move(*result.rules) : OperateConnectionRuleIni{};
}

std::string MustSerialize(const OperateConnectionRuleIni& rules) {
  RuleFileWriteResult result = SerializeConnectionControlRuleFile(rules);
  EXPECT_TRUE(result.ok()) << result.error;
  return result.bytes;
}

OperateConnectionRuleIni ListOf(const std::vector<OperateConnectionRule>& rules) {
  OperateConnectionRuleIni list;
  RecordingUserDialogs dialogs;
  for (const OperateConnectionRule& rule : rules) {
    EXPECT_TRUE(list.Append(rule, dialogs));
  }
  return list;
}

OperateConnectionRule Named(std::string name) {
  OperateConnectionRule rule;
  rule.Name = std::move(name);
  return rule;
}

std::vector<std::string> NamesOf(const OperateConnectionRuleIni& list) {
  std::vector<std::string> names;
  for (const OperateConnectionRule& rule : list.Rules()) {
    names.push_back(rule.Name);
  }
  return names;
}

OperateConnectionRule JapaneseRule() {
  OperateConnectionRule rule;
  rule.Name = "遮断ルール";
  rule.Comment = "夜間のみ";
  rule.TriggerTimeLow = 10;
  rule.TriggerTimeHigh = 3600;
  rule.TriggerAmountOfUpTrafficLow = 1;
  rule.TriggerAmountOfUpTrafficHigh = 5000000000;
  rule.TriggerAmountOfDownTrafficLow = 18446744073709551615u;
  rule.TargetProcessName = "ソフト.exe";
  rule.RemoteHostListPath = ".\\表\\ソフト.lst";
  rule.Action = kActionDisconnect;
  rule.AllowConnectionNum = 3;
  rule.BLimitConnectionNum = true;
  rule.PriorCondition = kPriorLeastDownFirst;
  return rule;
}

const std::string kCommonSection = "[Common Settings]\r\nFileVersion=1500\r\n";

const std::string kJapaneseRuleSection =
    "[ConnectionControlRule1]\r\n"
    "Name=" +
    kBlockRule +
    "\r\n"
    "Comment=" +
    kNightOnly +
    "\r\n"
    "Available=TRUE\r\n"
    "TriggerTimeLow=10\r\n"
    "TriggerTimeHigh=3600\r\n"
    "TriggerAmountOfUpTrafficHigh=5000000000\r\n"
    "TriggerAmountOfUpTrafficLow=1\r\n"
    "TriggerAmountOfDownTrafficHigh=0\r\n"
    "TriggerAmountOfDownTrafficLow=18446744073709551615\r\n"
    "TargetProcessName=" +
    kSoft +
    ".exe\r\n"
    "RemoteHostListPath=.\\" +
    kHyou + "\\" + kSoft +
    ".lst\r\n"
    "Action=2\r\n"
    "AllowConnectionNum=3\r\n"
    "BLimitConnectionNum=TRUE\r\n"
    "PriorCondition=6\r\n";

const std::string kDefaultRuleSection2 =
    "[ConnectionControlRule2]\r\n"
    "Name=NewRule\r\n"
    "Comment=\r\n"
    "Available=FALSE\r\n"
    "TriggerTimeLow=0\r\n"
    "TriggerTimeHigh=0\r\n"
    "TriggerAmountOfUpTrafficHigh=0\r\n"
    "TriggerAmountOfUpTrafficLow=0\r\n"
    "TriggerAmountOfDownTrafficHigh=0\r\n"
    "TriggerAmountOfDownTrafficLow=0\r\n"
    "TargetProcessName=\r\n"
    "RemoteHostListPath=\r\n"
    "Action=0\r\n"
    "AllowConnectionNum=0\r\n"
    "BLimitConnectionNum=FALSE\r\n"
    "PriorCondition=0\r\n";

TEST(RuleFileWrite, WritesEveryKeyInOrderInCp932WithCrlf) {
  OperateConnectionRule second;
  second.Available = false;
  const OperateConnectionRuleIni list = ListOf({JapaneseRule(), second});
  const std::string expected = kCommonSection + kJapaneseRuleSection + kDefaultRuleSection2;
  EXPECT_EQ(MustSerialize(list), expected);

  const OperateConnectionRuleIni read = MustParse(expected, FakeFiles({{".\\表\\ソフト.lst", ""}}));
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read.Rules()[0], JapaneseRule());
  EXPECT_EQ(read.Rules()[1], second);
}

TEST(RuleFileWrite, TextWithCommasIsStoredWholeAndReadBackWhole) {
  OperateConnectionRule rule;
  rule.Name = "a,b";
  rule.Comment = ",";
  rule.TargetProcessName = "x,y.exe";
  rule.RemoteHostListPath = "lists\\a,b.lst";
  const std::string bytes = MustSerialize(ListOf({rule}));
  EXPECT_NE(bytes.find("\r\nName=a,b\r\nComment=,\r\n"), std::string::npos);
  EXPECT_NE(bytes.find("\r\nTargetProcessName=x,y.exe\r\nRemoteHostListPath=lists\\a,b.lst\r\n"),
            std::string::npos);

  const OperateConnectionRuleIni read = MustParse(bytes);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read.Rules()[0].Name, "a,b");
  EXPECT_EQ(read.Rules()[0].Comment, ",");
  EXPECT_EQ(read.Rules()[0].TargetProcessName, "x,y.exe");
  EXPECT_EQ(read.Rules()[0].RemoteHostListPath, "lists\\a,b.lst");
}

TEST(RuleFileWrite, OnlyTextThatReadsBackIsStored) {
  OperateConnectionRule broken = Named("second");
  broken.Comment = "line\r\nbreak";
  // A value the file cannot hold stays out when the file had none for it,
  // and keeps the file's value when it had one; the rest is written.
  RuleFileWriteResult result = SerializeConnectionControlRuleFile(ListOf({Named("first"), broken}));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.keptKeys, std::vector<std::string>{"[ConnectionControlRule2] Comment"});
  ProfileFile written = *ProfileFile::Parse(result.bytes).file;
  EXPECT_EQ(written.Find("ConnectionControlRule2", "Name"), "second");
  EXPECT_EQ(written.Find("ConnectionControlRule2", "Comment"), std::nullopt);

  const ProfileFile previous =
      *ProfileFile::Parse("[ConnectionControlRule1]\r\nName=before\r\n").file;
  result = SerializeConnectionControlRuleFile(ListOf({Named("emoji \xF0\x9F\x98\x80")}), &previous);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.keptKeys, std::vector<std::string>{"[ConnectionControlRule1] Name"});
  written = *ProfileFile::Parse(result.bytes).file;
  EXPECT_EQ(written.Find("ConnectionControlRule1", "Name"), "before");
  EXPECT_EQ(written.Find("ConnectionControlRule1", "Available"), "TRUE");

  // Blanks around a text are dropped, as reading would drop them.
  OperateConnectionRule spaced = Named("  spaced\t");
  spaced.Comment = " ";
  const std::string bytes = MustSerialize(ListOf({spaced}));
  EXPECT_NE(bytes.find("\r\nName=spaced\r\nComment=\r\n"), std::string::npos);
}

TEST(RuleFileRead, NumberingGapEndsTheRulesAndOtherSectionsAreSkipped) {
  const OperateConnectionRuleIni read = MustParse(
      "[ConnectionControlRule1]\r\nName=one\r\n"
      "[ConnectionControlRule3]\r\nName=three\r\n"
      "[ConnectionControlRule2]\r\nName=two\r\n");
  // Rule 3 comes before rule 2 and is skipped; rule 2 then still follows 1.
  EXPECT_EQ(NamesOf(read), (std::vector<std::string>{"one", "two"}));

  EXPECT_EQ(NamesOf(MustParse("[ConnectionControlRule1]\r\nName=one\r\n"
                              "[ConnectionControlRule3]\r\nName=three\r\n")),
            std::vector<std::string>{"one"});
  EXPECT_EQ(NamesOf(MustParse("[ConnectionControlRule2]\r\nName=two\r\n")),
            std::vector<std::string>{});
  // Names are compared exactly, as the writer spells them.
  EXPECT_EQ(NamesOf(MustParse("[Other]\r\nName=x\r\n[connectioncontrolrule1]\r\nName=lower\r\n"
                              "[ConnectionControlRule01]\r\nName=zero\r\n")),
            std::vector<std::string>{});
}

TEST(RuleFileRead, ValuesAsOlderBuildsWroteThem) {
  const OperateConnectionRuleIni read = MustParse(
      "[ConnectionControlRule1]\r\n"
      "Name=\r\n"
      "Comment=first\r\n"
      "Comment=second\r\n"
      "Available=true\r\n"
      "TriggerTimeLow=,,15,20\r\n"
      "TriggerTimeHigh=-1\r\n"
      "TriggerAmountOfUpTrafficLow=99999999999999999999999\r\n"
      "TriggerAmountOfUpTrafficHigh=12abc\r\n"
      "TriggerAmountOfDownTrafficLow=abc\r\n"
      "TriggerAmountOfDownTrafficHigh=  77 \r\n"
      "Action=,\r\n"
      "AllowConnectionNum=4294967296\r\n"
      "BLimitConnectionNum=TRUE,FALSE\r\n"
      "PriorCondition=-3\r\n"
      "name=lower-case keys are other keys\r\n"
      "Unknown=1\r\n"
      "[ConnectionControlRule2]\r\n"
      "Available=FALSE\r\n"
      "Action=99999999999\r\n");
  ASSERT_EQ(read.size(), 2u);
  const OperateConnectionRule& rule = read.Rules()[0];
  EXPECT_EQ(rule.Name, "NewRule");  // an empty value leaves the default
  EXPECT_EQ(rule.Comment, "second");
  EXPECT_FALSE(rule.Available);  // only "TRUE" is true
  EXPECT_EQ(rule.TriggerTimeLow, 15u);
  EXPECT_EQ(rule.TriggerTimeHigh, 4294967295u);
  EXPECT_EQ(rule.TriggerAmountOfUpTrafficLow, 18446744073709551615u);
  EXPECT_EQ(rule.TriggerAmountOfUpTrafficHigh, 12u);
  EXPECT_EQ(rule.TriggerAmountOfDownTrafficLow, 0u);
  EXPECT_EQ(rule.TriggerAmountOfDownTrafficHigh, 77u);
  EXPECT_EQ(rule.Action, kActionFollowLowerRules);
  EXPECT_EQ(rule.AllowConnectionNum, 4294967295u);
  EXPECT_TRUE(rule.BLimitConnectionNum);
  EXPECT_EQ(rule.PriorCondition, -3);

  EXPECT_FALSE(read.Rules()[1].Available);
  EXPECT_EQ(read.Rules()[1].Action, 2147483647);
  EXPECT_EQ(ActionText(read.Rules()[1].Action), "");
  EXPECT_EQ(PriorConditionText(rule.PriorCondition), "");
  EXPECT_EQ(read.Rules()[1].Name, "NewRule");
}

TEST(RuleFileRead, CommonSettingsGiveTheLogPathAndSwitch) {
  OperateConnectionRuleIni read = MustParse("[Common Settings]\r\nFileVersion=1\r\n");
  EXPECT_EQ(read.LogFilePath, ".\\ConnectionControl.log");
  EXPECT_TRUE(read.RecordLog);
  EXPECT_EQ(read.size(), 0u);

  read = MustParse(
      "[ConnectionControlRule1]\r\nName=r\r\n"
      "[Common Settings]\r\nLogFilePath=logs\\cc,1.log\r\nRecordLog=yes\r\n");
  EXPECT_EQ(read.LogFilePath, "logs\\cc,1.log");
  EXPECT_FALSE(read.RecordLog);
  EXPECT_EQ(read.size(), 1u);

  // The control log follows the general settings: these are never written.
  EXPECT_EQ(MustSerialize(OperateConnectionRuleIni{read}).find("LogFilePath"), std::string::npos);
  EXPECT_EQ(MustSerialize(OperateConnectionRuleIni{}), kCommonSection);
}

TEST(RuleFileRead, FileWithoutSectionsGivesAnEmptyList) {
  for (const std::string bytes : {"", "\r\n\r\n", "; comment only\r\nkey=value\r\n"}) {
    const OperateConnectionRuleIni read = MustParse(bytes);
    EXPECT_EQ(read.size(), 0u);
    EXPECT_TRUE(read.RecordLog);
  }
}

TEST(RuleFileRead, DamagedFilesAreReportedWithTheirLine) {
  // A line in neither CP932 nor UTF-8 costs only its own value.
  RuleFileParseResult result = ParseConnectionControlRuleFile(
      "[ConnectionControlRule1]\r\nName=ok\r\nComment=\x81\xff\r\nAvailable=FALSE\r\n",
      NoHostLists());
  ASSERT_TRUE(result.rules.has_value());
  ASSERT_EQ(result.rules->size(), 1u);
  EXPECT_EQ(result.rules->Rules()[0].Name, "ok");
  EXPECT_EQ(result.rules->Rules()[0].Comment, OperateConnectionRule{}.Comment);
  EXPECT_FALSE(result.rules->Rules()[0].Available);

  // A crash that left zeros behind.
  result = ParseConnectionControlRuleFile(
      "[ConnectionControlRule1]\r\nName=ok\r\n" + std::string(16, '\0'), NoHostLists());
  EXPECT_FALSE(result.rules.has_value());
  EXPECT_EQ(result.errorLine, 3u);

  // A carriage return inside a rule text could not be written back.
  result = ParseConnectionControlRuleFile(
      "[Common Settings]\r\n[ConnectionControlRule1]\r\nComment=a\rb\r\n", NoHostLists());
  EXPECT_FALSE(result.rules.has_value());
  EXPECT_EQ(result.errorLine, 3u);
  EXPECT_NE(result.error.find("Comment"), std::string::npos) << result.error;

  // Elsewhere it is harmless.
  EXPECT_EQ(MustParse("[ConnectionControlRule1]\r\nOther=a\rb\r\nName=x\r\r\n").Rules()[0].Name,
            "x");
}

TEST(RuleFileRead, EveryRuleLoadsTheHostListItNames) {
  const OperateConnectionRuleIni read = MustParse(
      "[ConnectionControlRule1]\r\nRemoteHostListPath=.\\block.lst\r\n"
      "[ConnectionControlRule2]\r\nRemoteHostListPath=.\\gone.lst\r\n"
      "[ConnectionControlRule3]\r\nName=any host\r\n",
      FakeFiles({{".\\block.lst", "*.example.com\r\n%ResolveFailedHost%\r\n"}}));
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read.Rules()[0].HostPatterns, std::vector<std::string>{"*.example.com"});
  EXPECT_TRUE(read.Rules()[0].ResolveFailedHost);
  EXPECT_NE(read.Rules()[1].HostListProblem, "");
  EXPECT_FALSE(read.Rules()[1].MatchesHost("www.example.com"));
  EXPECT_TRUE(read.Rules()[2].MatchesHost("www.example.com"));
}

TEST(RuleFileRead, RulesBeyondTheListLimitInAFileAreKept) {
  std::string bytes;
  for (int i = 1; i <= 70; ++i) {
    bytes +=
        "[ConnectionControlRule" + std::to_string(i) + "]\r\nName=r" + std::to_string(i) + "\r\n";
  }
  OperateConnectionRuleIni read = MustParse(bytes);
  ASSERT_EQ(read.size(), 70u);
  EXPECT_EQ(read.Rules()[69].Name, "r70");
  RecordingUserDialogs dialogs;
  EXPECT_FALSE(read.Append(OperateConnectionRule{}, dialogs));
  EXPECT_EQ(MustParse(MustSerialize(read)).size(), 70u);
}

TEST(RuleList, AppendAndDuplicateStopAtTheLimitWithTheirMessages) {
  OperateConnectionRuleIni list;
  RecordingUserDialogs dialogs;
  for (std::size_t i = 0; i < OperateConnectionRuleIni::kMaxRules - 2; ++i) {
    ASSERT_TRUE(list.Append(Named("r" + std::to_string(i)), dialogs));
  }
  const std::vector<std::size_t> three = {0, 1, 2};
  EXPECT_FALSE(list.Duplicate(three, dialogs));
  EXPECT_EQ(dialogs.messages, Messages{"これ以上ルールを追加できません。"});
  EXPECT_EQ(list.size(), 62u);

  const std::vector<std::size_t> outside = {0, 62};
  EXPECT_FALSE(list.Duplicate(outside, dialogs));
  EXPECT_EQ(dialogs.messages.size(), 1u);

  list.Rules()[5].HostPatterns = {"*.example.com"};
  const std::vector<std::size_t> two = {5, 0};
  ASSERT_TRUE(list.Duplicate(two, dialogs));
  EXPECT_EQ(list.Rules()[62], list.Rules()[5]);
  EXPECT_EQ(list.Rules()[63].Name, "r0");

  EXPECT_FALSE(list.Append(Named("one too many"), dialogs));
  EXPECT_EQ(dialogs.messages.back(), "これ以上コネクション操作ルールを追加できません。");
  EXPECT_EQ(list.size(), 64u);
}

TEST(RuleList, RemoveSwapAndReplaceCheckTheirPositions) {
  OperateConnectionRuleIni list = ListOf({Named("a"), Named("b"), Named("c")});
  RecordingUserDialogs dialogs;
  EXPECT_FALSE(list.RemoveAt(3, dialogs));
  EXPECT_EQ(dialogs.messages, Messages{"indexが不正"});
  ASSERT_TRUE(list.RemoveAt(1, dialogs));
  EXPECT_EQ(NamesOf(list), (std::vector<std::string>{"a", "c"}));

  EXPECT_FALSE(list.Swap(0, 2));
  ASSERT_TRUE(list.Swap(1, 0));
  EXPECT_EQ(NamesOf(list), (std::vector<std::string>{"c", "a"}));

  EXPECT_FALSE(list.ReplaceAt(2, Named("x")));
  ASSERT_TRUE(list.ReplaceAt(0, Named("x")));
  EXPECT_EQ(NamesOf(list), (std::vector<std::string>{"x", "a"}));
}

class RuleFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path();
    file_ = folder_ / "ConnectionControlRule.ini";
  }

  static void Put(const fs::path& path, const std::string& bytes) {
    testing::WriteFileText(path, bytes);
  }
  static std::string Read(const fs::path& path) { return testing::ReadFileText(path); }
  static std::tm FixedTime() {
    std::tm time{};
    time.tm_year = 124;
    time.tm_mon = 4;
    time.tm_mday = 6;
    return time;
  }

  testing::TempDir dir_;
  fs::path folder_;
  fs::path file_;
};

TEST_F(RuleFileOnDisk, SavedRulesLoadBackWithTheirHostLists) {
  OperateConnectionRule rule = JapaneseRule();
  rule.RemoteHostListPath = (folder_ / "block.lst").string();
  Put(folder_ / "block.lst", "*.example.com\r\n");
  Put(file_, "[ConnectionControlRule3]\r\nName=stale\r\n");
  ASSERT_TRUE(SaveConnectionControlRuleFile(file_, ListOf({rule, Named("b")})).ok());
  EXPECT_EQ(Read(file_).find("stale"), std::string::npos);

  OperateConnectionRuleIni read;
  const SettingsLoadResult result = LoadConnectionControlRuleFile(file_, read);
  ASSERT_EQ(result.outcome, SettingsLoadOutcome::kLoaded) << result.problem;
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read.Rules()[0].Name, "遮断ルール");
  EXPECT_EQ(read.Rules()[0].HostPatterns, std::vector<std::string>{"*.example.com"});
  EXPECT_EQ(read.Rules()[1].Name, "b");
}

TEST_F(RuleFileOnDisk, ValueThatCannotBeStoredKeepsTheLineOnDiskAndTheRestIsSaved) {
  Put(file_, "[ConnectionControlRule1]\r\nName=kept\r\n");
  OperateConnectionRule rule = Named("bad\nname");
  rule.Comment = "new comment";
  const SafeWriteResult result = SaveConnectionControlRuleFile(file_, ListOf({rule}));
  ASSERT_TRUE(result.ok()) << result.detail;
  EXPECT_EQ(result.keptKeys, std::vector<std::string>{"[ConnectionControlRule1] Name"});
  OperateConnectionRuleIni read;
  ASSERT_EQ(LoadConnectionControlRuleFile(file_, read, NoHostLists()).outcome,
            SettingsLoadOutcome::kLoaded);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read.Rules()[0].Name, "kept");
  EXPECT_EQ(read.Rules()[0].Comment, "new comment");
}

TEST_F(RuleFileOnDisk, MissingAndDamagedFilesLeaveTheRulesInMemory) {
  OperateConnectionRuleIni rules = ListOf({Named("in memory")});
  EXPECT_EQ(LoadConnectionControlRuleFile(file_, rules, NoHostLists()).outcome,
            SettingsLoadOutcome::kMissing);
  EXPECT_EQ(NamesOf(rules), std::vector<std::string>{"in memory"});

  const std::string zeros = "[ConnectionControlRule1]\r\n" + std::string(4, '\0') + "\r\n";
  Put(file_, zeros);
  const SettingsLoadResult result =
      LoadConnectionControlRuleFile(file_, rules, NoHostLists(), FixedTime);
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_NE(result.problem.find("line 2"), std::string::npos) << result.problem;
  EXPECT_EQ(NamesOf(rules), std::vector<std::string>{"in memory"});
  EXPECT_EQ(Read(result.damagedCopy), zeros);
  EXPECT_FALSE(fs::exists(file_));
}

}  // namespace
}  // namespace harlune
