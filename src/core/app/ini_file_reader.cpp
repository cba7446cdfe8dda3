#include "core/app/ini_file_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/app/ini_file_format.h"
#include "core/base/flag_text.h"
#include "core/base/text_encoding.h"
#include "core/filter/port_range.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr std::int32_t kDefaultBandwidth = 30;
constexpr std::int32_t kMaxFilterColumnWidth = 2000;
constexpr std::int32_t kOverwideFilterColumnWidth = 200;
constexpr std::size_t kMaxFilterNameBytes = 100;

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string_view FirstPiece(std::string_view value) { return value.substr(0, value.find(',')); }

std::vector<std::string_view> Pieces(std::string_view value) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t comma = value.find(',');
    pieces.push_back(value.substr(0, comma));
    if (comma == std::string_view::npos) {
      return pieces;
    }
    value.remove_prefix(comma + 1);
  }
}

// A decimal integer, blanks around it allowed; nothing for anything else or
// for a number beyond any value the file holds.
std::optional<std::int64_t> ParseDecimal(std::string_view piece) {
  constexpr std::int64_t kBeyond = std::int64_t{1} << 40;
  piece = TrimBlanks(piece);
  bool negative = false;
  if (!piece.empty() && (piece.front() == '-' || piece.front() == '+')) {
    negative = piece.front() == '-';
    piece.remove_prefix(1);
  }
  if (piece.empty()) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  for (const char c : piece) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
    if (value > kBeyond) {
      return std::nullopt;
    }
  }
  return negative ? -value : value;
}

// Sets the target when the piece is a number it can hold; leaves it otherwise,
// so that an empty or broken value keeps the setting as it was.
template <class Integer>
bool ReadInteger(std::string_view piece, Integer& target) {
  const std::optional<std::int64_t> value = ParseDecimal(piece);
  if (!value || !std::in_range<Integer>(*value)) {
    return false;
  }
  target = static_cast<Integer>(*value);
  return true;
}

bool IsTrue(std::string_view value) { return IsTrueText(FirstPiece(value)); }

void ReadAddress(std::string_view piece, std::uint32_t& target) {
  if (const std::optional<std::uint32_t> address = ParseIpv4(TrimBlanks(piece))) {
    target = *address;
  }
}

void ReadOption(SettingKind kind, std::int32_t& target, std::string_view value) {
  if (kind == SettingKind::kBoolean) {
    target = IsTrue(value) ? 1 : 0;
  } else {
    ReadInteger(FirstPiece(value), target);
  }
}

// An option the file may lack: set once the file names it.
void ReadOption(SettingKind kind, std::optional<std::int32_t>& target, std::string_view value) {
  std::int32_t read = target.value_or(0);
  ReadOption(kind, read, value);
  target = read;
}

void ReadOption(SettingKind, std::uint32_t& target, std::string_view value) {
  ReadInteger(FirstPiece(value), target);
}

void ReadOption(SettingKind, std::string& target, std::string_view value) { target = value; }

template <std::size_t N>
void ReadOption(SettingKind kind, std::array<std::int32_t, N>& target, std::string_view value) {
  const std::vector<std::string_view> pieces = Pieces(value);
  for (std::size_t j = 0; j < std::min(N, pieces.size()); ++j) {
    std::int32_t entry = 0;
    if (!ReadInteger(pieces[j], entry)) {
      continue;  // an empty piece keeps its entry
    }
    if (kind == SettingKind::kFilterWidths && entry > kMaxFilterColumnWidth) {
      entry = kOverwideFilterColumnWidth;
    } else if (kind == SettingKind::kFlags && entry != 0) {
      entry = 1;
    }
    target[j] = entry;
  }
}

void ReadOption(SettingKind, WindowRectangle& target, std::string_view value) {
  std::array<std::int32_t, 4> sides{target.top, target.left, target.bottom, target.right};
  ReadOption(SettingKind::kList, sides, value);
  target = WindowRectangle{sides[1], sides[0], sides[3], sides[2]};
}

void ReadGeneralEntry(IniFileObject& object, const ProfileEntry& entry) {
  VisitGeneralSettings(object, [&entry](std::string_view key, SettingKind kind, auto& member) {
    if (key == entry.key) {
      ReadOption(kind, member, entry.value);
    }
  });
}

// The keys that every filter section shares. False when the key is not one.
bool ReadCommonEntry(CommonFilter& filter, const ProfileEntry& entry) {
  const std::string_view key = entry.key;
  const std::string_view value = entry.value;
  if (key == "DROP") {
    filter.Drop = IsTrue(value);
  } else if (key == "DROP_SYN_ONLY") {
    filter.DropSynOnly = IsTrue(value);
  } else if (key == "DO_BAND") {
    filter.DoBand = IsTrue(value);
  } else if (key == "AVAILABLE") {
    filter.Available = IsTrue(value);
  } else if (key == "MINIMUM_PACKET_SIZE") {
    ReadInteger(FirstPiece(value), filter.MinimumPacketSize);
  } else if (key == "COMMENT") {
    filter.SetComment(value);
  } else if (key == "FILTER_NAME") {
    filter.FilterName = CutToCp932Bytes(value, kMaxFilterNameBytes);
  } else if (key == "ID") {
    ReadInteger(FirstPiece(value), filter.FilterId);
  } else {
    return false;
  }
  return true;
}

