#pragma once

// The five settings files as one set: loading them in order at start-up
// (writing defaults for a file that could not be used) and saving them with
// the product's messages. A damaged file is never silently replaced: it is
// restored from its backup or moved aside, and the user is told which files.

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/base/safe_file.h"
#include "core/base/user_dialogs.h"
#include "core/command/external_command_file.h"
#include "core/control/connection_control_rule_file.h"
#include "core/filter/packet_filter_manager.h"
#include "core/htb/htb_manager.h"

namespace harlune {

class AdapterTable;

// Told after a save that left keys as the files had them, followed by the
// keys separated by ", ".
inline constexpr std::string_view kKeptSettingsMessage =
    "次の設定は設定ファイルに保存できない値のため、前の値のままにしました：";

// Everything the settings files hold, for the life of the process.
struct Settings {
  Settings(const std::filesystem::path& folder, UserDialogs& dialogs);

  IniFileObject general;
  PacketFilterManager filters;
  HTB_Manager htb;
  OperateConnectionRuleIni rules;
  ExternalCommandIni commands;
};

class SettingsStore {
 public:
  SettingsStore(std::filesystem::path folder, Settings& settings, const AdapterTable& adapters,
                UserDialogs& dialogs, LocalClock clock = LocalTimeNow);

  // Reads the commands, the rules, the filters, the HTB trees and the
  // general settings, in that order, writing each file that could not be
  // used with the contents it now holds.
  void LoadAllSettings();

  // Writes every file; false when the save did not reach its end (a backup
  // that could not be made, a folder that takes no file, a full disk). The
  // settings count as saved only when every file was written.
  bool SaveAllSettings();
  // Writes GeneralSetting.ini alone; false when it was not written.
  bool SaveGeneralSettings();

  bool settingsSaved() const { return settingsSaved_; }
  void MarkChanged() { settingsSaved_ = false; }

  std::filesystem::path PathOf(std::string_view fileName) const { return folder_ / fileName; }

 private:
  enum class SaveStep {
    kWritten,
    kNotWritten,  // the save goes on with the next file
    kEnd,         // the next files would fail the same way: the save ends
  };

  // Tells the user what happened to a file that could not be used; true
  // when the file is to be written with the current contents.
  bool NeedsWriting(const SettingsLoadResult& result, std::string_view fileName);
  // Shows the message of a failed write and notes the keys a write kept.
  SaveStep StepAfter(std::string_view fileName, const SafeWriteResult& result);
  // The same for the XML files, whose writers refuse text XML cannot carry.
  template <typename SaveFunction>
  SaveStep SaveXml(std::string_view fileName, SaveFunction save);
  SaveStep SaveGeneral();
  SaveStep SaveRules();
  SaveStep SaveCommands();
  bool Writable(std::string_view fileName) const;
  // Tells the user once which keys the save left as they were; a key told
  // about before is not told again while it stays unsaved.
  void ReportKeptKeys();

  std::filesystem::path folder_;
  Settings& settings_;
  const AdapterTable& adapters_;
  UserDialogs& dialogs_;
  LocalClock clock_;
  bool settingsSaved_ = false;
  // Files that could neither be read nor moved aside: saving them would
  // destroy what the user may still recover.
  std::vector<std::string> unwritable_;
  // The keys the current save left as they were, and whether one of them is
  // news to the user.
  std::vector<std::string> keptKeys_;
  bool keptKeysToTell_ = false;
  // Per file, the keys its last write left as they were.
  std::map<std::string, std::vector<std::string>, std::less<>> lastKeptKeys_;
};

}  // namespace harlune
