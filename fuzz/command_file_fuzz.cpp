// Arbitrary bytes as an external commands file: what reads must write and
// read back as the same commands, and every command line must split into
// arguments with each filled value inside exactly one of them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/command/external_command_file.h"
#include "fuzz_target.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// A value that a shell would take apart in every way it can. It begins with
// '<' and ends with '>', which it holds nowhere else, so two of its
// occurrences can never overlap.
constexpr std::string_view kValue = "< a\"b 'c\\ $d >";

void CheckCommandLine(const std::string& commandLine) {
  harlune::CommandTemplate command = harlune::CommandTemplate::Parse(commandLine);
  Check(command.Text() == commandLine);
  static_cast<void>(command.Arguments());

  std::size_t open = 0;
  for (const harlune::CommandTemplate::Part& part : command.Parts()) {
    open += part.kind == harlune::CommandTemplate::Part::Kind::kMacro ? 1 : 0;
  }
  for (const harlune::MacroDefinition& macro : harlune::kCommandMacros) {
    command.Fill(macro.name, kValue);
  }
  Check(command.OpenMacros().empty());
  const harlune::CommandArguments split = command.Arguments();
  if (!split.error.empty()) {
    Check(split.arguments.empty());
    return;
  }
  std::size_t found = 0;
  for (const std::string& argument : split.arguments) {
    for (std::size_t at = argument.find(kValue); at != std::string::npos;
         at = argument.find(kValue, at + kValue.size())) {
      ++found;
    }
  }
  Check(found >= open);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const harlune::ExternalCommandParseResult parsed = harlune::ParseExternalCommandFile(bytes);
  if (!parsed.commands) {
    Check(parsed.errorLine > 0 && !parsed.error.empty());
    return 0;
  }
  for (const harlune::ExternalCommand& command : *parsed.commands) {
    Check(command.Name.find(',') == std::string::npos);
    CheckCommandLine(command.CommandLine);
  }
  const harlune::ExternalCommandWriteResult written =
      harlune::SerializeExternalCommandFile(*parsed.commands);
  Check(written.ok());
  const harlune::ExternalCommandParseResult again =
      harlune::ParseExternalCommandFile(written.bytes);
  Check(again.commands.has_value() && *again.commands == *parsed.commands);
  return 0;
}
