#include "core/app/ini_file_format.h"

#include <algorithm>

#include "core/base/ascii_case.h"
#include "core/base/text_encoding.h"

namespace harlune {
namespace {

std::size_t LineBytes(const ProfileEntry& entry) {
  return FileTextBytes(entry.key) + 1 + FileTextBytes(entry.value);
}

}  // namespace

bool SameProfileName(std::string_view a, std::string_view b) {
  return EqualIgnoringAsciiCase(a, b);
}

std::size_t FileTextBytes(std::string_view utf8) {
  try {
    return Cp932Length(utf8);
  } catch (const TextEncodingError&) {
    // Text that CP932 lacks is refused when it is written; until then its
    // UTF-8 size stands in.
    return utf8.size();
  }
}

bool SectionNamesFit(const std::vector<std::string>& names) {
  std::size_t total = 0;
  for (const std::string& name : names) {
    total += FileTextBytes(name) + 1;
  }
  return total < kIniBufferFullResult;
}

bool SectionLinesFit(const std::vector<ProfileEntry>& entries) {
  std::size_t total = 0;
  for (const ProfileEntry& entry : entries) {
    total += LineBytes(entry) + 1;
  }
  return total < kIniBufferFullResult;
}

const ProfileEntry* FirstOverlongLine(const std::vector<ProfileEntry>& entries) {
  for (const ProfileEntry& entry : entries) {
    if (LineBytes(entry) > kMaxLineBytes) {
      return &entry;
    }
  }
  return nullptr;
}

std::string GeneralSettingProblem(std::string_view key, std::string_view value) {
  if (std::string problem = ProfileValueProblem(value); !problem.empty()) {
    return problem;
  }
  if (const ProfileEntry line{std::string(key), std::string(value)};
      LineBytes(line) > kMaxLineBytes) {
    return "the line of " + line.key + " would be longer than " + std::to_string(kMaxLineBytes) +
           " bytes";
  }
  return {};
}

}  // namespace harlune
