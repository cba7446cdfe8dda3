#include "core/app/ini_file_writer.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/app/ini_file_reader.h"
#include "ini_file_test_support.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using testing::Crlf;

// Every line of the section of a new object, in the order of the file.
const std::vector<std::string_view> kDefaultLines = {
    "INI_FILE_VERSION=1500",
    "PORT_PROCESS_MAPPING=TRUE",
    "AUTO_SAVE=TRUE",
    "STARTUP_MINIMIZE=FALSE",
    "STARTUP_ON=FALSE",
    "NOICON=FALSE",
    "SYSTEM_CHECK=FALSE",
    "SHOW_ACTIVE_CONNECTION_ONLY=FALSE",
    "SHOW_LISTENING=FALSE",
    "CONNECTION_CONTROL=TRUE",
    "START_CONNECTION_CONTROL_WITH_FILTERING=FALSE",
    "RESOLVE_HOST=TRUE",
    "SHOW_ALL_HTB_CLASSES=FALSE",
    "VIEW_REFRESH_CYCLE=1000",
    "MAX_PACKET_CAPTURE_NUM=100",
    "TIME_TO_CALC_AVERAGE_BANDWIDTH=5",
    "DO_DYNAMIC_FILTERING=TRUE",
    "DO_HTB=TRUE",
    "LOG_CONNECTION_STATS=TRUE",
    R"(CONNECTION_STATS_LOG_FILE_NAME=.\log\ConnectionStats\[%Year%%Month%%Day%]ConnectionStats.csv)",
    "CONNECTION_STATS_LOG_FORMAT=[%Hour%:%Minute%:%Second%,%LocalAddr%,%LocalPort%,%RemoteAddr%,"
    "%RemotePort%,%RemoteHost%,%ProcessName%,%TimePeriod%,%SendTraffic%,%ReceiveTraffic%",
    "LOG_CONNECTION_CONTROL=TRUE",
    R"(CONNECTION_CONTROL_LOG_FILE_NAME=.\log\ConnectionControl\[%Year%%Month%%Day%]ConnectionControl.log)",
    "LCFILTER_COLUMN_SIZE=130,59,85,80,65,70,70,65,101,101,96,82,82,109,109",
    "LCHTB_COLUMN_SIZE=100,65,80,65,100,65,55,100,80,100",
    "LCDYNAMICFILTER_COLUMN_SIZE=130,100,200,80,65,39,65",
    "LCTCPCONNECTION_COLUMN_SIZE=60,80,80,100,100,102,82,102,170,79,89,63,63,63,130",
    "LCCONNECTIONCONTROLRULE_COLUMN_SIZE=60,80,80,80,80,80,80,80",
    "LCTCPPACKET_COLUMN_SIZE=60,69,62,64,63,38,100,110,103,104,90,93,69,87,69,87",
    "LCUDPPACKET_COLUMN_SIZE=60,69,62,64,63,38,100,110,103,104,80,80",
    "LCFILTER_COLUMN_ORDER=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14",
    "LCHTB_COLUMN_ORDER=0,1,2,3,4,5,6,7,8,9",
    "LCDYNAMICFILTER_COLUMN_ORDER=0,1,2,3,4,5,6",
    "LCTCPCONNECTION_COLUMN_ORDER=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14",
    "LCCONNECTIONCONTROLRULE_COLUMN_ORDER=0,1,2,3,4,5,6,7",
    "LCTCPPACKET_COLUMN_ORDER=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15",
    "LCUDPPACKET_COLUMN_ORDER=0,1,2,3,4,5,6,7,8,9,10,11",
    "WINDOW_SIZE=0,0,500,800",
    "CONFIRM_CLOSE=FALSE",
    "CLOSE_BUTTON_ACTION=0",
    "NOT_SHOW_MESSAGE=0,0",
};

std::string DefaultLinesWithout(std::string_view key) {
  std::string text;
  for (const std::string_view line : kDefaultLines) {
    if (!line.starts_with(std::string(key) + "=")) {
      text.append(line).append("\r\n");
    }
  }
  return text;
}

std::string DefaultLinesWith(std::string_view key, std::string_view value) {
  std::string text;
  for (const std::string_view line : kDefaultLines) {
    if (line.starts_with(std::string(key) + "=")) {
      text.append(key).append("=").append(value).append("\r\n");
    } else {
      text.append(line).append("\r\n");
    }
  }
  return text;
}

std::string MustWrite(const IniFileObject& object, std::string_view existing = {}) {
  const IniBytesResult written = IniFileWriter(object).WriteBytes(existing);
  EXPECT_TRUE(written.ok()) << written.error;
  return written.bytes;
}

IniFileObject ReadBack(const std::string& bytes) {
  IniFileObject object;
  const AdapterTable adapters;
  RecordingUserDialogs dialogs;
  const IniReadResult read = IniFileReader(object, adapters, dialogs).ReadBytes(bytes);
  EXPECT_TRUE(read.ok()) << read.error;
  return object;
}

