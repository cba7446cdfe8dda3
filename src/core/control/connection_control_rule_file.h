#pragma once

// The ordered list of connection control rules (first = highest priority) and
// ConnectionControlRule.ini, the profile file that keeps it:
//
//   [Common Settings]
//   FileVersion=1500
//   [ConnectionControlRule1]
//   Name=...            one section per rule, numbered from 1 in list order,
//   ...                 with the keys in a fixed order
//
// Values are stored whole. Older builds cut a text value at its first ',' when
// they wrote it, so such files never hold a ',' in a text value; a ',' that a
// value of this build holds is written and read back as it is (an older build
// reading it takes the part before the ','). Number and boolean values are
// read from their first non-empty comma-separated item, as older builds do.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/profile_file.h"
#include "core/base/safe_file.h"
#include "core/base/user_dialogs.h"
#include "core/control/operate_connection_rule.h"

namespace harlune {

// The file's place as the settings name it, relative to the settings folder
// (see StoredPathToLocal).
inline constexpr std::string_view kConnectionControlRuleFilePath = ".\\ConnectionControlRule.ini";
inline constexpr std::string_view kDefaultConnectionControlLogPath = ".\\ConnectionControl.log";
inline constexpr std::string_view kCommonSettingsSection = "Common Settings";
inline constexpr std::string_view kRuleSectionPrefix = "ConnectionControlRule";
inline constexpr std::string_view kRuleFileVersion = "1500";

// The product's messages for refused list changes.
inline constexpr std::string_view kTooManyRulesToAddMessage =
    "これ以上コネクション操作ルールを追加できません。";
inline constexpr std::string_view kTooManyRulesToDuplicateMessage =
    "これ以上ルールを追加できません。";
inline constexpr std::string_view kBadRuleIndexMessage = "indexが不正";

class OperateConnectionRuleIni {
 public:
  // The list takes no more rules once it holds this many. A file may hold
  // more (an older build reads up to 128); they are all kept.
  static constexpr std::size_t kMaxRules = 64;

  OperateConnectionRuleIni() = default;
  OperateConnectionRuleIni(const OperateConnectionRuleIni&) = default;
  OperateConnectionRuleIni& operator=(const OperateConnectionRuleIni&) = default;
  OperateConnectionRuleIni(OperateConnectionRuleIni&&) = default;
  OperateConnectionRuleIni& operator=(OperateConnectionRuleIni&&) = default;
  virtual ~OperateConnectionRuleIni() = default;

  std::span<OperateConnectionRule> Rules() { return rules_; }
  std::span<const OperateConnectionRule> Rules() const { return rules_; }
  std::size_t size() const { return rules_.size(); }

  // Appends a copy; refused with kTooManyRulesToAddMessage at kMaxRules.
  bool Append(const OperateConnectionRule& rule, UserDialogs& dialogs);

  // Appends a copy of each rule at the given positions, in the order given;
  // refused with kTooManyRulesToDuplicateMessage when the list would pass
  // kMaxRules, and without a message when a position is outside the list.
  bool Duplicate(std::span<const std::size_t> indices, UserDialogs& dialogs);

  // Removes the rule at index; outside the list: kBadRuleIndexMessage.
  bool RemoveAt(std::size_t index, UserDialogs& dialogs);

  // Exchanges two positions (moving a rule up or down); false when either is
  // outside the list.
  bool Swap(std::size_t first, std::size_t second);

  // Puts a copy in place of the rule at index; false outside the list.
  bool ReplaceAt(std::size_t index, const OperateConnectionRule& rule);

  // Read from "Common Settings" and never written back: the control log
  // itself follows the general settings.
  std::string LogFilePath{kDefaultConnectionControlLogPath};
  bool RecordLog = true;

 private:
  friend struct RuleFileReader;

  std::vector<OperateConnectionRule> rules_;
};

struct RuleFileParseResult {
  std::optional<OperateConnectionRuleIni> rules;  // set when the file is readable
  std::size_t errorLine = 0;                      // 1-based line that made it unreadable
  std::string error;                              // why it is damaged
};

// Reads the file's bytes (CP932, or UTF-8 as an editor writes it). Each rule
// read loads its host list through `readHostList`. A line in neither
// encoding reads as no key. A file that holds a NUL byte, or a rule text with
// a carriage return inside, is damaged; a file without any rule gives an
// empty list.
RuleFileParseResult ParseConnectionControlRuleFile(std::string_view cp932,
                                                   const HostListReader& readHostList);

struct [[nodiscard]] RuleFileWriteResult {
  std::string bytes;  // the whole file, CP932 with CRLF lines
  // Why no file could be made. No value sets it any longer (a value the
  // file cannot hold goes to keptKeys); callers still check it.
  std::string error;
  // The keys, as "[ConnectionControlRule2] Name", whose value the file
  // cannot hold (a character CP932 lacks, a line break).
  std::vector<std::string> keptKeys = {};

  bool ok() const { return error.empty(); }
};

// The file for the rules. Blanks around a text value are dropped (reading
// drops them too). A value the file cannot hold does not stop the rest: its
// key keeps the value `previous` (the file as it is now) has for the same
// section and key, or is left out when there is none.
RuleFileWriteResult SerializeConnectionControlRuleFile(const OperateConnectionRuleIni& rules,
                                                       const ProfileFile* previous = nullptr);

// Reads the file at `file` into `rules` with the damaged-file policy of
// LoadSettingsFile. `rules` changes only when the outcome is kLoaded or
// kRestoredFromBackup; on kMissing and kDamagedMovedAside the caller writes
// the file anew from the rules it holds, on kFailed it must not write it.
SettingsLoadResult LoadConnectionControlRuleFile(
    const std::filesystem::path& file, OperateConnectionRuleIni& rules,
    const HostListReader& readHostList = ReadHostListFile, const LocalClock& now = LocalTimeNow);

// Replaces the file with the rules, whole (no section of an earlier list
// stays behind). A value that cannot be stored keeps the line the file has
// for it (see SerializeConnectionControlRuleFile); the result names it in
// keptKeys.
SafeWriteResult SaveConnectionControlRuleFile(const std::filesystem::path& file,
                                              const OperateConnectionRuleIni& rules);

}  // namespace harlune
