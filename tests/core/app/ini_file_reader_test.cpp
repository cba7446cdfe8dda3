#include "core/app/ini_file_reader.h"

#include <stdlib.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/app/ini_file_writer.h"
#include "ini_file_test_support.h"
#include "protocol/ip_address.h"
#include "protocol/tbf_setting_data.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using testing::Crlf;
using Ids = std::vector<std::int32_t>;
using Ranges = std::vector<protocol::PortRange>;

class IniFileReaderTest : public ::testing::Test {
 protected:
  IniReadResult Read(const std::string& cp932) {
    return IniFileReader(object_, adapters_, dialogs_).ReadBytes(cp932);
  }
  // The filter names of the older static list, in order.
  std::vector<std::string> StaticNames() const {
    std::vector<std::string> names;
    for (const auto& filter : object_.staticFilters.Filters()) {
      names.push_back(filter->FilterName);
    }
    return names;
  }

  IniFileObject object_;
  AdapterTable adapters_ = testing::TableWithEth0();
  RecordingUserDialogs dialogs_;
};

TEST_F(IniFileReaderTest, SwitchesNeedTheExactWordAndNumbersKeepTheirValueWhenBroken) {
  ASSERT_TRUE(Read(Crlf({"[GeneralSetting]", "AUTO_SAVE=true", "auto_save=TRUE", "STARTUP_ON=TRUE",
                         "NOICON=TRUE,FALSE", "DO_HTB=", "VIEW_REFRESH_CYCLE=",
                         "MAX_PACKET_CAPTURE_NUM= 250 ,9", "TIME_TO_CALC_AVERAGE_BANDWIDTH=12x",
                         "CLOSE_BUTTON_ACTION=99999999999", "UNKNOWN=1"}))
                  .ok());
  EXPECT_EQ(object_.AUTO_SAVE, 0);  // lower case reads as false; the lower-case key is not ours
  EXPECT_EQ(object_.STARTUP_ON, 1);
  EXPECT_EQ(object_.NOICON, 1);
  EXPECT_EQ(object_.DO_HTB, 0);
  EXPECT_EQ(object_.VIEW_REFRESH_CYCLE, 1000u);
  EXPECT_EQ(object_.MAX_PACKET_CAPTURE_NUM, 250);
  EXPECT_EQ(object_.TIME_TO_CALC_AVERAGE_BANDWIDTH, 5);
  EXPECT_EQ(object_.CLOSE_BUTTON_ACTION, 0);
  EXPECT_TRUE(dialogs_.messages.empty());
}

TEST_F(IniFileReaderTest, ListsTakePiecesByPositionAndCapOnlyFilterWidths) {
  ASSERT_TRUE(Read(Crlf({"[GeneralSetting]", "LCFILTER_COLUMN_SIZE=5000,40",
                         "LCHTB_COLUMN_SIZE=,7,,2001,x,1,2,3,4,5,6,7", "NOT_SHOW_MESSAGE=5,0",
                         "WINDOW_SIZE=10,-20,300"}))
                  .ok());
  IniFileObject defaults;
  std::array<std::int32_t, 15> filterWidths = defaults.LCFILTER_COLUMN_SIZE;
  filterWidths[0] = 200;
  filterWidths[1] = 40;
  EXPECT_EQ(object_.LCFILTER_COLUMN_SIZE, filterWidths);
  EXPECT_EQ(object_.LCHTB_COLUMN_SIZE,
            (std::array<std::int32_t, 10>{100, 7, 80, 2001, 100, 1, 2, 3, 4, 5}));
  EXPECT_EQ(object_.NOT_SHOW_MESSAGE, (std::array<std::int32_t, 2>{1, 0}));
  // top, left, bottom; right keeps its default
  EXPECT_EQ(object_.WINDOW_SIZE, (WindowRectangle{-20, 10, 800, 300}));
}

TEST_F(IniFileReaderTest, TextsKeepCommasAndJapanese) {
  // 接続 and ソ, whose second byte is a backslash
  ASSERT_TRUE(Read("[GeneralSetting]\r\nCONNECTION_STATS_LOG_FORMAT=%Hour%,%ProcessName%\r\n"
                   "CONNECTION_STATS_LOG_FILE_NAME=.\\\x90\xda\x91\xb1\\\x83\x5c.csv\r\n")
                  .ok());
  EXPECT_EQ(object_.CONNECTION_STATS_LOG_FORMAT, "%Hour%,%ProcessName%");
  EXPECT_EQ(object_.CONNECTION_STATS_LOG_FILE_NAME, ".\\接続\\ソ.csv");
}

