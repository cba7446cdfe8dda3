#include "core/app/settings_store.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "core/base/settings_folder_faults.h"
#include "core/base/string_resources.h"
#include "core/htb/htb_class.h"
#include "core/monitor/adapter_table.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

constexpr std::string_view kFiles[] = {strings::kGeneralSettingFile, strings::kExternalCommandFile,
                                       strings::kConnectionControlRuleFile,
                                       strings::kPacketFilterSettingFile, strings::kHtbSettingFile};

std::tm FixedClock() {
  std::tm time{};
  time.tm_year = 126, time.tm_mon = 11, time.tm_mday = 7, time.tm_hour = 21;
  return time;
}

// One settings set, with every file holding the generation's mark.
class Store {
 public:
  explicit Store(const fs::path& folder)
      : settings(folder, dialogs), store(folder, settings, adapters, dialogs, FixedClock) {}

  void Mark(const std::string& generation) {
    settings.general.AUTO_SAVE = generation == "甲" ? 1 : 0;
    if (settings.filters.Size() == 0) {
      settings.filters.Add(PacketFilterSetting{});
    }
    settings.filters.At(0).Name = "フィルタ" + generation;
    if (!settings.htb.Find(2)) {
      settings.htb.Add(0, std::make_shared<HTB_InnerClass>());
    }
    settings.htb.Find(2)->Name = "クラス" + generation;
    if (settings.rules.size() == 0) {
      settings.rules.Append(OperateConnectionRule{}, dialogs);
    }
    settings.rules.Rules()[0].Name = "ルール" + generation;
    settings.commands.ReplaceAt(0, ExternalCommand(1, 1, 1, "コマンド" + generation, "ping"));
  }

  // The generation each file holds, "" when it holds neither.
  std::vector<std::string> Generations() const {
    auto strip = [](const std::string& text, std::string_view prefix) {
      return text.starts_with(prefix) ? text.substr(prefix.size()) : std::string();
    };
    const auto cls = settings.htb.Find(2);
    return {
        settings.general.AUTO_SAVE == 1 ? "甲" : "乙",
        settings.filters.Size() == 1 ? strip(settings.filters.At(0).Name, "フィルタ") : "",
        cls ? strip(cls->Name, "クラス") : "",
        settings.rules.size() == 1 ? strip(settings.rules.Rules()[0].Name, "ルール") : "",
        settings.commands.size() > 0 ? strip(settings.commands[0].Name, "コマンド") : "",
    };
  }

  RecordingUserDialogs dialogs;
  AdapterTable adapters;
  Settings settings;
  SettingsStore store;
};

TEST(SettingsStore, FirstStartWritesEveryFileWithItsDefaults) {
  TempDir dir;
  Store first(dir.path());
  first.store.LoadAllSettings();
  for (std::string_view name : kFiles) {
    EXPECT_TRUE(fs::exists(dir.path() / name)) << name;
    EXPECT_FALSE(fs::exists(dir.path() / (std::string(name) + ".autobak"))) << name;
  }
  EXPECT_TRUE(first.store.settingsSaved());
  EXPECT_TRUE(first.dialogs.messages.empty());

  Store second(dir.path());
  second.store.LoadAllSettings();
  EXPECT_TRUE(second.dialogs.messages.empty());
  EXPECT_EQ(second.settings.commands.size(), first.settings.commands.size());
}

TEST(SettingsStore, SavedSettingsComeBackWhole) {
  TempDir dir;
  Store writer(dir.path());
  writer.store.LoadAllSettings();
  writer.Mark("乙");
  writer.store.MarkChanged();
  EXPECT_FALSE(writer.store.settingsSaved());
  ASSERT_TRUE(writer.store.SaveAllSettings());
  EXPECT_TRUE(writer.store.settingsSaved());

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), std::vector<std::string>(5, "乙"));
  EXPECT_EQ(reader.settings.htb.Find(2)->Parent, reader.settings.htb.SendTree().Root().get());
}