class OlderSectionReader {
 public:
  OlderSectionReader(IniFileObject& object, const AdapterTable& adapters, UserDialogs& dialogs)
      : object_(object), adapters_(adapters), dialogs_(dialogs) {}

  // Reads the section when it is the next filter or dynamic-filter section.
  void Read(std::string_view name, const std::vector<ProfileEntry>& entries) {
    if (IsNumbered(name, {"PacketFilter", "DirNetSieve", "DirAppFilter"}, filterNumber_)) {
      ++filterNumber_;
      ReadPacketFilter(entries);
    } else if (IsNumbered(name, {"DynamicFilter"}, dynamicNumber_)) {
      ++dynamicNumber_;
      ReadDynamicFilter(entries);
    }
  }

 private:
  static bool IsNumbered(std::string_view name, std::initializer_list<std::string_view> stems,
                         int number) {
    const std::string suffix = std::to_string(number);
    return std::ranges::any_of(stems, [&](std::string_view stem) {
      return SameProfileName(name, std::string(stem) + suffix);
    });
  }

  void ReadPacketFilter(const std::vector<ProfileEntry>& entries) {
    PacketFilter filter;
    for (const ProfileEntry& entry : entries) {
      if (!ReadCommonEntry(filter, entry)) {
        ReadPacketFilterEntry(filter, entry);
      }
    }
    object_.staticFilters.Add(filter);
  }

  void ReadPacketFilterEntry(PacketFilter& filter, const ProfileEntry& entry) {
    const std::string_view key = entry.key;
    const std::string_view value = entry.value;
    const std::string_view first = FirstPiece(value);
    if (key == "PROTOCOL") {
      ReadInteger(first, filter.Protocol);
    } else if (key == "ADAPTER_INDEX") {
      ReadInteger(first, filter.AdapterIndex);
    } else if (key == "ADAPTER_NAME") {
      filter.AdapterName = value;
      filter.AdapterIndex = adapters_.AdapterIndexOfName(value);
    } else if (key == "MY_IP") {
      ReadAddress(first, filter.MyIp);
    } else if (key == "IS_MY_IP") {
      filter.IsMyIp = IsTrue(value);
    } else if (key == "MY_IP_MASK") {
      ReadAddress(first, filter.MyIpMask);
    } else if (key == "OTHER_IP") {
      ReadAddress(first, filter.OtherIp);
    } else if (key == "IS_OTHER_ALL_IP") {
      filter.OtherIpMask = 0;
      otherAllIpSeen_ = true;
    } else if (key == "OTHER_IP_MASK") {
      // Once a filter of the file has said "every remote address", a mask
      // given for no remote address keeps meaning every address.
      if (filter.OtherIp == 0 && otherAllIpSeen_) {
        filter.OtherIpMask = 0;
      } else {
        ReadAddress(first, filter.OtherIpMask);
      }
    } else if (key == "OTHER_PORT") {
      filter.OtherPorts.push_back(ParsePortRange(first));
    } else if (key == "MY_PORT") {
      filter.MyPorts.push_back(ParsePortRange(first));
    } else if (key == "IS_OTHER_ALL_PORT") {
      filter.IsOtherAllPort = IsTrue(value);
    } else if (key == "IS_MY_ALL_PORT") {
      filter.IsMyAllPort = IsTrue(value);
    } else if (key == "BANDWIDTH") {
      if (ReadInteger(first, filter.Bandwidth) && filter.Bandwidth <= 0) {
        filter.Bandwidth = kDefaultBandwidth;
      }
    } else if (key == "DIR") {
      filter.Direction = Direction(first);
    } else if (key == "APPNAME") {
      filter.AppName = value;
    }
  }

  std::int32_t Direction(std::string_view word) {
    if (word == "UP") {
      return PacketFilter::kDirectionUp;
    }
    if (word == "DOWN") {
      return PacketFilter::kDirectionDown;
    }
    if (word == "OTHER") {
      return PacketFilter::kDirectionOther;
    }
    dialogs_.ShowMessage(std::string(kInvalidDirectionMessage) + std::string(word));
    return -1;
  }

  void ReadDynamicFilter(const std::vector<ProfileEntry>& entries) {
    DynamicFilter filter;
    for (const ProfileEntry& entry : entries) {
      if (!ReadCommonEntry(filter, entry)) {
        ReadDynamicFilterEntry(filter, entry);
      }
    }
    object_.dynamicFilters.Add(filter);
  }

