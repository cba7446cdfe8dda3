#pragma once

// How GeneralSetting.ini matches names, and the limits it has always had:
// every build reads it with fixed buffers, so a file beyond them cannot be
// read back, here or by any other build. Sizes count the bytes of the file's
// CP932 text.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/profile_file.h"

namespace harlune {

// One read of the section names, or of one section's lines. The profile
// reader reports a buffer as full by returning two less than its size.
inline constexpr std::size_t kIniBufferBytes = 4096;
inline constexpr std::size_t kIniBufferFullResult = kIniBufferBytes - 2;
// One line "KEY=value" of section GeneralSetting.
inline constexpr std::size_t kMaxLineBytes = 511;

// Whether two section or key names are the same to the profile file, which
// ignores ASCII case.
bool SameProfileName(std::string_view a, std::string_view b);

// The size of a text in the file.
std::size_t FileTextBytes(std::string_view utf8);

// Whether the names, each followed by a NUL, fit the buffer without filling it.
bool SectionNamesFit(const std::vector<std::string>& names);

// Whether the lines "key=value", each followed by a NUL, fit the buffer
// without filling it.
bool SectionLinesFit(const std::vector<ProfileEntry>& entries);

// Why GeneralSetting.ini could not hold `value` for `key` and give it back
// (ProfileValueProblem, or a line "KEY=value" over kMaxLineBytes); empty
// when it can.
std::string GeneralSettingProblem(std::string_view key, std::string_view value);

// The first line "key=value" longer than kMaxLineBytes, or nullptr.
const ProfileEntry* FirstOverlongLine(const std::vector<ProfileEntry>& entries);

}  // namespace harlune
