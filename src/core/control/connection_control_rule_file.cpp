#include "core/control/connection_control_rule_file.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/base/c_decimal.h"
#include "core/base/flag_text.h"
#include "core/base/profile_file.h"

namespace harlune {
namespace {

// The first non-empty item of a value split at ',', as older builds read
// numbers and booleans; nothing when every item is empty.
std::optional<std::string_view> FirstItem(std::string_view value) {
  while (!value.empty()) {
    const std::size_t comma = std::min(value.find(','), value.size());
    if (comma > 0) {
      return value.substr(0, comma);
    }
    value.remove_prefix(1);
  }
  return std::nullopt;
}

std::string RuleSectionName(std::size_t number) {
  return std::string(kRuleSectionPrefix) + std::to_string(number);
}

// The line of the file that holds a key with that value, for messages; 0 when
// it cannot be told.
std::size_t LineOfEntry(const ProfileFile& document, const ProfileEntry& entry) {
  const std::vector<std::string> lines = document.Lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos &&
        line.substr(0, equals).find(entry.key) != std::string_view::npos &&
        line.substr(equals + 1).find(entry.value) != std::string_view::npos) {
      return i + 1;
    }
  }
  return 0;
}

}  // namespace

// Builds the list from a parsed document; it alone may take more rules than
// the list accepts from the user.
struct RuleFileReader {
  static RuleFileParseResult Read(const ProfileFile& document, const HostListReader& readHostList);
  static std::string ApplyRuleEntry(OperateConnectionRule& rule, const ProfileEntry& entry);
};

std::string RuleFileReader::ApplyRuleEntry(OperateConnectionRule& rule, const ProfileEntry& entry) {
  const std::string& key = entry.key;
  const std::string_view value = entry.value;
  std::string* text = key == "Name"                 ? &rule.Name
                      : key == "Comment"            ? &rule.Comment
                      : key == "TargetProcessName"  ? &rule.TargetProcessName
                      : key == "RemoteHostListPath" ? &rule.RemoteHostListPath
                                                    : nullptr;
  if (text != nullptr) {
    if (value.find('\r') != std::string_view::npos) {
      return "the value of " + key + " holds a carriage return";
    }
    if (!value.empty()) {  // an empty value leaves the default
      *text = value;
    }
    return {};
  }
  const std::optional<std::string_view> item = FirstItem(value);
  if (!item) {
    return {};
  }
  if (key == "Available") {
    rule.Available = IsTrueText(*item);
  } else if (key == "BLimitConnectionNum") {
    rule.BLimitConnectionNum = IsTrueText(*item);
  } else if (key == "TriggerTimeLow") {
    rule.TriggerTimeLow = ReadCDecimal<std::uint32_t>(*item);
  } else if (key == "TriggerTimeHigh") {
    rule.TriggerTimeHigh = ReadCDecimal<std::uint32_t>(*item);
  } else if (key == "TriggerAmountOfUpTrafficLow") {
    rule.TriggerAmountOfUpTrafficLow = ReadCDecimal<std::uint64_t>(*item);
  } else if (key == "TriggerAmountOfUpTrafficHigh") {
    rule.TriggerAmountOfUpTrafficHigh = ReadCDecimal<std::uint64_t>(*item);
  } else if (key == "TriggerAmountOfDownTrafficLow") {
    rule.TriggerAmountOfDownTrafficLow = ReadCDecimal<std::uint64_t>(*item);
  } else if (key == "TriggerAmountOfDownTrafficHigh") {
    rule.TriggerAmountOfDownTrafficHigh = ReadCDecimal<std::uint64_t>(*item);
  } else if (key == "Action") {
    rule.Action = ReadCDecimal<std::int32_t>(*item);
  } else if (key == "AllowConnectionNum") {
    rule.AllowConnectionNum = ReadCDecimal<std::uint32_t>(*item);
  } else if (key == "PriorCondition") {
    rule.PriorCondition = ReadCDecimal<std::int32_t>(*item);
  }
  return {};
}

