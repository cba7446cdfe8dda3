// What an editor asks before it accepts a value: whether the file that will
// hold it can give it back unchanged.

#include <string>

#include <gtest/gtest.h>

#include "core/app/ini_file_format.h"
#include "core/base/profile_file.h"
#include "core/base/xml_text.h"

namespace harlune {
namespace {

TEST(StorableText, ProfileValuesRefuseWhatReadingWouldChange) {
  EXPECT_EQ(ProfileValueProblem("ログ_%Y%m%d.txt"), "");
  EXPECT_EQ(ProfileValueProblem(""), "");
  EXPECT_NE(ProfileValueProblem("log.txt "), "");
  EXPECT_NE(ProfileValueProblem("\tlog.txt"), "");
  EXPECT_NE(ProfileValueProblem("a\nb"), "");
  EXPECT_NE(ProfileValueProblem("caf\xC3\xA9"), "");       // é: CP932 lacks it
  EXPECT_NE(ProfileValueProblem("\xF0\x9F\x98\x80"), "");  // an emoji
  EXPECT_NE(ProfileValueProblem("\xFF"), "");              // not UTF-8 at all
}

TEST(StorableText, GeneralSettingsAlsoKeepTheLineWithinItsLimit) {
  const std::string key = "LOG_FILE_NAME";
  // "KEY=" plus the value is one line of at most 511 bytes.
  const std::string longest(kMaxLineBytes - key.size() - 1, 'a');
  EXPECT_EQ(GeneralSettingProblem(key, longest), "");
  EXPECT_NE(GeneralSettingProblem(key, longest + "a"), "");
  // A CP932 character counts its two file bytes, not its three UTF-8 bytes.
  std::string wide;
  for (std::size_t i = 0; i < longest.size() / 2; ++i) {
    wide += "ア";
  }
  EXPECT_EQ(GeneralSettingProblem(key, wide), "");
  EXPECT_NE(GeneralSettingProblem(key, wide + "ア"), "");
  EXPECT_NE(GeneralSettingProblem(key, "x "), "");
}

TEST(StorableText, XmlTextRefusesWhatTheDocumentCannotCarry) {
  EXPECT_EQ(XmlTextProblem("上位 <class> & \"名前\"\r\n"), "");
  EXPECT_NE(XmlTextProblem("\xED\x95\x9C"), "");  // Hangul: Shift_JIS lacks it
  EXPECT_NE(XmlTextProblem(std::string("a\x01", 2)), "");
}

}  // namespace
}  // namespace harlune
