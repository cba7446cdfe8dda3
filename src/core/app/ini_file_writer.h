#pragma once

// IniFileWriter: writes the options of an IniFileObject into section
// "GeneralSetting" of GeneralSetting.ini, every key in the file's order. The
// rest of the file (comments, other sections, the older filter sections that
// are read but never written) is kept byte for byte.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/app/ini_file_object.h"
#include "core/base/profile_file.h"
#include "core/base/safe_file.h"

namespace harlune {

struct [[nodiscard]] IniWriteResult {
  std::string error;  // empty when written
  // Keys whose value the file cannot hold, left as the document had them.
  std::vector<std::string> keptKeys = {};

  bool ok() const { return error.empty(); }
};

struct [[nodiscard]] IniBytesResult {
  std::string bytes;  // the whole new file, when written
  std::string error;
  std::vector<std::string> keptKeys = {};  // as in IniWriteResult

  bool ok() const { return error.empty(); }
};

// The keys and values the file holds for the object, INI_FILE_VERSION first:
// switches as "TRUE" (1), "FALSE" (0) or empty (any other number), numbers in
// decimal, lists joined by ",", WINDOW_SIZE as top,left,bottom,right.
std::vector<ProfileEntry> FormatGeneralSettings(const IniFileObject& object);

class IniFileWriter {
 public:
  explicit IniFileWriter(const IniFileObject& object);

  // Writes every key into the document. A value the file cannot hold (not
  // CP932, a line break, blanks at either end, a line over kMaxLineBytes)
  // does not stop the others: its key keeps the line the document has, or
  // stays out when it has none, and is named in keptKeys. Refused, with the
  // document left as it was, when the section or the section names would
  // not fit the reader's buffers.
  IniWriteResult Write(ProfileFile& document) const;

  // The same over the bytes of the existing file (empty when there is none).
  IniBytesResult WriteBytes(std::string_view existingCp932) const;

  // Writes the file through WriteSettingsFile, keeping what the file there
  // holds besides the options. A file there that cannot be read is not
  // replaced: that is a kWrite failure. A write that kept keys succeeds and
  // names them in keptKeys.
  SafeWriteResult WriteIniFile(const std::filesystem::path& path) const;

 private:
  const IniFileObject& object_;
};

}  // namespace harlune
