#pragma once

// IniFileReader: reads GeneralSetting.ini into an IniFileObject. Section
// "GeneralSetting" holds the options; the older sections "PacketFilter<n>",
// "DirNetSieve<n>" and "DirAppFilter<n>" (one counter, so the n-th filter
// section must carry the number n) and "DynamicFilter<m>" (a counter of its
// own) describe filters of the older family, which go to the object's older
// filter lists. Any other section is ignored.
//
// Keys are matched exactly, upper case. Section names are matched without
// regard to ASCII case, as the profile file itself matches them.

#include <filesystem>
#include <string>
#include <string_view>

#include "core/app/ini_file_object.h"
#include "core/base/profile_file.h"
#include "core/base/safe_file.h"
#include "core/base/user_dialogs.h"
#include "core/monitor/adapter_table.h"

namespace harlune {

inline constexpr std::string_view kSectionBufferFullMessage =
    "IniReader::ReadIniFile:セクション用バッファが足りません";
inline constexpr std::string_view kDataBufferFullMessage =
    "IniReader::ReadIniFile:データ用バッファが足りません";
// Followed by the word that was read.
inline constexpr std::string_view kInvalidDirectionMessage = "無効な方向です：";

enum class IniReadStatus {
  kRead,
  kMissing,     // there is no such file
  kNoSections,  // the file has no section at all: the caller writes the defaults
  // A section-name or section-data buffer limit was reached: its message was
  // shown and the sections before it keep their effect. The file is not
  // damaged, but the read did not complete.
  kStoppedAtLimit,
  kDamaged,  // the file cannot be read or has a line beyond the line limit
};

struct IniReadResult {
  IniReadStatus status = IniReadStatus::kRead;
  std::string error;  // what is wrong, when not kRead

  bool ok() const { return status == IniReadStatus::kRead; }
};

class IniFileReader {
 public:
  // The adapter table gives the adapter index of a filter's ADAPTER_NAME;
  // messages about the file go to `dialogs`.
  IniFileReader(IniFileObject& object, const AdapterTable& adapters, UserDialogs& dialogs);

  // Reads the sections in file order over the values the object holds.
  // Stops at a section beyond the limits of the file: what was read before
  // it stays in effect.
  IniReadResult Read(const ProfileFile& document);

  // The same for the bytes of a whole file.
  IniReadResult ReadBytes(std::string_view bytes);

  // The same for a file; kMissing when there is none.
  IniReadResult ReadIniFile(const std::filesystem::path& path);

  // A parser for LoadSettingsFile: each call puts the defaults back into the
  // object and reads the bytes. A read that stops at a limit is accepted with
  // what it read (StoppedAtLimit tells); any other incomplete read is
  // refused, with the reason, and leaves the defaults. The reader must
  // outlive the parser.
  SettingsParser Parser();

  // Whether the last read stopped at a buffer limit (a failed read to the
  // caller, though what it read stays in effect).
  bool StoppedAtLimit() const { return stoppedAtLimit_; }

 private:
  IniReadResult StopAtLimit(std::string_view message, std::string error);

  IniFileObject& object_;
  const AdapterTable& adapters_;
  UserDialogs& dialogs_;
  bool stoppedAtLimit_ = false;
};

}  // namespace harlune