TEST(IniFileWriterBytes, NewObjectGivesTheDefaultFile) {
  EXPECT_EQ(MustWrite(IniFileObject{}), "[GeneralSetting]\r\n" + DefaultLinesWithout("none"));
}

TEST(IniFileWriterBytes, JapaneseTextIsWrittenAsCp932) {
  IniFileObject object;
  object.CONNECTION_CONTROL_LOG_FILE_NAME = ".\\ログ\\ソ.log";
  const std::string bytes = MustWrite(object);
  EXPECT_NE(bytes.find("\r\nCONNECTION_CONTROL_LOG_FILE_NAME=.\\\x83\x8d\x83\x4f\\\x83\x5c.log\r\n"
                       "LCFILTER_COLUMN_SIZE="),
            std::string::npos);
}

TEST(IniFileWriterBytes, OnlyOneAndZeroHaveAWordAndTheRestReadsBackAsOff) {
  IniFileObject object;
  object.DO_HTB = 2;
  object.STARTUP_ON = 1;
  object.AUTO_SAVE = 0;
  object.VIEW_REFRESH_CYCLE = 4000000000u;
  const std::string bytes = MustWrite(object);
  for (const char* line : {"\r\nDO_HTB=\r\n", "\r\nSTARTUP_ON=TRUE\r\n", "\r\nAUTO_SAVE=FALSE\r\n",
                           "\r\nVIEW_REFRESH_CYCLE=4000000000\r\n"}) {
    EXPECT_NE(bytes.find(line), std::string::npos) << line;
  }
  const IniFileObject back = ReadBack(bytes);
  EXPECT_EQ(back.DO_HTB, 0);
  EXPECT_EQ(back.VIEW_REFRESH_CYCLE, 4000000000u);
}

TEST(IniFileWriterBytes, EveryOptionSurvivesARoundTrip) {
  IniFileObject object;
  object.PORT_PROCESS_MAPPING = 0;
  object.SHOW_ALL_HTB_CLASSES = 1;
  object.MAX_PACKET_CAPTURE_NUM = -7;
  object.CONNECTION_STATS_LOG_FORMAT = "%Hour%,表,%ProcessName%";
  object.CONNECTION_STATS_LOG_FILE_NAME = "ログ\\[%Year%].csv";
  object.LCFILTER_COLUMN_SIZE[14] = 1999;
  object.LCUDPPACKET_COLUMN_ORDER = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  object.WINDOW_SIZE = WindowRectangle{-1, 2, 1024, 768};
  object.CLOSE_BUTTON_ACTION = 1;
  object.NOT_SHOW_MESSAGE = {1, 0};
  const std::string bytes = MustWrite(object);
  const IniFileObject back = ReadBack(bytes);
  EXPECT_EQ(FormatGeneralSettings(back), FormatGeneralSettings(object));
  EXPECT_EQ(back.WINDOW_SIZE, object.WINDOW_SIZE);
  EXPECT_EQ(MustWrite(back, bytes), bytes);
}

TEST(IniFileWriterDocument, RewritesOnlyTheOptionsAndKeepsEveryOtherByte) {
  // ≒ in its NEC row form, which would convert back to other bytes
  const std::string before = "; kept\r\n[PacketFilter1]\r\nFILTER_NAME=\x87\x90\r\nDIR=up\r\n\r\n";
  const std::string after = "\r\n[DynamicFilter1]\r\nTARGET_FILTER_ID=3\r\n";
  const std::string existing =
      before + "[GeneralSetting]\r\nAUTO_SAVE=FALSE\r\nMY_NOTE=kept\r\n" + after;
  EXPECT_EQ(MustWrite(IniFileObject{}, existing),
            before + "[GeneralSetting]\r\nAUTO_SAVE=TRUE\r\nMY_NOTE=kept\r\n" +
                DefaultLinesWithout("AUTO_SAVE") + after);
}

TEST(IniFileWriterDocument, RepeatedKeysAreWrittenOnceSoTheNewValueIsRead) {
  IniFileObject object;
  object.AUTO_SAVE = 0;
  const std::string bytes = MustWrite(
      object, Crlf({"[GeneralSetting]", "AUTO_SAVE=TRUE", "Auto_Save=TRUE", "NOICON=TRUE"}));
  EXPECT_EQ(bytes.find("uto_Save"), std::string::npos);
  EXPECT_EQ(bytes.find("AUTO_SAVE="), bytes.rfind("AUTO_SAVE="));
  EXPECT_EQ(ReadBack(bytes).AUTO_SAVE, 0);
  EXPECT_EQ(ReadBack(bytes).NOICON, 0);
}