RuleFileParseResult RuleFileReader::Read(const ProfileFile& document,
                                         const HostListReader& readHostList) {
  OperateConnectionRuleIni list;
  for (const std::string& section : document.SectionNames()) {
    const std::vector<ProfileEntry> entries = document.Section(section);
    if (section == kCommonSettingsSection) {
      for (const ProfileEntry& entry : entries) {
        if (entry.key == "LogFilePath" && !entry.value.empty()) {
          list.LogFilePath = entry.value;
        } else if (entry.key == "RecordLog") {
          if (const std::optional<std::string_view> item = FirstItem(entry.value)) {
            list.RecordLog = IsTrueText(*item);
          }
        }
      }
      continue;
    }
    // Rules are numbered from 1 in order; a gap ends them, and sections out
    // of order are skipped.
    if (section != RuleSectionName(list.rules_.size() + 1)) {
      continue;
    }
    OperateConnectionRule rule;
    for (const ProfileEntry& entry : entries) {
      const std::string problem = ApplyRuleEntry(rule, entry);
      if (!problem.empty()) {
        const std::size_t line = LineOfEntry(document, entry);
        return {std::nullopt, line,
                "line " + std::to_string(line) + ": [" + section + "] " + problem};
      }
    }
    rule.LoadHostList(readHostList);
    list.rules_.push_back(std::move(rule));
  }
  return {std::move(list), 0, {}};
}

RuleFileParseResult ParseConnectionControlRuleFile(std::string_view cp932,
                                                   const HostListReader& readHostList) {
  if (const std::size_t nul = cp932.find('\0'); nul != std::string_view::npos) {
    const auto line = static_cast<std::size_t>(std::ranges::count(cp932.substr(0, nul), '\n')) + 1;
    return {std::nullopt, line, "line " + std::to_string(line) + " holds a NUL byte"};
  }
  return RuleFileReader::Read(*ProfileFile::Parse(cp932).file, readHostList);
}

namespace {

// Writes the keys of a new document. A value the file cannot hold does not
// stop the others: its key keeps the value the file had (or stays out when
// it had none) and is remembered for the user.
class RuleDocumentWriter {
 public:
  explicit RuleDocumentWriter(const ProfileFile* previous) : previous_(previous) {}

  void Put(std::string_view section, std::string_view key, std::string_view value) {
    if (ProfileValueProblem(value).empty() && document_.WriteString(section, key, value).ok()) {
      return;
    }
    keptKeys_.push_back("[" + std::string(section) + "] " + std::string(key));
    if (previous_ == nullptr) {
      return;
    }
    if (const std::optional<std::string> old = previous_->Find(section, key)) {
      // A value the file no longer takes back stays out, like one it never had.
      static_cast<void>(document_.WriteString(section, key, *old));
    }
  }

  RuleFileWriteResult Finish() { return {document_.Serialize(), {}, std::move(keptKeys_)}; }

 private:
  const ProfileFile* previous_;
  ProfileFile document_;
  std::vector<std::string> keptKeys_;
};

// Blanks around a text are dropped, as reading drops them.
std::string_view StoredText(std::string_view value) {
  constexpr std::string_view kBlanks = " \t\v\f";
  const std::size_t first = value.find_first_not_of(kBlanks);
  return first == std::string_view::npos
             ? std::string_view{}
             : value.substr(first, value.find_last_not_of(kBlanks) - first + 1);
}

void WriteRule(RuleDocumentWriter& writer, const std::string& section,
               const OperateConnectionRule& rule) {
  const auto put = [&writer, &section](std::string_view key, std::string_view value) {
    writer.Put(section, key, value);
  };
  const auto boolean = [](bool value) { return FlagText(value ? 1 : 0); };
  put("Name", StoredText(rule.Name));
  put("Comment", StoredText(rule.Comment));
  put("Available", boolean(rule.Available));
  put("TriggerTimeLow", std::to_string(rule.TriggerTimeLow));
  put("TriggerTimeHigh", std::to_string(rule.TriggerTimeHigh));
  put("TriggerAmountOfUpTrafficHigh", std::to_string(rule.TriggerAmountOfUpTrafficHigh));
  put("TriggerAmountOfUpTrafficLow", std::to_string(rule.TriggerAmountOfUpTrafficLow));
  put("TriggerAmountOfDownTrafficHigh", std::to_string(rule.TriggerAmountOfDownTrafficHigh));
  put("TriggerAmountOfDownTrafficLow", std::to_string(rule.TriggerAmountOfDownTrafficLow));
  put("TargetProcessName", StoredText(rule.TargetProcessName));
  put("RemoteHostListPath", StoredText(rule.RemoteHostListPath));
  put("Action", std::to_string(rule.Action));
  put("AllowConnectionNum", std::to_string(rule.AllowConnectionNum));
  put("BLimitConnectionNum", boolean(rule.BLimitConnectionNum));
  put("PriorCondition", std::to_string(rule.PriorCondition));
}

}  // namespace

