#include "core/app/settings_store.h"

#include <algorithm>

#include "core/app/ini_file_reader.h"
#include "core/app/ini_file_writer.h"
#include "core/base/string_resources.h"
#include "core/base/xml_text.h"
#include "core/filter/packet_filter_file.h"
#include "core/htb/htb_file.h"

namespace harlune {
namespace {

using Outcome = SettingsLoadOutcome;

std::string Quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

}  // namespace

Settings::Settings(const std::filesystem::path& folder, UserDialogs& dialogs)
    : filters(dialogs), commands(folder / strings::kExternalCommandFile) {}

SettingsStore::SettingsStore(std::filesystem::path folder, Settings& settings,
                             const AdapterTable& adapters, UserDialogs& dialogs, LocalClock clock)
    : folder_(std::move(folder)),
      settings_(settings),
      adapters_(adapters),
      dialogs_(dialogs),
      clock_(std::move(clock)) {}

bool SettingsStore::NeedsWriting(const SettingsLoadResult& result, std::string_view fileName) {
  const std::filesystem::path path = PathOf(fileName);
  switch (result.outcome) {
    case Outcome::kLoaded:
      return false;
    case Outcome::kMissing:
      return true;
    case Outcome::kRestoredFromBackup:
      dialogs_.ShowMessage("設定ファイル" + Quoted(path) + "を読み込めなかったため、バックアップ" +
                           Quoted(result.backup) + "から復元しました。\n" + result.problem);
      return false;
    case Outcome::kDamagedMovedAside:
      dialogs_.ShowMessage("設定ファイル" + Quoted(path) + "が壊れているため" +
                           Quoted(result.damagedCopy) + "に移して、既定の設定で作り直します。\n" +
                           result.problem);
      return true;
    case Outcome::kFailed:
      dialogs_.ShowMessage(
          "設定ファイル" + Quoted(path) +
          "が壊れていて、退避もできませんでした。このファイルには保存しません。\n" +
          result.problem);
      unwritable_.emplace_back(fileName);
      return false;
  }
  return false;
}

bool SettingsStore::Writable(std::string_view fileName) const {
  return std::find(unwritable_.begin(), unwritable_.end(), fileName) == unwritable_.end();
}

void SettingsStore::LoadAllSettings() {
  if (NeedsWriting(settings_.commands.Load(clock_), strings::kExternalCommandFile)) {
    SaveCommands();
  }
  const auto rulesPath = PathOf(strings::kConnectionControlRuleFile);
  if (NeedsWriting(
          LoadConnectionControlRuleFile(rulesPath, settings_.rules, ReadHostListFile, clock_),
          strings::kConnectionControlRuleFile)) {
    SaveRules();
  }
  const auto filtersPath = PathOf(strings::kPacketFilterSettingFile);
  if (NeedsWriting(LoadPacketFilterFile(filtersPath, settings_.filters, clock_),
                   strings::kPacketFilterSettingFile)) {
    SaveXml(strings::kPacketFilterSettingFile,
            [&] { return SavePacketFilterFile(filtersPath, settings_.filters); });
  }
  const auto htbPath = PathOf(strings::kHtbSettingFile);
  const FilterLookup lookup = [this](std::int32_t id) { return settings_.filters.FindById(id); };
  if (NeedsWriting(LoadHtbFile(htbPath, settings_.htb, lookup, clock_), strings::kHtbSettingFile)) {
    SaveXml(strings::kHtbSettingFile, [&] { return SaveHtbFile(htbPath, settings_.htb); });
  }
  IniFileReader reader(settings_.general, adapters_, dialogs_);
  const auto generalResult =
      LoadSettingsFile(PathOf(strings::kGeneralSettingFile), reader.Parser(), clock_);
  // A read stopped at a buffer limit kept what it read, but it is a
  // failed read all the same: the files are written out again.
  if (NeedsWriting(generalResult, strings::kGeneralSettingFile) || reader.StoppedAtLimit()) {
    SaveAllSettings();
  }
  ReportKeptKeys();
  settingsSaved_ = true;
}

SettingsStore::SaveStep SettingsStore::StepAfter(std::string_view fileName,
                                                 const SafeWriteResult& result) {
  if (!result.ok()) {
    dialogs_.ShowMessage(result.UserMessage());
    return result.EndsTheSave() ? SaveStep::kEnd : SaveStep::kNotWritten;
  }
  std::vector<std::string>& last = lastKeptKeys_[std::string(fileName)];
  for (const std::string& key : result.keptKeys) {
    keptKeysToTell_ = keptKeysToTell_ || std::ranges::find(last, key) == last.end();
    keptKeys_.push_back(key);
  }
  last = result.keptKeys;
  return SaveStep::kWritten;
}

void SettingsStore::ReportKeptKeys() {
  if (keptKeysToTell_) {
    std::string message(kKeptSettingsMessage);
    for (std::size_t i = 0; i < keptKeys_.size(); ++i) {
      message += (i == 0 ? "" : ", ") + keptKeys_[i];
    }
    dialogs_.ShowMessage(message);
  }
  keptKeys_.clear();
  keptKeysToTell_ = false;
}

template <typename SaveFunction>
SettingsStore::SaveStep SettingsStore::SaveXml(std::string_view fileName, SaveFunction save) {
  if (!Writable(fileName)) {
    return SaveStep::kNotWritten;
  }
  try {
    return StepAfter(fileName, save());
  } catch (const XmlWriteError& error) {
    dialogs_.ShowMessage(std::string(kWriteFailedMessage) + "\n" + error.what());
    return SaveStep::kNotWritten;
  }
}

SettingsStore::SaveStep SettingsStore::SaveGeneral() {
  if (!Writable(strings::kGeneralSettingFile)) {
    return SaveStep::kNotWritten;
  }
  return StepAfter(
      strings::kGeneralSettingFile,
      IniFileWriter(settings_.general).WriteIniFile(PathOf(strings::kGeneralSettingFile)));
}

SettingsStore::SaveStep SettingsStore::SaveRules() {
  if (!Writable(strings::kConnectionControlRuleFile)) {
    return SaveStep::kNotWritten;
  }
  return StepAfter(
      strings::kConnectionControlRuleFile,
      SaveConnectionControlRuleFile(PathOf(strings::kConnectionControlRuleFile), settings_.rules));
}

SettingsStore::SaveStep SettingsStore::SaveCommands() {
  if (!Writable(strings::kExternalCommandFile)) {
    return SaveStep::kNotWritten;
  }
  // The command list tells the user of a failure itself.
  const SafeWriteResult result = settings_.commands.Save(dialogs_);
  if (!result.ok()) {
    return SaveStep::kNotWritten;
  }
  return StepAfter(strings::kExternalCommandFile, result);
}

bool SettingsStore::SaveGeneralSettings() {
  const SaveStep step = SaveGeneral();
  ReportKeptKeys();
  return step == SaveStep::kWritten;
}

bool SettingsStore::SaveAllSettings() {
  // A file that was not written keeps its unsaved settings: closing must ask.
  settingsSaved_ = false;
  bool everyFileWritten = true;
  const auto goOn = [&everyFileWritten](SaveStep step) {
    everyFileWritten = everyFileWritten && step == SaveStep::kWritten;
    return step != SaveStep::kEnd;
  };
  const bool reachedTheEnd =
      goOn(SaveGeneral()) &&
      goOn(SaveXml(strings::kPacketFilterSettingFile,
                   [&] {
                     return SavePacketFilterFile(PathOf(strings::kPacketFilterSettingFile),
                                                 settings_.filters);
                   })) &&
      goOn(SaveXml(strings::kHtbSettingFile,
                   [&] { return SaveHtbFile(PathOf(strings::kHtbSettingFile), settings_.htb); })) &&
      goOn(SaveRules()) && goOn(SaveCommands());
  ReportKeptKeys();
  settingsSaved_ = reachedTheEnd && everyFileWritten;
  return reachedTheEnd;
}

}  // namespace harlune