TEST(IniFileWriterDocument, AValueTheFileCannotHoldKeepsItsLineAndTheRestIsWritten) {
  const ProfileFile original =
      *ProfileFile::Parse(
           Crlf({"[GeneralSetting]", "CONNECTION_STATS_LOG_FILE_NAME=old.csv", "AUTO_SAVE=TRUE"}))
           .file;
  const auto write = [&original](const IniFileObject& object, std::vector<std::string> kept) {
    ProfileFile document = original;
    const IniWriteResult result = IniFileWriter(object).Write(document);
    EXPECT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.keptKeys, kept);
    return document;
  };
  IniFileObject object;
  object.AUTO_SAVE = 0;
  object.CONNECTION_STATS_LOG_FILE_NAME = "log😀.csv";
  object.CONNECTION_STATS_LOG_FORMAT = "a\r\nb";
  ProfileFile written =
      write(object, {"CONNECTION_STATS_LOG_FILE_NAME", "CONNECTION_STATS_LOG_FORMAT"});
  EXPECT_EQ(written.Find("GeneralSetting", "CONNECTION_STATS_LOG_FILE_NAME"), "old.csv");
  EXPECT_EQ(written.Find("GeneralSetting", "CONNECTION_STATS_LOG_FORMAT"), std::nullopt);
  EXPECT_EQ(written.Find("GeneralSetting", "AUTO_SAVE"), "FALSE");
  EXPECT_EQ(written.Find("GeneralSetting", "NOICON"), "FALSE");

  object = IniFileObject{};
  object.CONNECTION_STATS_LOG_FORMAT = std::string(484, 'f');  // a line of 512 bytes
  written = write(object, {"CONNECTION_STATS_LOG_FORMAT"});
  EXPECT_EQ(written.Find("GeneralSetting", "CONNECTION_STATS_LOG_FORMAT"), std::nullopt);
  object.CONNECTION_STATS_LOG_FORMAT = std::string(483, 'f');
  written = write(object, {});
  EXPECT_EQ(written.Find("GeneralSetting", "CONNECTION_STATS_LOG_FORMAT"), std::string(483, 'f'));
}

TEST(IniFileWriterDocument, RefusesAddingTheSectionWhenItsNameNoLongerFits) {
  std::string existing;
  for (int i = 0; i < 136; ++i) {
    existing += "[Section with a long name " + std::to_string(1000 + i) + "]\r\n";
  }
  // 136 names of 30 bytes with their NULs leave room for 13 bytes, and
  // "GeneralSetting" needs 15.
  const IniBytesResult written = IniFileWriter(IniFileObject{}).WriteBytes(existing);
  EXPECT_NE(written.error.find("section names"), std::string::npos) << written.error;
  EXPECT_TRUE(
      IniFileWriter(IniFileObject{}).WriteBytes(existing.substr(existing.find("\n") + 1)).ok());
}

class IniFileWriterOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path();
    file_ = folder_ / "GeneralSetting.ini";
  }
  void Put(const std::string& bytes) const { std::ofstream(file_, std::ios::binary) << bytes; }
  std::string Get() const {
    std::ifstream in(file_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  testing::TempDir dir_;
  std::filesystem::path folder_;
  std::filesystem::path file_;
};

TEST_F(IniFileWriterOnDiskTest, AKeptKeyIsNamedAndTheFileIsStillWritten) {
  Put("[GeneralSetting]\r\nCONNECTION_CONTROL_LOG_FILE_NAME=old.log\r\n");
  IniFileObject object;
  object.CONNECTION_CONTROL_LOG_FILE_NAME = " trailing blank ";
  object.NOICON = 1;
  const SafeWriteResult result = IniFileWriter(object).WriteIniFile(file_);
  ASSERT_TRUE(result.ok()) << result.detail;
  EXPECT_EQ(result.keptKeys, std::vector<std::string>{"CONNECTION_CONTROL_LOG_FILE_NAME"});
  EXPECT_NE(Get().find("CONNECTION_CONTROL_LOG_FILE_NAME=old.log\r\n"), std::string::npos);
  EXPECT_NE(Get().find("NOICON=TRUE\r\n"), std::string::npos);
}

TEST_F(IniFileWriterOnDiskTest, CreatesTheFileAndLaterKeepsTheOlderSections) {
  ASSERT_TRUE(IniFileWriter(IniFileObject{}).WriteIniFile(file_).ok());
  EXPECT_EQ(Get(), "[GeneralSetting]\r\n" + DefaultLinesWithout("none"));

  Put("[DirAppFilter1]\r\nAPPNAME=a.exe\r\n");
  IniFileObject object;
  object.NOICON = 1;
  ASSERT_TRUE(IniFileWriter(object).WriteIniFile(file_).ok());
  EXPECT_EQ(Get(), "[DirAppFilter1]\r\nAPPNAME=a.exe\r\n[GeneralSetting]\r\n" +
                       DefaultLinesWith("NOICON", "TRUE"));
  EXPECT_FALSE(std::filesystem::exists(BackupPath(file_)));
}

TEST_F(IniFileWriterOnDiskTest, ALineInNeitherEncodingIsKeptAndEveryKeyIsWritten) {
  // Such a line reads as no key; it is not a reason to lose the save.
  const std::string odd = "[GeneralSetting]\r\nAUTO_SAVE=\x81\r\n";
  Put(odd);
  ASSERT_TRUE(IniFileWriter(IniFileObject{}).WriteIniFile(file_).ok());
  EXPECT_EQ(Get(), odd + DefaultLinesWith("NOICON", "FALSE"));
}

}  // namespace
}  // namespace harlune