TEST(SettingsStore, DamagedFileIsMovedAsideAndTheUserIsToldWhere) {
  TempDir dir;
  const fs::path filters = dir.path() / strings::kPacketFilterSettingFile;
  testing::WriteFileText(filters, "<Root><PacketFilter><Name>x");
  Store store(dir.path());
  store.store.LoadAllSettings();

  const fs::path aside = dir.path() / "PacketFilterSetting.xml.damaged-20261207-210000";
  ASSERT_TRUE(fs::exists(aside));
  EXPECT_EQ(testing::ReadFileText(aside), "<Root><PacketFilter><Name>x");
  ASSERT_EQ(store.dialogs.messages.size(), 1U);
  EXPECT_NE(store.dialogs.messages[0].find(filters.string()), std::string::npos);
  EXPECT_NE(store.dialogs.messages[0].find(aside.string()), std::string::npos);
  // The defaults were written and read back without complaint.
  Store again(dir.path());
  again.store.LoadAllSettings();
  EXPECT_TRUE(again.dialogs.messages.empty());
}

TEST(SettingsStore, DamagedFileWithAGoodBackupComesBackFromIt) {
  TempDir dir;
  Store writer(dir.path());
  writer.store.LoadAllSettings();
  writer.Mark("甲");
  ASSERT_TRUE(writer.store.SaveAllSettings());
  const fs::path rules = dir.path() / strings::kConnectionControlRuleFile;
  fs::copy_file(rules, dir.path() / "ConnectionControlRule.ini.autobak");
  testing::WriteFileText(rules, std::string("[ConnectionControlRule1]\r\nName=\x82", 33));

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations()[3], "甲");
  ASSERT_EQ(reader.dialogs.messages.size(), 1U);
  EXPECT_NE(reader.dialogs.messages[0].find("autobak"), std::string::npos);
}

TEST(SettingsStore, FailedBackupEndsTheSaveAndLeavesTheRestAsItWas) {
  TempDir dir;
  Store store(dir.path());
  store.store.LoadAllSettings();
  store.Mark("甲");
  ASSERT_TRUE(store.store.SaveAllSettings());
  // A backup cannot replace a folder that holds something.
  fs::create_directories(dir.path() / "PacketFilterSetting.xml.autobak" / "occupied");
  store.Mark("乙");
  store.store.MarkChanged();
  EXPECT_FALSE(store.store.SaveAllSettings());
  EXPECT_FALSE(store.store.settingsSaved());
  EXPECT_EQ(store.dialogs.messages, std::vector<std::string>{std::string(kBackupFailedMessage)});

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  // The general settings come first and were saved; nothing after the
  // failed file was touched.
  EXPECT_EQ(reader.Generations(), (std::vector<std::string>{"乙", "甲", "甲", "甲", "甲"}));
}

// A save that did not write a file never counts as saved: closing must ask.
TEST(SettingsStoreUnsaved, ReadOnlyFilterFileIsKeptWithTheMessageAndTheSaveGoesOn) {
  TempDir dir;
  Store store(dir.path());
  store.store.LoadAllSettings();
  store.Mark("甲");
  ASSERT_TRUE(store.store.SaveAllSettings());
  const fs::path filters = dir.path() / strings::kPacketFilterSettingFile;
  const std::string before = testing::ReadFileText(filters);
  ASSERT_EQ(::chmod(filters.c_str(), 0444), 0);
  store.Mark("乙");
  store.store.MarkChanged();
  EXPECT_TRUE(store.store.SaveAllSettings());
  EXPECT_FALSE(store.store.settingsSaved());
  EXPECT_EQ(store.dialogs.messages, std::vector<std::string>{std::string(kWriteFailedMessage)});
  EXPECT_EQ(testing::ReadFileText(filters), before);
  EXPECT_FALSE(fs::exists(dir.path() / "PacketFilterSetting.xml.autobak"));

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), (std::vector<std::string>{"乙", "甲", "乙", "乙", "乙"}));
}

TEST(SettingsStoreUnsaved, HtbClassNameXmlCannotCarryNeverMarksTheSettingsSaved) {
  TempDir dir;
  Store store(dir.path());
  store.store.LoadAllSettings();
  store.Mark("甲");
  ASSERT_TRUE(store.store.SaveAllSettings());
  store.Mark("乙");
  store.settings.htb.Find(2)->Name = "bell \x07";
  store.store.MarkChanged();
  EXPECT_TRUE(store.store.SaveAllSettings());
  EXPECT_FALSE(store.store.settingsSaved());
  ASSERT_EQ(store.dialogs.messages.size(), 1U);
  EXPECT_TRUE(store.dialogs.messages[0].starts_with(kWriteFailedMessage));

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), (std::vector<std::string>{"乙", "乙", "甲", "乙", "乙"}));
}