  static void ReadDynamicFilterEntry(DynamicFilter& filter, const ProfileEntry& entry) {
    const std::string_view key = entry.key;
    const std::string_view first = FirstPiece(entry.value);
    if (key == "BANDWIDTH") {
      ReadInteger(first, filter.Bandwidth);  // kept as read, even when not above 0
    } else if (key == "TRIGGER_RUNNING_PROCESS_NAME") {
      filter.TriggerRunningProcessName = entry.value;
    } else if (key == "TRIGGER_CONNECTING_PROCESS_NAME") {
      filter.TriggerConnectingProcessName = entry.value;
    } else if (key == "TRIGGER_TOTAL_UP_BANDWIDTH_LOW") {
      ReadInteger(first, filter.TriggerTotalUpBandwidthLow);
    } else if (key == "TRIGGER_TOTAL_UP_BANDWIDTH_HIGH") {
      ReadInteger(first, filter.TriggerTotalUpBandwidthHigh);
    } else if (key == "TRIGGER_TOTAL_DOWN_BANDWIDTH_LOW") {
      ReadInteger(first, filter.TriggerTotalDownBandwidthLow);
    } else if (key == "TRIGGER_TOTAL_DOWN_BANDWIDTH_HIGH") {
      ReadInteger(first, filter.TriggerTotalDownBandwidthHigh);
    } else if (key == "TRIGGER_FILTER_BANDWIDTH_LOW") {
      ReadInteger(first, filter.TriggerFilterBandwidthLow);
    } else if (key == "TRIGGER_FILTER_BANDWIDTH_HIGH") {
      ReadInteger(first, filter.TriggerFilterBandwidthHigh);
    } else if (key == "TRIGGER_FILTER_BANDWIDTH_ID") {
      ReadInteger(first, filter.TriggerFilterBandwidthId);
    } else if (key == "TARGET_FILTER_ID") {
      std::int32_t target = 0;
      if (ReadInteger(first, target)) {
        filter.TargetFilterIds.push_back(target);
      }
    }
  }

  IniFileObject& object_;
  const AdapterTable& adapters_;
  UserDialogs& dialogs_;
  int filterNumber_ = 1;
  int dynamicNumber_ = 1;
  // Raised by IS_OTHER_ALL_IP for the rest of one read of the file.
  bool otherAllIpSeen_ = false;
};

IniReadResult Damaged(std::string error) { return {IniReadStatus::kDamaged, std::move(error)}; }

}  // namespace

IniFileReader::IniFileReader(IniFileObject& object, const AdapterTable& adapters,
                             UserDialogs& dialogs)
    : object_(object), adapters_(adapters), dialogs_(dialogs) {}

IniReadResult IniFileReader::StopAtLimit(std::string_view message, std::string error) {
  dialogs_.ShowMessage(message);
  stoppedAtLimit_ = true;
  return {IniReadStatus::kStoppedAtLimit, std::move(error)};
}

IniReadResult IniFileReader::Read(const ProfileFile& document) {
  stoppedAtLimit_ = false;
  const std::vector<std::string> names = document.SectionNames();
  if (names.empty()) {
    return {IniReadStatus::kNoSections, "the file has no sections"};
  }
  if (!SectionNamesFit(names)) {
    return StopAtLimit(kSectionBufferFullMessage,
                       "the section names exceed the reader's buffer of " +
                           std::to_string(kIniBufferBytes) + " bytes");
  }
  OlderSectionReader older(object_, adapters_, dialogs_);
  for (const std::string& name : names) {
    const std::vector<ProfileEntry> entries = document.Section(name);
    if (!SectionLinesFit(entries)) {
      return StopAtLimit(kDataBufferFullMessage, "the lines of section [" + name +
                                                     "] exceed the reader's buffer of " +
                                                     std::to_string(kIniBufferBytes) + " bytes");
    }
    if (SameProfileName(name, IniFileObject::kSectionName)) {
      if (const ProfileEntry* line = FirstOverlongLine(entries)) {
        return Damaged("the line of " + line->key + " in section [" + name + "] is longer than " +
                       std::to_string(kMaxLineBytes) + " bytes");
      }
      for (const ProfileEntry& entry : entries) {
        ReadGeneralEntry(object_, entry);
      }
    } else {
      older.Read(name, entries);
    }
  }
  return {};
}

IniReadResult IniFileReader::ReadBytes(std::string_view bytes) {
  return Read(*ProfileFile::Parse(bytes).file);
}

IniReadResult IniFileReader::ReadIniFile(const std::filesystem::path& path) {
  stoppedAtLimit_ = false;
  FileReadResult file = ReadFileBytes(path);
  if (file.status == FileReadStatus::kMissing) {
    return {IniReadStatus::kMissing, path.string() + ": there is no such file"};
  }
  if (file.status == FileReadStatus::kFailed) {
    return Damaged(std::move(file.error));
  }
  IniReadResult result = ReadBytes(file.bytes);
  if (!result.ok()) {
    result.error = path.string() + ": " + result.error;
  }
  return result;
}

SettingsParser IniFileReader::Parser() {
  return [this](std::string_view bytes) -> std::optional<std::string> {
    object_ = IniFileObject{};
    IniReadResult result = ReadBytes(bytes);
    if (result.ok() || result.status == IniReadStatus::kStoppedAtLimit) {
      return std::nullopt;
    }
    object_ = IniFileObject{};
    return std::move(result.error);
  };
}

}  // namespace harlune
