#include "core/app/ini_file_writer.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/app/ini_file_format.h"
#include "core/base/flag_text.h"

namespace harlune {
namespace {

constexpr std::string_view kVersionKey = "INI_FILE_VERSION";

std::string FormatOption(SettingKind kind, std::int32_t value) {
  if (kind != SettingKind::kBoolean) {
    return std::to_string(value);
  }
  return std::string(FlagText(value));
}

std::string FormatOption(SettingKind, std::uint32_t value) { return std::to_string(value); }

std::string FormatOption(SettingKind, const std::string& value) { return value; }

template <std::size_t N>
std::string FormatOption(SettingKind, const std::array<std::int32_t, N>& values) {
  std::string text;
  for (std::size_t i = 0; i < N; ++i) {
    if (i != 0) {
      text += ',';
    }
    text += std::to_string(values[i]);
  }
  return text;
}

std::string FormatOption(SettingKind kind, const WindowRectangle& rectangle) {
  return FormatOption(kind, std::array<std::int32_t, 4>{rectangle.top, rectangle.left,
                                                        rectangle.bottom, rectangle.right});
}

template <class Member>
void AddEntry(std::vector<ProfileEntry>& entries, std::string_view key, SettingKind kind,
              const Member& member) {
  entries.push_back({std::string(key), FormatOption(kind, member)});
}

// An option nobody set is left out, so that the file stays as it was.
void AddEntry(std::vector<ProfileEntry>& entries, std::string_view key, SettingKind kind,
              const std::optional<std::int32_t>& member) {
  if (member.has_value()) {
    AddEntry(entries, key, kind, *member);
  }
}

std::size_t Occurrences(const std::vector<ProfileEntry>& entries, std::string_view key) {
  return static_cast<std::size_t>(std::ranges::count_if(
      entries, [key](const ProfileEntry& entry) { return SameProfileName(entry.key, key); }));
}

// Why the reader could not read the document back, if it could not.
std::optional<std::string> LimitProblem(const ProfileFile& document) {
  if (!SectionNamesFit(document.SectionNames())) {
    return "the section names would exceed the reader's buffer of " +
           std::to_string(kIniBufferBytes) + " bytes";
  }
  const std::vector<ProfileEntry> entries = document.Section(IniFileObject::kSectionName);
  if (!SectionLinesFit(entries)) {
    return "section [GeneralSetting] would exceed the reader's buffer of " +
           std::to_string(kIniBufferBytes) + " bytes";
  }
  if (const ProfileEntry* line = FirstOverlongLine(entries)) {
    return "the line of " + line->key + " would be longer than " + std::to_string(kMaxLineBytes) +
           " bytes";
  }
  return std::nullopt;
}

}  // namespace

std::vector<ProfileEntry> FormatGeneralSettings(const IniFileObject& object) {
  std::vector<ProfileEntry> entries;
  entries.push_back({std::string(kVersionKey), std::to_string(IniFileObject::kIniFileVersion)});
  VisitGeneralSettings(object,
                       [&entries](std::string_view key, SettingKind kind, const auto& member) {
                         AddEntry(entries, key, kind, member);
                       });
  return entries;
}

IniFileWriter::IniFileWriter(const IniFileObject& object) : object_(object) {}

IniWriteResult IniFileWriter::Write(ProfileFile& document) const {
  constexpr std::string_view kSection = IniFileObject::kSectionName;
  ProfileFile updated = document;
  std::vector<std::string> keptKeys;
  for (const ProfileEntry& entry : FormatGeneralSettings(object_)) {
    // One value the file cannot hold must not cost every other option.
    if (!GeneralSettingProblem(entry.key, entry.value).empty()) {
      keptKeys.push_back(entry.key);
      continue;
    }
    // Only the first of repeated keys would be replaced while the reader
    // takes the last: repeats go, and the key is written once.
    if (Occurrences(updated.Section(kSection), entry.key) > 1) {
      updated.DeleteKey(kSection, entry.key);
    }
    if (const ProfileWriteResult written = updated.WriteString(kSection, entry.key, entry.value);
        !written.ok()) {
      return {"cannot write " + entry.key + ": " + written.error};
    }
  }
  if (std::optional<std::string> problem = LimitProblem(updated)) {
    return {std::move(*problem)};
  }
  document = std::move(updated);
  return {{}, std::move(keptKeys)};
}

IniBytesResult IniFileWriter::WriteBytes(std::string_view existingCp932) const {
  // No byte refuses the whole file: a line that does not read is kept as it is.
  ProfileParseResult parsed = ProfileFile::Parse(existingCp932);
  IniWriteResult written = Write(*parsed.file);
  if (!written.ok()) {
    return {{}, std::move(written.error)};
  }
  // Lines of a UTF-8 file that CP932 cannot hold stay in UTF-8 as they were.
  for (const ProfileKeyName& line : parsed.file->UnconvertibleKeys()) {
    std::string name = SameProfileName(line.section, IniFileObject::kSectionName)
                           ? line.key
                           : "[" + line.section + "] " + line.key;
    if (std::ranges::find(written.keptKeys, name) == written.keptKeys.end()) {
      written.keptKeys.push_back(std::move(name));
    }
  }
  return {parsed.file->Serialize(), {}, std::move(written.keptKeys)};
}

SafeWriteResult IniFileWriter::WriteIniFile(const std::filesystem::path& path) const {
  FileReadResult existing = ReadFileBytes(path);
  if (existing.status == FileReadStatus::kFailed) {
    return {SafeWriteFailure::kWrite, std::move(existing.error)};
  }
  IniBytesResult content = WriteBytes(existing.bytes);
  if (!content.ok()) {
    return {SafeWriteFailure::kWrite, path.string() + ": " + content.error};
  }
  SafeWriteResult result = WriteSettingsFile(path, content.bytes);
  if (result.ok()) {
    result.keptKeys = std::move(content.keptKeys);
  }
  return result;
}

}  // namespace harlune