TEST_F(IniFileReaderTest, SectionNamesMatchWithoutRegardToCase) {
  ASSERT_TRUE(Read(Crlf({"[generalsetting]", "AUTO_SAVE=FALSE", "[packetfilter1]"})).ok());
  EXPECT_EQ(object_.AUTO_SAVE, 0);
  EXPECT_EQ(object_.staticFilters.Size(), 1u);
}

TEST_F(IniFileReaderTest, FilterSectionsShareOneCounterAndDynamicOnesHaveTheirOwn) {
  ASSERT_TRUE(
      Read(Crlf({"[PacketFilter1]", "FILTER_NAME=one", "[DynamicFilter1]", "[DirAppFilter2]",
                 "FILTER_NAME=two", "[PacketFilter4]", "FILTER_NAME=four", "[DynamicFilter3]",
                 "[DirNetSieve3]", "FILTER_NAME=three", "[DynamicFilter2]", "[PacketFilter3]"}))
          .ok());
  EXPECT_EQ(StaticNames(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(object_.dynamicFilters.Size(), 2u);
  EXPECT_EQ(object_.staticFilters.At(2).FilterId, 3);
}

TEST_F(IniFileReaderTest, PacketFilterSectionSetsEveryMember) {
  ASSERT_TRUE(Read(Crlf({"[PacketFilter1]",
                         "PROTOCOL=17",
                         "ADAPTER_INDEX=9",
                         "ADAPTER_NAME=eth0",
                         "MY_IP=192.168.0.2",
                         "IS_MY_IP=FALSE",
                         "MY_IP_MASK=255.255.255.0",
                         "OTHER_IP=10.1.2.3",
                         "OTHER_IP_MASK=255.0.0.0",
                         "MY_PORT=80",
                         "MY_PORT=2000-1000",
                         "OTHER_PORT=All",
                         "IS_MY_ALL_PORT=FALSE",
                         "IS_OTHER_ALL_PORT=FALSE",
                         "DROP=TRUE",
                         "DROP_SYN_ONLY=FALSE",
                         "DO_BAND=TRUE",
                         "AVAILABLE=FALSE",
                         "BANDWIDTH=0",
                         "MINIMUM_PACKET_SIZE=64",
                         "DIR=DOWN",
                         "COMMENT=a, b",
                         "APPNAME=ftp.exe",
                         "ID=12",
                         "[PacketFilter2]",
                         "ADAPTER_NAME=wlan9",
                         "BANDWIDTH=45"}))
                  .ok());
  ASSERT_EQ(object_.staticFilters.Size(), 2u);
  const PacketFilter& filter = object_.staticFilters.At(0);
  EXPECT_EQ(filter.Protocol, 17);
  EXPECT_EQ(filter.AdapterName, "eth0");
  EXPECT_EQ(filter.AdapterIndex, 4);
  EXPECT_FALSE(filter.IsMyIp);
  EXPECT_EQ(filter.MyPorts,
            (Ranges{protocol::HostPortRange(80, 80), protocol::HostPortRange(1000, 2000)}));
  EXPECT_EQ(filter.OtherPorts, (Ranges{protocol::HostPortRange(0, 0)}));
  EXPECT_TRUE(filter.Drop);
  EXPECT_FALSE(filter.DropSynOnly);
  EXPECT_TRUE(filter.DoBand);
  EXPECT_FALSE(filter.Available);
  EXPECT_EQ(filter.Bandwidth, 30);
  EXPECT_EQ(filter.MinimumPacketSize, 64);
  EXPECT_EQ(filter.Comment(), "a, b");
  EXPECT_EQ(filter.FilterId, 12);
  EXPECT_EQ(filter.DescriptionText(), "<UDP 192.168.0.2:80,1000-2000かつftp.exe ← 10.1.2.3:0>");
  EXPECT_EQ(object_.staticFilters.At(1).AdapterIndex, -1);
  EXPECT_EQ(object_.staticFilters.At(1).Bandwidth, 45);
}

TEST_F(IniFileReaderTest, EveryRemoteAddressOnceSaidHoldsForMasksWithoutAddressInThatReadOnly) {
  const std::string later = Crlf({"[PacketFilter2]", "OTHER_IP_MASK=255.0.0.0", "[PacketFilter3]",
                                  "OTHER_IP=10.0.0.0", "OTHER_IP_MASK=255.0.0.0"});
  ASSERT_TRUE(
      Read(Crlf({"[PacketFilter1]", "IS_OTHER_ALL_IP=", "OTHER_IP_MASK=255.255.255.0"}) + later)
          .ok());
  EXPECT_EQ(object_.staticFilters.At(0).OtherIpMask, 0u);
  EXPECT_EQ(object_.staticFilters.At(1).OtherIpMask, 0u);
  EXPECT_EQ(object_.staticFilters.At(2).OtherIpMask, Ipv4(255, 0, 0, 0));

  object_ = IniFileObject{};
  ASSERT_TRUE(Read(Crlf({"[PacketFilter1]"}) + later).ok());
  EXPECT_EQ(object_.staticFilters.At(1).OtherIpMask, Ipv4(255, 0, 0, 0));
}

TEST_F(IniFileReaderTest, AnUnknownDirectionIsShownAndGivesMinusOne) {
  ASSERT_TRUE(Read(Crlf({"[PacketFilter1]", "DIR=up", "[PacketFilter2]", "DIR=OTHER"})).ok());
  EXPECT_EQ(dialogs_.messages, std::vector<std::string>{"無効な方向です：up"});
  EXPECT_EQ(object_.staticFilters.At(0).Direction, -1);
  EXPECT_EQ(object_.staticFilters.At(1).Direction, 2);
}

TEST_F(IniFileReaderTest, NamesAndCommentsAreCutBetweenCharactersOfTheFile) {
  std::string kanji51;
  for (int i = 0; i < 51; ++i) {
    kanji51 += "\x8a\xbf";  // 漢
  }
  ASSERT_TRUE(Read("[PacketFilter1]\r\nFILTER_NAME=" + kanji51 +
                   "\r\nCOMMENT=" + std::string(130, 'c') +
                   "\r\n[PacketFilter2]\r\nFILTER_NAME=" + std::string(99, 'n') + "\x8a\xbf\r\n")
                  .ok());
  std::string kanji50;
  for (int i = 0; i < 50; ++i) {
    kanji50 += "漢";
  }
  EXPECT_EQ(object_.staticFilters.At(0).FilterName, kanji50);
  EXPECT_EQ(object_.staticFilters.At(0).Comment(), std::string(127, 'c'));
  EXPECT_EQ(object_.staticFilters.At(1).FilterName, std::string(99, 'n'));
}

TEST_F(IniFileReaderTest, DynamicFilterSectionsKeepTargetsInOrderAndGetFreeIdentifiers) {
  ASSERT_TRUE(Read(Crlf({"[DynamicFilter1]", "ID=2", "TARGET_FILTER_ID=5", "TARGET_FILTER_ID=1",
                         "TARGET_FILTER_ID=5", "BANDWIDTH=-5", "TRIGGER_RUNNING_PROCESS_NAME=a,b",
                         "TRIGGER_TOTAL_UP_BANDWIDTH_HIGH=300", "TRIGGER_FILTER_BANDWIDTH_ID=5",
                         "[DynamicFilter2]", "ID=2", "[DynamicFilter3]"}))
                  .ok());
  ASSERT_EQ(object_.dynamicFilters.Size(), 3u);
  const DynamicFilter& first = object_.dynamicFilters.At(0);
  EXPECT_EQ(first.TargetFilterIds, (Ids{5, 1, 5}));
  EXPECT_EQ(first.Bandwidth, -5);
  EXPECT_EQ(first.TriggerRunningProcessName, "a,b");
  EXPECT_EQ(first.TriggerTotalUpBandwidthHigh, 300);
  EXPECT_EQ(first.TriggerFilterBandwidthId, 5);
  EXPECT_EQ(object_.dynamicFilters.At(1).FilterId, 1);
  EXPECT_EQ(object_.dynamicFilters.At(2).FilterId, 3);
}

TEST_F(IniFileReaderTest, AFileWithoutSectionsIsToldApartFromOneWithABadLine) {
  EXPECT_EQ(Read("").status, IniReadStatus::kNoSections);
  EXPECT_EQ(Read("; nothing\r\nAUTO_SAVE=FALSE\r\n").status, IniReadStatus::kNoSections);
  // A line in neither encoding costs its own value only.
  EXPECT_TRUE(Read("[GeneralSetting]\r\nAUTO_SAVE=\x81\r\nNOICON=TRUE\r\n").ok());
  EXPECT_EQ(object_.AUTO_SAVE, 1);
  EXPECT_EQ(object_.NOICON, 1);
}

TEST_F(IniFileReaderTest, AUtf8FileEditedOnLinuxReadsExactly) {
  const IniReadResult read = Read(
      "[GeneralSetting]\r\nAUTO_SAVE=FALSE\r\n"
      "CONNECTION_STATS_LOG_FILE_NAME=.\\ログ\\接続.csv\r\n"
      "CONNECTION_CONTROL_LOG_FILE_NAME=.\\log\\é\xF0\x9F\x98\x80.log\r\n"
      "[PacketFilter1]\r\nFILTER_NAME=あい\r\nAPPNAME=\x81\r\nDIR=UP\r\n");
  ASSERT_TRUE(read.ok()) << read.error;
  EXPECT_EQ(object_.AUTO_SAVE, 0);
  EXPECT_EQ(object_.CONNECTION_STATS_LOG_FILE_NAME, ".\\ログ\\接続.csv");
  EXPECT_EQ(object_.CONNECTION_CONTROL_LOG_FILE_NAME, ".\\log\\é\xF0\x9F\x98\x80.log");
  ASSERT_EQ(object_.staticFilters.Size(), 1u);
  EXPECT_EQ(object_.staticFilters.At(0).FilterName, "あい");
  EXPECT_EQ(object_.staticFilters.At(0).Direction, PacketFilter::kDirectionUp);
}

TEST_F(IniFileReaderTest, TooManySectionNamesAreShownAndStopTheReadBeforeAnySection) {
  std::string file = Crlf({"[GeneralSetting]", "AUTO_SAVE=FALSE"});
  for (int i = 0; i < 140; ++i) {
    file +=
        "[Section with a long name " + std::to_string(1000 + i) + "]\r\n";  // 30 bytes with its NUL
  }
  IniFileReader reader(object_, adapters_, dialogs_);
  EXPECT_EQ(reader.ReadBytes(file).status, IniReadStatus::kStoppedAtLimit);
  EXPECT_TRUE(reader.StoppedAtLimit());
  EXPECT_EQ(dialogs_.messages,
            std::vector<std::string>{"IniReader::ReadIniFile:セクション用バッファが足りません"});
  EXPECT_EQ(object_.AUTO_SAVE, 1);
  EXPECT_TRUE(reader.ReadBytes(Crlf({"[GeneralSetting]"})).ok());
  EXPECT_FALSE(reader.StoppedAtLimit()) << "each read starts without the mark";
}

TEST_F(IniFileReaderTest, ASectionFillingItsBufferStopsTheReadAfterTheSectionsBefore) {
  // "K=" and the value, with a NUL after the line, fill the buffer at 4094.
  EXPECT_TRUE(Read("[Notes]\r\nK=" + std::string(4090, 'v') + "\r\n").ok());
  EXPECT_TRUE(dialogs_.messages.empty());
  const IniReadResult full = Read(Crlf({"[GeneralSetting]", "AUTO_SAVE=FALSE", "[PacketFilter1]"}) +
                                  "K=" + std::string(4091, 'v') + "\r\n[DynamicFilter1]\r\n");
  EXPECT_EQ(full.status, IniReadStatus::kStoppedAtLimit);
  EXPECT_EQ(dialogs_.messages,
            std::vector<std::string>{"IniReader::ReadIniFile:データ用バッファが足りません"});
  EXPECT_EQ(object_.AUTO_SAVE, 0);
  EXPECT_TRUE(object_.staticFilters.Empty());
  EXPECT_TRUE(object_.dynamicFilters.Empty());
}

TEST_F(IniFileReaderTest, AnOptionLineLongerThan511BytesMakesTheFileDamaged) {
  const std::string key = "CONNECTION_STATS_LOG_FORMAT=";  // 28 bytes
  EXPECT_TRUE(Read("[GeneralSetting]\r\n" + key + std::string(483, 'f') + "\r\n").ok());
  const IniReadResult overlong =
      Read("[GeneralSetting]\r\n" + key + std::string(484, 'f') + "\r\n");
  EXPECT_EQ(overlong.status, IniReadStatus::kDamaged);
  EXPECT_NE(overlong.error.find("CONNECTION_STATS_LOG_FORMAT"), std::string::npos);
}

class IniFileOnDiskTest : public IniFileReaderTest {
 protected:
  void SetUp() override {
    folder_ = dir_.path();
    file_ = folder_ / "GeneralSetting.ini";
  }
  void Put(const std::string& bytes) const { std::ofstream(file_, std::ios::binary) << bytes; }

  testing::TempDir dir_;
  std::filesystem::path folder_;
  std::filesystem::path file_;
};

TEST_F(IniFileOnDiskTest, MissingFileIsReportedAsMissing) {
  EXPECT_EQ(IniFileReader(object_, adapters_, dialogs_).ReadIniFile(file_).status,
            IniReadStatus::kMissing);
}

TEST_F(IniFileOnDiskTest, ParserStartsEveryCallFromTheDefaults) {
  IniFileReader reader(object_, adapters_, dialogs_);
  const SettingsParser parse = reader.Parser();
  EXPECT_EQ(parse(Crlf({"[GeneralSetting]", "AUTO_SAVE=FALSE", "[PacketFilter1]"})), std::nullopt);
  EXPECT_EQ(object_.AUTO_SAVE, 0);
  EXPECT_EQ(parse(Crlf({"[Other]"})), std::nullopt);
  EXPECT_EQ(object_.AUTO_SAVE, 1);
  EXPECT_TRUE(object_.staticFilters.Empty());
  const std::string overlong = "CONNECTION_STATS_LOG_FORMAT=" + std::string(600, 'f');
  EXPECT_NE(parse(Crlf({"[GeneralSetting]", "AUTO_SAVE=FALSE", overlong})), std::nullopt);
  EXPECT_EQ(object_.AUTO_SAVE, 1);
  EXPECT_NE(parse(""), std::nullopt);
}

TEST_F(IniFileOnDiskTest, AReadStoppedAtALimitKeepsWhatItReadAndTheFile) {
  // [GeneralSetting] first, then a section too big for the reader's buffer.
  Put(Crlf({"[GeneralSetting]", "AUTO_SAVE=FALSE", "NOICON=TRUE", "[Notes]"}) +
      "K=" + std::string(4091, 'v') + "\r\n");
  IniFileReader reader(object_, adapters_, dialogs_);
  const SettingsLoadResult loaded = LoadSettingsFile(file_, reader.Parser());
  EXPECT_EQ(loaded.outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_TRUE(reader.StoppedAtLimit());
  EXPECT_EQ(object_.AUTO_SAVE, 0);
  EXPECT_EQ(object_.NOICON, 1);
  EXPECT_TRUE(std::filesystem::exists(file_)) << "not moved aside as damaged";
  EXPECT_EQ(dialogs_.messages,
            std::vector<std::string>{"IniReader::ReadIniFile:データ用バッファが足りません"});

  // The next file read starts from the defaults again.
  Put(Crlf({"[GeneralSetting]", "NOICON=FALSE"}));
  EXPECT_EQ(LoadSettingsFile(file_, reader.Parser()).outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_FALSE(reader.StoppedAtLimit());
  EXPECT_EQ(object_.AUTO_SAVE, 1);
}

TEST_F(IniFileOnDiskTest, DamagedFileIsMovedAsideByTheLoadPolicy) {
  Put("[GeneralSetting]\r\nAUTO_SAVE=FALSE\r\nCONNECTION_STATS_LOG_FORMAT=" +
      std::string(600, 'f') + "\r\n");
  IniFileReader reader(object_, adapters_, dialogs_);
  const SettingsLoadResult loaded = LoadSettingsFile(file_, reader.Parser());
  EXPECT_EQ(loaded.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_TRUE(std::filesystem::exists(loaded.damagedCopy));
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_EQ(object_.AUTO_SAVE, 1);

  Put("[GeneralSetting]\r\nAUTO_SAVE=FALSE\r\n");
  EXPECT_EQ(LoadSettingsFile(file_, reader.Parser()).outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_EQ(object_.AUTO_SAVE, 0);
}

}  // namespace
}  // namespace harlune
