// The filter page's graph switch in the general settings: absent from the
// file until the user sets it, then written and read back.

#include <string>

#include <gtest/gtest.h>

#include "core/app/ini_file_reader.h"
#include "core/app/ini_file_writer.h"
#include "core/monitor/adapter_table.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

constexpr std::string_view kExisting = "[GeneralSetting]\r\nINI_FILE_VERSION=1500\r\n";

std::string Written(const IniFileObject& object) {
  const IniBytesResult written = IniFileWriter(object).WriteBytes(kExisting);
  EXPECT_TRUE(written.error.empty()) << written.error;
  return written.bytes;
}

IniFileObject ReadBack(const std::string& bytes) {
  IniFileObject object;
  AdapterTable adapters;
  RecordingUserDialogs dialogs;
  static_cast<void>(IniFileReader(object, adapters, dialogs).ReadBytes(bytes));
  return object;
}

TEST(GraphSettingTest, AnUnsetSwitchIsNeitherWrittenNorInvented) {
  const std::string bytes = Written(IniFileObject{});
  EXPECT_EQ(bytes.find("SHOW_FILTER_GRAPH"), std::string::npos);
  EXPECT_FALSE(ReadBack(bytes).SHOW_FILTER_GRAPH.has_value());
}

TEST(GraphSettingTest, ASetSwitchIsWrittenAndReadBackEitherWay) {
  for (const std::int32_t shown : {1, 0}) {
    IniFileObject object;
    object.SHOW_FILTER_GRAPH = shown;
    const std::string bytes = Written(object);
    EXPECT_NE(bytes.find(shown == 1 ? "SHOW_FILTER_GRAPH=TRUE" : "SHOW_FILTER_GRAPH=FALSE"),
              std::string::npos)
        << bytes;
    EXPECT_EQ(ReadBack(bytes).SHOW_FILTER_GRAPH, shown);
  }
}

}  // namespace
}  // namespace harlune
