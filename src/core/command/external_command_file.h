#pragma once

// ExternalCommand.ini and the list it keeps. The file is CP932 text (or the
// UTF-8 an editor on Linux writes) with CRLF lines: a header line, then one line per command in
// list order,
//
//   [External Command1]
//   AddToMenu,ShowCommandWindow,Target,Name,CommandLine
//
// with the three numbers in decimal and nothing escaped. Reading splits a line
// at its first four commas, so the command line keeps any comma it holds and
// the name can hold none; lines with fewer than four commas (the header
// among them) are skipped.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/safe_file.h"
#include "core/base/user_dialogs.h"
#include "core/command/external_command.h"

namespace harlune {

// The file's place as the settings name it, relative to the settings folder.
inline constexpr std::string_view kExternalCommandFilePath = ".\\ExternalCommand.ini";
inline constexpr std::string_view kExternalCommandHeader = "[External Command1]";
// Follows the file's path in the message of a failed save.
inline constexpr std::string_view kExternalCommandSaveFailedSuffix = "の保存に失敗。";

struct ExternalCommandParseResult {
  std::optional<std::vector<ExternalCommand>> commands;  // set when the file is readable
  std::size_t errorLine = 0;                             // 1-based line of the NUL byte
  std::string error;
  std::vector<std::size_t> undecodableLines;  // 1-based lines skipped as no text
};

// Reads the file's bytes (LF or CRLF lines), CP932 or UTF-8 as
// DetectFileTextEncoding decides. A line that decodes in neither is skipped
// like a line without commas: it costs that command only. A file holding a
// NUL byte is damaged. A readable file without any command line gives an
// empty list.
ExternalCommandParseResult ParseExternalCommandFile(std::string_view fileBytes);

// Why the command cannot be stored so that it reads back the same (a ',' in
// the name, a line feed, text CP932 cannot hold); empty when it can.
std::string ExternalCommandProblem(const ExternalCommand& command);

struct [[nodiscard]] ExternalCommandWriteResult {
  std::string bytes;  // the whole file
  std::string error;  // the first command that cannot be stored, and why
  // Names of the commands written in UTF-8 because CP932 lacks one of their
  // characters (read from a file an editor wrote): what a CP932 reader loses.
  std::vector<std::string> keptInUtf8;

  bool ok() const { return error.empty(); }
};

// The file for the commands; nothing when one of them cannot be stored (a
// ',' in the name, a line feed, a NUL). A command CP932 cannot hold is
// written in UTF-8 and named in keptInUtf8, so that the rest is saved.
ExternalCommandWriteResult SerializeExternalCommandFile(std::span<const ExternalCommand> commands);

class ExternalCommandIni {
 public:
  explicit ExternalCommandIni(std::filesystem::path file);
  ExternalCommandIni(const ExternalCommandIni&) = delete;
  ExternalCommandIni& operator=(const ExternalCommandIni&) = delete;
  virtual ~ExternalCommandIni() = default;

  // Replaces the list by the file's commands, with the damaged-file policy of
  // LoadSettingsFile. When no file could be used (kMissing,
  // kDamagedMovedAside, kFailed) the list holds the factory commands; the
  // caller then saves at once, except after kFailed, when the damaged file
  // is still in place.
  SettingsLoadResult Load(const LocalClock& now = LocalTimeNow);

  // Replaces the file with the list. On failure tells the user (the path
  // followed by kExternalCommandSaveFailedSuffix) and leaves the file as it
  // was; a command that cannot be stored fails the save with kWrite.
  SafeWriteResult Save(UserDialogs& dialogs) const;

  void Add(const ExternalCommand& command);
  // Puts a copy in place of the command at index; false outside the list.
  bool ReplaceAt(std::size_t index, const ExternalCommand& command);
  // Removes the command at index, later ones move up; false outside the list.
  bool RemoveAt(std::size_t index);

  std::size_t size() const { return commands_.size(); }
  const ExternalCommand& operator[](std::size_t index) const { return commands_[index]; }
  std::span<const ExternalCommand> Commands() const { return commands_; }
  auto begin() const { return commands_.begin(); }
  auto end() const { return commands_.end(); }

  const std::filesystem::path& File() const { return file_; }

 private:
  std::filesystem::path file_;
  std::vector<ExternalCommand> commands_;
};

}  // namespace harlune
