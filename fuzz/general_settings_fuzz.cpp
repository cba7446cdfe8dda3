// Arbitrary bytes as GeneralSetting.ini, older filter sections included:
// what reads must write, and what is written must read back to the same
// options, the same older filters and the same messages, with every other
// section of the file untouched.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/app/ini_file_format.h"
#include "core/app/ini_file_reader.h"
#include "core/app/ini_file_writer.h"
#include "core/base/profile_file.h"
#include "core/monitor/adapter_table.h"
#include "fuzz_target.h"

namespace {

using namespace harlune;

class Messages : public UserDialogs {
 public:
  void ShowMessage(std::string_view text) override { shown.emplace_back(text); }
  QuestionAnswer Ask(std::string_view, std::string_view, QuestionButtons buttons) override {
    return DefaultAnswer(buttons);
  }
  std::vector<std::string> shown;
};

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

bool SameCommon(const CommonFilter& a, const CommonFilter& b) {
  return a.Available == b.Available && a.FilterId == b.FilterId && a.Protocol == b.Protocol &&
         a.Drop == b.Drop && a.DropSynOnly == b.DropSynOnly && a.DoBand == b.DoBand &&
         a.Bandwidth == b.Bandwidth && a.MinimumPacketSize == b.MinimumPacketSize &&
         a.FilterName == b.FilterName && a.Comment() == b.Comment();
}

bool SamePacket(const PacketFilter& a, const PacketFilter& b) {
  return SameCommon(a, b) && a.Direction == b.Direction && a.AppName == b.AppName &&
         a.AdapterIndex == b.AdapterIndex && a.AdapterName == b.AdapterName && a.MyIp == b.MyIp &&
         a.MyIpMask == b.MyIpMask && a.OtherIp == b.OtherIp && a.OtherIpMask == b.OtherIpMask &&
         a.IsMyIp == b.IsMyIp && a.IsMyAllPort == b.IsMyAllPort &&
         a.IsOtherAllPort == b.IsOtherAllPort && a.MyPorts == b.MyPorts &&
         a.OtherPorts == b.OtherPorts && a.DescriptionText() == b.DescriptionText();
}

bool SameDynamic(const DynamicFilter& a, const DynamicFilter& b) {
  return SameCommon(a, b) && a.TriggerRunningProcessName == b.TriggerRunningProcessName &&
         a.TriggerConnectingProcessName == b.TriggerConnectingProcessName &&
         a.TriggerTotalUpBandwidthLow == b.TriggerTotalUpBandwidthLow &&
         a.TriggerTotalUpBandwidthHigh == b.TriggerTotalUpBandwidthHigh &&
         a.TriggerTotalDownBandwidthLow == b.TriggerTotalDownBandwidthLow &&
         a.TriggerTotalDownBandwidthHigh == b.TriggerTotalDownBandwidthHigh &&
         a.TriggerFilterBandwidthLow == b.TriggerFilterBandwidthLow &&
         a.TriggerFilterBandwidthHigh == b.TriggerFilterBandwidthHigh &&
         a.TriggerFilterBandwidthId == b.TriggerFilterBandwidthId &&
         a.TargetFilterIds == b.TargetFilterIds;
}

template <class List, class Same>
bool SameList(const List& a, const List& b, Same same) {
  if (a.Size() != b.Size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.Size(); ++i) {
    if (!same(a.At(i), b.At(i))) {
      return false;
    }
  }
  return true;
}

// Every section but the options is as it was.
void CheckOtherSectionsKept(std::string_view before, std::string_view after) {
  const ProfileParseResult old = ProfileFile::Parse(before);
  const ProfileParseResult now = ProfileFile::Parse(after);
  Check(old.file && now.file);
  for (const std::string& name : old.file->SectionNames()) {
    if (!SameProfileName(name, IniFileObject::kSectionName)) {
      Check(old.file->Section(name) == now.file->Section(name));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const AdapterTable adapters;

  IniFileObject first;
  Messages firstMessages;
  const IniReadResult read = IniFileReader(first, adapters, firstMessages).ReadBytes(bytes);
  if (!read.ok()) {
    Check(!read.error.empty());
    return 0;
  }
  const IniBytesResult written = IniFileWriter(first).WriteBytes(bytes);
  if (!written.ok()) {
    return 0;  // the options would not fit the file's limits next to what it holds
  }
  CheckOtherSectionsKept(bytes, written.bytes);

  IniFileObject second;
  Messages secondMessages;
  Check(IniFileReader(second, adapters, secondMessages).ReadBytes(written.bytes).ok());
  Check(FormatGeneralSettings(first) == FormatGeneralSettings(second));
  Check(SameList(first.staticFilters, second.staticFilters, SamePacket));
  Check(SameList(first.dynamicFilters, second.dynamicFilters, SameDynamic));
  Check(firstMessages.shown == secondMessages.shown);

  // Writing what was read back changes nothing more.
  const IniBytesResult again = IniFileWriter(second).WriteBytes(written.bytes);
  Check(again.ok() && again.bytes == written.bytes);
  return 0;
}
