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
    (void)settings_.commands.Save(dialogs_);
  }
  const auto rulesPath = PathOf(strings::kConnectionControlRuleFile);
  if (NeedsWriting(
          LoadConnectionControlRuleFile(rulesPath, settings_.rules, ReadHostListFile, clock_),
          strings::kConnectionControlRuleFile)) {
    ContinueAfter(SaveConnectionControlRuleFile(rulesPath, settings_.rules));
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
  if (NeedsWriting(generalResult, strings::kGeneralSettingFile)) {
    SaveAllSettings();
  }
  settingsSaved_ = true;
}

bool SettingsStore::ContinueAfter(const SafeWriteResult& result) {
  if (result.ok()) {
    return true;
  }
  dialogs_.ShowMessage(result.UserMessage());
  // A backup that cannot be made means the disk is full or broken: writing
  // the following files would only fail the same way.
  return result.failure != SafeWriteFailure::kBackup;
}

template <typename SaveFunction>
bool SettingsStore::SaveXml(std::string_view fileName, SaveFunction save) {
  if (!Writable(fileName)) {
    return true;
  }
  try {
    return ContinueAfter(save());
  } catch (const XmlWriteError& error) {
    dialogs_.ShowMessage(std::string(kWriteFailedMessage) + "\n" + error.what());
    return true;
  }
}

bool SettingsStore::SaveGeneralSettings() {
  if (!Writable(strings::kGeneralSettingFile)) {
    return false;
  }
  const SafeWriteResult result =
      IniFileWriter(settings_.general).WriteIniFile(PathOf(strings::kGeneralSettingFile));
  if (!result.ok()) {
    dialogs_.ShowMessage(result.UserMessage());
  }
  return result.ok();
}

bool SettingsStore::SaveAllSettings() {
  SaveGeneralSettings();
  if (!SaveXml(strings::kPacketFilterSettingFile, [&] {
        return SavePacketFilterFile(PathOf(strings::kPacketFilterSettingFile), settings_.filters);
      })) {
    return false;
  }
  if (!SaveXml(strings::kHtbSettingFile,
               [&] { return SaveHtbFile(PathOf(strings::kHtbSettingFile), settings_.htb); })) {
    return false;
  }
  if (Writable(strings::kConnectionControlRuleFile) &&
      !ContinueAfter(SaveConnectionControlRuleFile(PathOf(strings::kConnectionControlRuleFile),
                                                   settings_.rules))) {
    return false;
  }
  if (Writable(strings::kExternalCommandFile)) {
    (void)settings_.commands.Save(dialogs_);
  }
  settingsSaved_ = true;
  return true;
}

}  // namespace harlune