TEST(SettingsStoreUnsaved, GeneralSettingsBackupFailureEndsTheSave) {
  TempDir dir;
  Store store(dir.path());
  store.store.LoadAllSettings();
  store.Mark("甲");
  ASSERT_TRUE(store.store.SaveAllSettings());
  fs::create_directories(dir.path() / "GeneralSetting.ini.autobak" / "occupied");
  store.Mark("乙");
  EXPECT_FALSE(store.store.SaveAllSettings());
  EXPECT_FALSE(store.store.settingsSaved());
  EXPECT_EQ(store.dialogs.messages, std::vector<std::string>{std::string(kBackupFailedMessage)});
  fs::remove_all(dir.path() / "GeneralSetting.ini.autobak");

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), std::vector<std::string>(5, "甲"));
}

TEST(SettingsStoreUnsaved, FullDiskGivesTheSpaceMessageOnceAndEndsTheSave) {
  testing::SmallDisk disk;
  if (disk.skipReason()) {
    GTEST_SKIP() << *disk.skipReason();
  }
  {
    Store store(disk.path());
    store.store.LoadAllSettings();
    store.Mark("甲");
    ASSERT_TRUE(store.store.SaveAllSettings());
    ASSERT_TRUE(disk.Fill());
    store.Mark("乙");
    store.store.MarkChanged();
    EXPECT_FALSE(store.store.SaveAllSettings());
    EXPECT_FALSE(store.store.settingsSaved());
    EXPECT_EQ(store.dialogs.messages, std::vector<std::string>{std::string(kBackupFailedMessage)});
  }
  fs::remove(disk.path() / "filler");
  Store reader(disk.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), std::vector<std::string>(5, "甲"));
}

TEST(SettingsStoreText, TextShiftJisLacksIsSavedInTheXmlFilesAndComesBack) {
  TempDir dir;
  Store writer(dir.path());
  writer.store.LoadAllSettings();
  writer.Mark("甲");
  writer.settings.htb.Find(2)->Name = "한국 😀";
  writer.settings.filters.At(0).Name = "é 한 😀";
  writer.store.MarkChanged();
  ASSERT_TRUE(writer.store.SaveAllSettings());
  EXPECT_TRUE(writer.store.settingsSaved());
  EXPECT_TRUE(writer.dialogs.messages.empty());

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_TRUE(reader.dialogs.messages.empty());
  EXPECT_EQ(reader.settings.htb.Find(2)->Name, "한국 😀");
  EXPECT_EQ(reader.settings.filters.At(0).Name, "é 한 😀");
}

TEST(SettingsStoreText, KeysLeftAsTheyWereAreToldOnceAndTheRestIsSaved) {
  TempDir dir;
  Store store(dir.path());
  store.store.LoadAllSettings();
  store.Mark("甲");
  ASSERT_TRUE(store.store.SaveAllSettings());
  store.Mark("乙");
  store.settings.general.CONNECTION_STATS_LOG_FILE_NAME = "log😀.csv";
  store.settings.rules.Rules()[0].Comment = "two\nlines";
  store.store.MarkChanged();
  ASSERT_TRUE(store.store.SaveAllSettings());
  EXPECT_TRUE(store.store.settingsSaved());
  const std::string told = std::string(kKeptSettingsMessage) +
                           "CONNECTION_STATS_LOG_FILE_NAME, [ConnectionControlRule1] Comment";
  EXPECT_EQ(store.dialogs.messages, std::vector<std::string>{told});

  // The same keys again are not told again, also not by the general save alone.
  ASSERT_TRUE(store.store.SaveAllSettings());
  ASSERT_TRUE(store.store.SaveGeneralSettings());
  EXPECT_EQ(store.dialogs.messages.size(), 1U);
  // Fixed and broken again, it is news again.
  store.settings.general.CONNECTION_STATS_LOG_FILE_NAME = "log.csv";
  ASSERT_TRUE(store.store.SaveGeneralSettings());
  store.settings.general.CONNECTION_STATS_LOG_FILE_NAME = " log.csv";
  ASSERT_TRUE(store.store.SaveGeneralSettings());
  ASSERT_EQ(store.dialogs.messages.size(), 2U);
  EXPECT_EQ(store.dialogs.messages[1],
            std::string(kKeptSettingsMessage) + "CONNECTION_STATS_LOG_FILE_NAME");

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.Generations(), std::vector<std::string>(5, "乙"));
  EXPECT_EQ(reader.settings.general.CONNECTION_STATS_LOG_FILE_NAME, "log.csv");
}

