#include "core/control/operate_connection_rule.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace harlune {
namespace {

using Patterns = std::vector<std::string>;

// CP932 bytes of ホスト.
const std::string kHostKatakana = "\x83\x7a\x83\x58\x83\x67";

HostList MustParse(const std::string& bytes) {
  HostListParseResult result = ParseHostList(bytes);
  EXPECT_TRUE(result.list.has_value()) << result.error;
  return result.list ? *result.list : HostList{};
}

// Host list files by stored path; any other path is missing.
HostListReader FakeFiles(std::map<std::string, std::string> files) {
  return [files = std::move(files)](std::string_view path) {
    const auto found = files.find(std::string(path));
    if (found == files.end()) {
      return FileReadResult{FileReadStatus::kMissing, {}, {}};
    }
    return FileReadResult{FileReadStatus::kRead, found->second, {}};
  };
}

TEST(HostListParse, DropsCommentsBlanksAndEmptyLinesAndKeepsOrder) {
  const HostList list = MustParse(
      "# blocked hosts\r\n"
      "  *.example.com  \r\n"
      "\r\n"
      "\tads.example.net # the ad server\n"
      "   # only a comment\n"
      "%ResolveFailedHost%\r\n" +
      kHostKatakana +
      ".jp\r\n"
      "last.example.org");
  EXPECT_EQ(list.patterns,
            (Patterns{"*.example.com", "ads.example.net", "ホスト.jp", "last.example.org"}));
  EXPECT_TRUE(list.resolveFailedHost);

  const HostList odd = MustParse("%resolvefailedhost%\r\nx%ResolveFailedHost%\r\n");
  EXPECT_FALSE(odd.resolveFailedHost);
  EXPECT_EQ(odd.patterns, (Patterns{"%resolvefailedhost%", "x%ResolveFailedHost%"}));
  EXPECT_EQ(MustParse("# nothing\r\n\r\n   \r\n"), HostList{});
}

TEST(HostListParse, BytesThatAreNotTextMakeTheListUnreadable) {
  const HostListParseResult badByte = ParseHostList("good.example.com\r\nbad\x80\xff.com\r\n");
  EXPECT_FALSE(badByte.list.has_value());
  EXPECT_EQ(badByte.errorLine, 2u);
  EXPECT_NE(badByte.error.find("line 2"), std::string::npos) << badByte.error;

  const HostListParseResult nul = ParseHostList(std::string("a.com\nb\0.com\n", 13));
  EXPECT_FALSE(nul.list.has_value());
  EXPECT_EQ(nul.errorLine, 2u);
}

TEST(HostPattern, WithoutStarTheWholeNameMatchesIgnoringCase) {
  EXPECT_TRUE(MatchesHostPattern("www.Example.com", "WWW.example.COM"));
  EXPECT_FALSE(MatchesHostPattern("www.example.com", "www.example.co"));
  EXPECT_FALSE(MatchesHostPattern("www.example.com", "xwww.example.com"));
  EXPECT_FALSE(MatchesHostPattern("", "a"));
  EXPECT_TRUE(MatchesHostPattern("", ""));
}

TEST(HostPattern, StarsStandForAnyRunIncludingTheEmptyOne) {
  EXPECT_TRUE(MatchesHostPattern("*", ""));
  EXPECT_TRUE(MatchesHostPattern("*", "anything.at.all"));
  EXPECT_TRUE(MatchesHostPattern("ads.*", "ADS.example.com"));
  EXPECT_FALSE(MatchesHostPattern("ads.*", "ad"));
  EXPECT_TRUE(MatchesHostPattern("*.example.com", "www.example.com"));
  EXPECT_FALSE(MatchesHostPattern("*.example.com", "example.com"));
  EXPECT_TRUE(MatchesHostPattern("a*b*c", "a-b-c"));
  EXPECT_TRUE(MatchesHostPattern("a*b*c", "abc"));
  EXPECT_FALSE(MatchesHostPattern("a*b*c", "a-c-b"));
  EXPECT_TRUE(MatchesHostPattern("x***y", "x--y"));
  EXPECT_TRUE(MatchesHostPattern("*mid*", "left-MID-right"));
  EXPECT_FALSE(MatchesHostPattern("*mid*", "left-right"));
  // The prefix and the suffix may not share characters.
  EXPECT_FALSE(MatchesHostPattern("ab*ba", "aba"));
  EXPECT_TRUE(MatchesHostPattern("ab*ba", "abba"));
}

TEST(HostPattern, SuffixMatchesAtTheEndEvenWhenItAlsoOccursEarlier) {
  EXPECT_TRUE(MatchesHostPattern("*.example.com", "cdn.example.com.example.com"));
  EXPECT_TRUE(MatchesHostPattern("*com", "telecom.com"));
  EXPECT_TRUE(MatchesHostPattern("*aa", "aaa"));
  EXPECT_TRUE(MatchesHostPattern("a*x*a", "axaxa"));
  EXPECT_FALSE(MatchesHostPattern("*.com", "a.com.net"));
}

TEST(RuleHostTest, RuleWithoutHostConditionMatchesEveryHost) {
  const OperateConnectionRule rule;
  EXPECT_FALSE(rule.HasHostCondition());
  EXPECT_TRUE(rule.MatchesHost(""));
  EXPECT_TRUE(rule.MatchesHost("0.0.0.0"));
  EXPECT_TRUE(rule.MatchesHost("www.example.com"));
}

TEST(RuleHostTest, ResolveFailedFlagAloneMatchesDottedAddressesOtherThanZero) {
  OperateConnectionRule rule;
  rule.ResolveFailedHost = true;
  EXPECT_TRUE(rule.HasHostCondition());
  EXPECT_TRUE(rule.MatchesHost("192.168.0.1"));
  EXPECT_FALSE(rule.MatchesHost("0.0.0.0"));
  EXPECT_FALSE(rule.MatchesHost("www.example.com"));
  EXPECT_FALSE(rule.MatchesHost("localhost"));
  EXPECT_FALSE(rule.MatchesHost(""));
}

TEST(RuleHostTest, PatternsDecideForNamesAndTheFlagForAddresses) {
  OperateConnectionRule rule;
  rule.HostPatterns = {"*.example.com", "10.*"};
  EXPECT_TRUE(rule.MatchesHost("www.example.com"));
  EXPECT_FALSE(rule.MatchesHost("www.example.org"));
  EXPECT_FALSE(rule.MatchesHost(""));
  // Without the flag an address is just a name for the patterns.
  EXPECT_TRUE(rule.MatchesHost("10.0.0.1"));
  EXPECT_FALSE(rule.MatchesHost("192.168.0.1"));

  rule.ResolveFailedHost = true;
  EXPECT_TRUE(rule.MatchesHost("192.168.0.1"));
  EXPECT_FALSE(rule.MatchesHost("0.0.0.0"));
  EXPECT_TRUE(rule.MatchesHost("www.example.com"));
  EXPECT_FALSE(rule.MatchesHost("www.example.org"));
}

TEST(RuleHostTest, ResolveFailedFlagMatchesIpv6AddressTextOtherThanUnspecified) {
  OperateConnectionRule rule;
  rule.ResolveFailedHost = true;
  EXPECT_TRUE(rule.MatchesHost("2001:2::7"));
  EXPECT_TRUE(rule.MatchesHost("::1"));
  EXPECT_TRUE(rule.MatchesHost("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  EXPECT_FALSE(rule.MatchesHost("::"));
  EXPECT_FALSE(rule.MatchesHost("0:0:0:0:0:0:0:0"));
  // Names with colons that are no address text are names.
  EXPECT_FALSE(rule.MatchesHost("2001:2::7%eth0"));
  EXPECT_FALSE(rule.MatchesHost("host:8080"));
  EXPECT_FALSE(rule.MatchesHost("2001:2::g"));
  EXPECT_FALSE(rule.MatchesHost(":"));
  EXPECT_FALSE(rule.MatchesHost("v6.example.com"));
}

TEST(RuleHostTest, PatternsMatchIpv6AddressTextAsAnyName) {
  EXPECT_TRUE(MatchesHostPattern("2001:2::*", "2001:2::7"));
  EXPECT_TRUE(MatchesHostPattern("2001:2:*", "2001:2:0:1::7"));
  EXPECT_FALSE(MatchesHostPattern("2001:2::*", "2001:20::7"));
  EXPECT_TRUE(MatchesHostPattern("2001:DB8::*", "2001:db8::abcd"));
  EXPECT_TRUE(MatchesHostPattern("*::1", "::1"));
  EXPECT_FALSE(MatchesHostPattern("2001:2::7", "2001:2::77"));

  OperateConnectionRule rule;
  rule.HostPatterns = {"2001:2::*"};
  EXPECT_TRUE(rule.MatchesHost("2001:2::7"));
  EXPECT_FALSE(rule.MatchesHost("2001:3::7"));
  EXPECT_FALSE(rule.MatchesHost("::"));
  // With the flag, address text is decided by the flag, as dotted text is.
  rule.ResolveFailedHost = true;
  EXPECT_TRUE(rule.MatchesHost("2001:3::7"));
  EXPECT_FALSE(rule.MatchesHost("::"));
  rule.HostPatterns = {"::"};
  EXPECT_FALSE(rule.MatchesHost("::"));
}

TEST(RuleProcessTest, EmptyNameIsAnyProcessOtherwiseEqualIgnoringCase) {
  OperateConnectionRule rule;
  EXPECT_TRUE(rule.MatchesProcess("不明"));
  EXPECT_TRUE(rule.MatchesProcess(""));
  rule.TargetProcessName = "Firefox.EXE";
  EXPECT_TRUE(rule.MatchesProcess("firefox.exe"));
  EXPECT_FALSE(rule.MatchesProcess("firefox"));
  EXPECT_FALSE(rule.MatchesProcess("不明"));
}

TEST(RuleConditionText, ListsTheBoundsThatAreSet) {
  OperateConnectionRule rule;
  EXPECT_EQ(rule.ConditionText(), "なし");

  rule.TriggerTimeHigh = 60;
  EXPECT_EQ(rule.ConditionText(), "接続時間が60秒以下");

  rule.TriggerTimeLow = 10;
  rule.TriggerAmountOfUpTrafficLow = 18446744073709551615u;
  rule.TriggerAmountOfDownTrafficHigh = 4096;
  EXPECT_EQ(rule.ConditionText(),
            "接続時間が10秒以上60秒以下 かつ UP転送量が18446744073709551615Byte以上 かつ "
            "DOWN転送量が4096Byte以下");

  OperateConnectionRule downOnly;
  downOnly.TriggerAmountOfDownTrafficLow = 1;
  downOnly.TriggerAmountOfDownTrafficHigh = 2;
  EXPECT_EQ(downOnly.ConditionText(), "DOWN転送量が1Byte以上2Byte以下");
}

TEST(RuleCondition, EveryBoundIsStrictAndZeroMeansNoBound) {
  OperateConnectionRule rule;
  EXPECT_TRUE(rule.ConditionHolds({}));  // no bounds: every undecided connection
  rule.TriggerTimeLow = 10;
  rule.TriggerAmountOfUpTrafficHigh = 1000;
  rule.TriggerAmountOfDownTrafficLow = 5;
  const ConnectionConditionValues inside{0, 11, 999, 6};
  EXPECT_TRUE(rule.ConditionHolds(inside));
  auto at = inside;
  at.connectedSeconds = 10;  // exactly at the low bound
  EXPECT_FALSE(rule.ConditionHolds(at));
  at = inside;
  at.upTotal = 1000;  // exactly at the high bound
  EXPECT_FALSE(rule.ConditionHolds(at));
  at = inside;
  at.downTotal = 5;
  EXPECT_FALSE(rule.ConditionHolds(at));
  rule.TriggerTimeHigh = 11;
  EXPECT_FALSE(rule.ConditionHolds(inside));
  rule.TriggerTimeHigh = 12;
  EXPECT_TRUE(rule.ConditionHolds(inside));
}

TEST(RuleCondition, ConnectionAlreadyDecidedNeverMatches) {
  const OperateConnectionRule rule;
  EXPECT_FALSE(rule.ConditionHolds({-1, 100, 0, 0}));
  EXPECT_FALSE(rule.ConditionHolds({2, 100, 0, 0}));
}

TEST(RuleCondition, HugeTrafficBoundsCompareAsSixtyFourBits) {
  OperateConnectionRule rule;
  rule.TriggerAmountOfDownTrafficLow = 0x100000000ULL;
  EXPECT_FALSE(rule.ConditionHolds({0, 1, 0, 0xFFFFFFFFULL}));
  EXPECT_TRUE(rule.ConditionHolds({0, 1, 0, 0x100000001ULL}));
}

TEST(RuleHostListLoad, LoadsTheFileThePathNames) {
  OperateConnectionRule rule;
  rule.RemoteHostListPath = ".\\lists\\block.lst";
  ASSERT_TRUE(rule.LoadHostList(
      FakeFiles({{".\\lists\\block.lst", "*.example.com\r\n%ResolveFailedHost%\r\n"}})));
  EXPECT_EQ(rule.HostPatterns, Patterns{"*.example.com"});
  EXPECT_TRUE(rule.ResolveFailedHost);
  EXPECT_EQ(rule.HostListProblem, "");

  // Either separator works; "\\" is never a trail byte in UTF-8 text.
  EXPECT_EQ(StoredPathToLocal(".\\ソ\\block.lst"), std::filesystem::path("./ソ/block.lst"));

  // A new list replaces the old one whole, the flag included.
  ASSERT_TRUE(rule.LoadHostList(FakeFiles({{".\\lists\\block.lst", "a.example.org\n"}})));
  EXPECT_EQ(rule.HostPatterns, Patterns{"a.example.org"});
  EXPECT_FALSE(rule.ResolveFailedHost);
}

TEST(RuleHostListLoad, UnreadableListKeepsThePatternsAndMatchesNoHost) {
  OperateConnectionRule rule;
  rule.RemoteHostListPath = "block.lst";
  rule.HostPatterns = {"old.example.com"};

  EXPECT_FALSE(rule.LoadHostList(FakeFiles({})));
  EXPECT_EQ(rule.HostPatterns, Patterns{"old.example.com"});
  EXPECT_NE(rule.HostListProblem.find("block.lst"), std::string::npos);
  EXPECT_TRUE(rule.HasHostCondition());
  EXPECT_FALSE(rule.MatchesHost("old.example.com"));
  EXPECT_FALSE(rule.MatchesHost("anything"));

  EXPECT_FALSE(rule.LoadHostList(FakeFiles({{"block.lst", "ok\r\n\x81\r\n"}})));
  EXPECT_NE(rule.HostListProblem.find("line 2"), std::string::npos) << rule.HostListProblem;
  EXPECT_EQ(rule.HostPatterns, Patterns{"old.example.com"});

  const auto failing = [](std::string_view) {
    return FileReadResult{FileReadStatus::kFailed, {}, "block.lst: permission denied"};
  };
  EXPECT_FALSE(rule.LoadHostList(failing));
  EXPECT_EQ(rule.HostListProblem, "block.lst: permission denied");

  // Once the list reads again the rule takes part again.
  ASSERT_TRUE(rule.LoadHostList(FakeFiles({{"block.lst", "new.example.com\n"}})));
  EXPECT_EQ(rule.HostListProblem, "");
  EXPECT_TRUE(rule.MatchesHost("new.example.com"));
}

TEST(RuleHostListLoad, EmptyPathMakesTheRuleAboutEveryHost) {
  OperateConnectionRule rule;
  rule.HostPatterns = {"old.example.com"};
  rule.ResolveFailedHost = true;
  rule.HostListProblem = "gone.lst: there is no such file";
  bool asked = false;
  EXPECT_TRUE(rule.LoadHostList([&asked](std::string_view) {
    asked = true;
    return FileReadResult{};
  }));
  EXPECT_FALSE(asked);
  EXPECT_FALSE(rule.HasHostCondition());
  EXPECT_TRUE(rule.MatchesHost("www.example.org"));
}

}  // namespace
}  // namespace harlune