RuleFileWriteResult SerializeConnectionControlRuleFile(const OperateConnectionRuleIni& rules,
                                                       const ProfileFile* previous) {
  RuleDocumentWriter writer(previous);
  writer.Put(kCommonSettingsSection, "FileVersion", kRuleFileVersion);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    WriteRule(writer, RuleSectionName(i + 1), rules.Rules()[i]);
  }
  return writer.Finish();
}

bool OperateConnectionRuleIni::Append(const OperateConnectionRule& rule, UserDialogs& dialogs) {
  if (rules_.size() >= kMaxRules) {
    dialogs.ShowMessage(kTooManyRulesToAddMessage);
    return false;
  }
  rules_.push_back(rule);
  return true;
}

bool OperateConnectionRuleIni::Duplicate(std::span<const std::size_t> indices,
                                         UserDialogs& dialogs) {
  if (std::ranges::any_of(indices, [this](std::size_t index) { return index >= rules_.size(); })) {
    return false;
  }
  if (rules_.size() + indices.size() > kMaxRules) {
    dialogs.ShowMessage(kTooManyRulesToDuplicateMessage);
    return false;
  }
  std::vector<OperateConnectionRule> copies;
  copies.reserve(indices.size());
  for (const std::size_t index : indices) {
    copies.push_back(rules_[index]);
  }
  rules_.insert(rules_.end(), std::make_move_iterator(copies.begin()),
                std::make_move_iterator(copies.end()));
  return true;
}

bool OperateConnectionRuleIni::RemoveAt(std::size_t index, UserDialogs& dialogs) {
  if (index >= rules_.size()) {
    dialogs.ShowMessage(kBadRuleIndexMessage);
    return false;
  }
  rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

bool OperateConnectionRuleIni::Swap(std::size_t first, std::size_t second) {
  if (first >= rules_.size() || second >= rules_.size()) {
    return false;
  }
  std::swap(rules_[first], rules_[second]);
  return true;
}

bool OperateConnectionRuleIni::ReplaceAt(std::size_t index, const OperateConnectionRule& rule) {
  if (index >= rules_.size()) {
    return false;
  }
  rules_[index] = rule;
  return true;
}

SettingsLoadResult LoadConnectionControlRuleFile(const std::filesystem::path& file,
                                                 OperateConnectionRuleIni& rules,
                                                 const HostListReader& readHostList,
                                                 const LocalClock& now) {
  std::optional<OperateConnectionRuleIni> read;
  const SettingsLoadResult result = LoadSettingsFile(
      file,
      [&read, &readHostList](std::string_view bytes) -> std::optional<std::string> {
        RuleFileParseResult parsed = ParseConnectionControlRuleFile(bytes, readHostList);
        if (!parsed.rules) {
          return parsed.error;
        }
        read = std::move(parsed.rules);
        return std::nullopt;
      },
      now);
  if (read && (result.outcome == SettingsLoadOutcome::kLoaded ||
               result.outcome == SettingsLoadOutcome::kRestoredFromBackup)) {
    rules = std::move(*read);
  }
  return result;
}

SafeWriteResult SaveConnectionControlRuleFile(const std::filesystem::path& file,
                                              const OperateConnectionRuleIni& rules) {
  const FileReadResult existing = ReadFileBytes(file);
  ProfileParseResult previous;
  if (existing.status == FileReadStatus::kRead) {
    previous = ProfileFile::Parse(existing.bytes);
  }
  const ProfileFile* previousFile = previous.file ? &*previous.file : nullptr;
  RuleFileWriteResult bytes = SerializeConnectionControlRuleFile(rules, previousFile);
  if (!bytes.ok()) {
    return {SafeWriteFailure::kWrite, file.string() + ": " + bytes.error};
  }
  SafeWriteResult result = WriteSettingsFile(file, bytes.bytes);
  if (result.ok()) {
    result.keptKeys = std::move(bytes.keptKeys);
  }
  return result;
}

}  // namespace harlune