TEST(SettingsStoreText, FilesWrittenOnLinuxComeBackAndWhatCp932LacksIsTold) {
  TempDir dir;
  // As a Linux editor writes them: UTF-8, LF line ends.
  testing::WriteFileText(dir.path() / "GeneralSetting.ini",
                         "[GeneralSetting]\nAUTO_SAVE=FALSE\n"
                         "CONNECTION_STATS_LOG_FILE_NAME=ログ.csv\n[メモ]\n名前=한국\n");
  testing::WriteFileText(dir.path() / "ExternalCommand.ini",
                         "[ExternalCommand]\nCommandNum=2\n"
                         "Command1=1,1,1,疎通確認,ping %RemoteAddr%\n"
                         "Command2=1,1,1,한국,ping %RemoteAddr%\n");
  Store store(dir.path());
  store.store.LoadAllSettings();
  EXPECT_TRUE(store.dialogs.messages.empty()) << store.dialogs.messages.front();
  EXPECT_EQ(store.settings.general.AUTO_SAVE, 0);
  EXPECT_EQ(store.settings.general.CONNECTION_STATS_LOG_FILE_NAME, "ログ.csv");
  ASSERT_EQ(store.settings.commands.size(), 2U);
  EXPECT_EQ(store.settings.commands[0].Name, "疎通確認");

  store.store.MarkChanged();
  ASSERT_TRUE(store.store.SaveAllSettings());
  EXPECT_EQ(store.dialogs.messages,
            std::vector<std::string>{std::string(kKeptSettingsMessage) + "[メモ] 名前, 한국"});
  // What CP932 holds is CP932 again, for every other build.
  EXPECT_NE(testing::ReadFileText(dir.path() / "GeneralSetting.ini").find("\x83\x8D\x83\x4F"),
            std::string::npos);

  Store reader(dir.path());
  reader.store.LoadAllSettings();
  EXPECT_EQ(reader.settings.general.CONNECTION_STATS_LOG_FILE_NAME, "ログ.csv");
  ASSERT_EQ(reader.settings.commands.size(), 2U);
  EXPECT_EQ(reader.settings.commands[1].Name, "한국");
}

TEST(SettingsStoreText, AReadStoppedAtALimitKeepsWhatItReadAndWritesTheFilesAgain) {
  TempDir dir;
  std::string oversized = "[GeneralSetting]\r\nAUTO_SAVE=FALSE\r\nNOICON=TRUE\r\n[Big]\r\n";
  for (int i = 0; i < 300; ++i) {
    oversized += "KEY" + std::to_string(i) + "=" + std::string(20, 'x') + "\r\n";
  }
  testing::WriteFileText(dir.path() / "GeneralSetting.ini", oversized);
  Store store(dir.path());
  store.store.LoadAllSettings();
  EXPECT_EQ(store.dialogs.messages,
            std::vector<std::string>{"IniReader::ReadIniFile:データ用バッファが足りません"});
  EXPECT_EQ(store.settings.general.AUTO_SAVE, 0);
  EXPECT_EQ(store.settings.general.NOICON, 1);
  // Written out again as a failed read is: every option is in the file now,
  // and nothing was moved aside.
  const std::string written = testing::ReadFileText(dir.path() / "GeneralSetting.ini");
  EXPECT_NE(written.find("CONFIRM_CLOSE="), std::string::npos);
  EXPECT_NE(written.find("KEY299="), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos);
  }
}

TEST(SettingsStore, KilledSaveLeavesEveryFileAsItWasOrAsItWasMeantToBe) {
  TempDir dir;
  {
    Store initial(dir.path());
    initial.store.LoadAllSettings();
    initial.Mark("甲");
    ASSERT_TRUE(initial.store.SaveAllSettings());
  }
  std::mt19937 random(20261207);
  for (int round = 0; round < 8; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Store saver(dir.path());
      saver.store.LoadAllSettings();
      for (int i = 0;; ++i) {
        saver.Mark(i % 2 == 0 ? "乙" : "甲");
        (void)saver.store.SaveAllSettings();
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(20000 + random() % 30000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);

    Store reader(dir.path());
    reader.store.LoadAllSettings();
    EXPECT_TRUE(reader.dialogs.messages.empty()) << reader.dialogs.messages[0];
    for (const std::string& generation : reader.Generations()) {
      EXPECT_TRUE(generation == "甲" || generation == "乙") << "round " << round;
    }
  }
}

}  // namespace
}  // namespace harlune
