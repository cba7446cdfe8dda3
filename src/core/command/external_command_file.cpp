#include "core/command/external_command_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <utility>

#include "core/base/c_decimal.h"
#include "core/base/text_encoding.h"

namespace harlune {
namespace {

// The command of one line, or nothing for a line with fewer than four commas.
std::optional<ExternalCommand> ReadCommandLine(std::string_view line) {
  std::array<std::string_view, 4> fields;
  for (std::string_view& field : fields) {
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
      return std::nullopt;
    }
    field = line.substr(0, comma);
    line.remove_prefix(comma + 1);
  }
  return ExternalCommand(
      ReadCDecimal<std::int32_t>(fields[0]), ReadCDecimal<std::int32_t>(fields[1]),
      ReadCDecimal<std::int32_t>(fields[2]), std::string(fields[3]), std::string(line));
}

std::string CommandLineText(const ExternalCommand& command) {
  return std::to_string(command.AddToMenu) + "," + std::to_string(command.ShowCommandWindow) + "," +
         std::to_string(command.Target) + "," + command.Name + "," + command.CommandLine;
}

}  // namespace

ExternalCommandParseResult ParseExternalCommandFile(std::string_view fileBytes) {
  const FileTextEncoding encoding = DetectFileTextEncoding(fileBytes);
  const std::string_view content = WithoutUtf8Bom(fileBytes);
  if (const std::size_t nul = content.find('\0'); nul != std::string_view::npos) {
    // Zeros are what a crash leaves, never text.
    const auto line =
        static_cast<std::size_t>(std::ranges::count(content.substr(0, nul), '\n')) + 1;
    return {std::nullopt, line, "line " + std::to_string(line) + " holds a NUL byte", {}};
  }
  ExternalCommandParseResult result{std::vector<ExternalCommand>{}, 0, {}, {}};
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = std::min(content.find('\n', start), content.size());
    std::string_view bytes = content.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (bytes.ends_with('\r')) {
      bytes.remove_suffix(1);
    }
    const std::optional<std::string> text = DecodeFileLine(bytes, encoding);
    if (!text) {
      result.undecodableLines.push_back(lineNumber);  // costs that command only
      continue;
    }
    if (std::optional<ExternalCommand> command = ReadCommandLine(*text)) {
      result.commands->push_back(std::move(*command));
    }
  }
  return result;
}

namespace {

// Why the line of the command would not read back as the command, whatever
// its encoding.
std::string StructureProblem(const ExternalCommand& command) {
  const std::string quotedName = "\"" + command.Name + "\"";
  if (command.Name.find(',') != std::string::npos) {
    return "the name " + quotedName + " holds \",\"";
  }
  if (command.Name.find('\n') != std::string::npos) {
    return "the name " + quotedName + " holds a line feed";
  }
  if (command.CommandLine.find('\n') != std::string::npos) {
    return "the command line of " + quotedName + " holds a line feed";
  }
  if (command.Name.find('\0') != std::string::npos ||
      command.CommandLine.find('\0') != std::string::npos) {
    return "the command " + quotedName + " holds a NUL character";
  }
  return {};
}

}  // namespace

std::string ExternalCommandProblem(const ExternalCommand& command) {
  if (std::string problem = StructureProblem(command); !problem.empty()) {
    return problem;
  }
  const std::string quotedName = "\"" + command.Name + "\"";
  try {
    static_cast<void>(Utf8ToCp932(CommandLineText(command)));
  } catch (const TextEncodingError& error) {
    return "the command " + quotedName + " cannot be written in CP932: " + error.what();
  }
  return {};
}

ExternalCommandWriteResult SerializeExternalCommandFile(std::span<const ExternalCommand> commands) {
  std::string bytes = std::string(kExternalCommandHeader) + "\r\n";
  std::vector<std::string> keptInUtf8;
  for (const ExternalCommand& command : commands) {
    if (std::string problem = StructureProblem(command); !problem.empty()) {
      return {{}, std::move(problem), {}};
    }
    EncodedFileLine line = EncodeFileLine(CommandLineText(command));
    if (line.keptInUtf8) {
      keptInUtf8.push_back(command.Name);
    }
    bytes += line.bytes;
    bytes += "\r\n";
  }
  return {std::move(bytes), {}, std::move(keptInUtf8)};
}

ExternalCommandIni::ExternalCommandIni(std::filesystem::path file) : file_(std::move(file)) {}

SettingsLoadResult ExternalCommandIni::Load(const LocalClock& now) {
  std::optional<std::vector<ExternalCommand>> read;
  const SettingsLoadResult result = LoadSettingsFile(
      file_,
      [&read](std::string_view bytes) -> std::optional<std::string> {
        ExternalCommandParseResult parsed = ParseExternalCommandFile(bytes);
        if (!parsed.commands) {
          return parsed.error;
        }
        read = std::move(parsed.commands);
        return std::nullopt;
      },
      now);
  const bool usable = result.outcome == SettingsLoadOutcome::kLoaded ||
                      result.outcome == SettingsLoadOutcome::kRestoredFromBackup;
  commands_ = usable && read ? std::move(*read) : DefaultExternalCommands();
  return result;
}

SafeWriteResult ExternalCommandIni::Save(UserDialogs& dialogs) const {
  ExternalCommandWriteResult bytes = SerializeExternalCommandFile(commands_);
  SafeWriteResult written =
      bytes.ok() ? WriteSettingsFile(file_, bytes.bytes)
                 : SafeWriteResult{SafeWriteFailure::kWrite, file_.string() + ": " + bytes.error};
  if (!written.ok()) {
    dialogs.ShowMessage(file_.string() + std::string(kExternalCommandSaveFailedSuffix));
    return written;
  }
  // Written in UTF-8, which a CP932 reader cannot take as they are.
  written.keptKeys = std::move(bytes.keptInUtf8);
  return written;
}

void ExternalCommandIni::Add(const ExternalCommand& command) { commands_.push_back(command); }

bool ExternalCommandIni::ReplaceAt(std::size_t index, const ExternalCommand& command) {
  if (index >= commands_.size()) {
    return false;
  }
  commands_[index] = command;
  return true;
}

bool ExternalCommandIni::RemoveAt(std::size_t index) {
  if (index >= commands_.size()) {
    return false;
  }
  commands_.erase(commands_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

}  // namespace harlune
