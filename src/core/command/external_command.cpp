#include "core/command/external_command.h"

#include <algorithm>
#include <string>
#include <utility>

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr std::string_view kUnknownProcess = "不明";
constexpr std::string_view kUnreadablePath = "N/A";

std::string PortText(std::uint16_t networkOrder) {
  return std::to_string(protocol::NetToHost16(networkOrder));
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Splits literal text, open macros and values into words.
class WordSplitter {
 public:
  void Text(std::string_view text) {
    for (const char c : text) {
      Char(c);
    }
  }

  void Value(std::string_view value) {
    if (escaped_) {
      // The backslash before a value escapes nothing and stays.
      word_ += '\\';
      escaped_ = false;
    }
    word_ += value;
    inWord_ = true;
  }

  CommandArguments Finish() {
    if (quote_ != '\0') {
      return {{}, std::string("the quote ") + quote_ + " is not closed"};
    }
    if (escaped_) {
      word_ += '\\';  // a backslash at the very end stands for itself
      inWord_ = true;
    }
    EndWord();
    return {std::move(words_), {}};
  }

 private:
  void Char(char c) {
    if (escaped_) {
      escaped_ = false;
      if (quote_ == '"' && c != '"' && c != '\\' && c != '$' && c != '`') {
        word_ += '\\';
      }
      word_ += c;
      inWord_ = true;
      return;
    }
    if (quote_ == '\'') {
      if (c == '\'') {
        quote_ = '\0';
      } else {
        word_ += c;
      }
      return;
    }
    if (c == '\\') {
      escaped_ = true;
      inWord_ = true;
      return;
    }
    if (quote_ == '"') {
      if (c == '"') {
        quote_ = '\0';
      } else {
        word_ += c;
      }
      return;
    }
    if (c == '"' || c == '\'') {
      quote_ = c;
      inWord_ = true;
    } else if (IsBlank(c)) {
      EndWord();
    } else {
      word_ += c;
      inWord_ = true;
    }
  }

  void EndWord() {
    if (inWord_) {
      words_.push_back(std::move(word_));
      word_.clear();
      inWord_ = false;
    }
  }

  std::vector<std::string> words_;
  std::string word_;
  bool inWord_ = false;
  bool escaped_ = false;
  char quote_ = '\0';
};

}  // namespace

// The factory names and macros, calling the Linux tools; "net send" is kept
// as it is, for files shared with Windows.
std::vector<ExternalCommand> DefaultExternalCommands() {
  return {
      {1, 0, kTargetConnectionMonitor, "ping[CM](&P)", "ping -c 4 %RemoteAddr%"},
      {1, 0, kTargetConnectionMonitor, "tracert[CM](&T)", "traceroute %RemoteAddr%"},
      {1, 0, kTargetConnectionMonitor, "net send[CM](&N)", "net send %RemoteAddr% \"%UserIn%\""},
      {1, 0, kTargetPacketMonitor, "ping src[PM](&P)", "ping -c 4 %SrcAddr%"},
      {1, 0, kTargetPacketMonitor, "tracert src[PM](&T)", "traceroute %SrcAddr%"},
      {1, 0, kTargetPacketMonitor, "ping dest[PM](&I)", "ping -c 4 %DestAddr%"},
      {1, 0, kTargetPacketMonitor, "tracert dest[PM](&R)", "traceroute %DestAddr%"},
      {0, 0, kTargetConnectionMonitor, "netstat", "ss -tan"},
  };
}

std::string ProcessDirectory(std::string_view processPath) {
  if (processPath.starts_with(kUnknownProcess)) {
    return std::string(kUnknownProcess);
  }
  if (processPath.starts_with(kUnreadablePath)) {
    return std::string(kUnreadablePath);
  }
  const std::size_t separator = processPath.find_last_of("\\/");
  if (separator != std::string_view::npos) {
    return std::string(processPath.substr(0, separator + 1));
  }
  // A drive without a directory ("C:ping.exe").
  if (processPath.size() >= 2 && processPath[1] == ':') {
    return std::string(processPath.substr(0, 2));
  }
  return {};
}

CommandTemplate CommandTemplate::Parse(std::string_view commandLine) {
  CommandTemplate parsed;
  std::size_t textStart = 0;
  std::size_t at = commandLine.find('%');
  while (at != std::string_view::npos) {
    const auto macro = std::ranges::find_if(kCommandMacros, [&](const MacroDefinition& m) {
      return commandLine.substr(at).starts_with(m.name);
    });
    if (macro == kCommandMacros.end()) {
      at = commandLine.find('%', at + 1);
      continue;
    }
    parsed.AppendText(commandLine.substr(textStart, at - textStart));
    parsed.parts_.push_back({Part::Kind::kMacro, std::string(macro->name)});
    textStart = at + macro->name.size();
    at = commandLine.find('%', textStart);
  }
  parsed.AppendText(commandLine.substr(textStart));
  return parsed;
}

void CommandTemplate::AppendText(std::string_view text) {
  if (!text.empty()) {
    parts_.push_back({Part::Kind::kText, std::string(text)});
  }
}

bool CommandTemplate::Contains(std::string_view macro) const {
  return std::ranges::any_of(parts_, [macro](const Part& part) {
    return part.kind == Part::Kind::kMacro && part.text == macro;
  });
}

void CommandTemplate::Fill(std::string_view macro, std::string_view value) {
  while (FillFirst(macro, value)) {
  }
}

bool CommandTemplate::FillFirst(std::string_view macro, std::string_view value) {
  const auto open = std::ranges::find_if(parts_, [macro](const Part& part) {
    return part.kind == Part::Kind::kMacro && part.text == macro;
  });
  if (open == parts_.end()) {
    return false;
  }
  *open = {Part::Kind::kValue, std::string(value)};
  return true;
}

std::vector<std::string_view> CommandTemplate::OpenMacros() const {
  std::vector<std::string_view> open;
  for (const MacroDefinition& macro : kCommandMacros) {
    if (Contains(macro.name)) {
      open.push_back(macro.name);
    }
  }
  return open;
}

std::string CommandTemplate::Text() const {
  std::string text;
  for (const Part& part : parts_) {
    text += part.text;
  }
  return text;
}

CommandArguments CommandTemplate::Arguments() const {
  WordSplitter splitter;
  for (const Part& part : parts_) {
    if (part.kind == Part::Kind::kValue) {
      splitter.Value(part.text);
    } else {
      splitter.Text(part.text);
    }
  }
  return splitter.Finish();
}

void FillConnectionMacros(CommandTemplate& command, const ConnectionMacroValues& values) {
  command.Fill("%LocalAddr%", values.localAddr.ToText());
  command.Fill("%LocalPort%", PortText(values.localPort));
  command.Fill("%RemoteAddr%", values.remoteAddr.ToText());
  command.Fill("%RemotePort%", PortText(values.remotePort));
  command.Fill("%RemoteHost%", values.remoteHost);
  command.Fill("%RemoteDomain%", values.remoteDomain);
  command.Fill("%ProcessName%", values.processName);
  command.Fill("%ProcessPath%", values.processPath);
  command.Fill("%ProcessID%", std::to_string(static_cast<std::uint32_t>(values.processId)));
  command.Fill("%ProcessDir%", ProcessDirectory(values.processPath));
}

void FillPacketMacros(CommandTemplate& command, const PacketMacroValues& values) {
  command.Fill("%SrcAddr%", values.srcAddr.ToText());
  if (values.hasPorts) {
    command.Fill("%SrcPort%", PortText(values.srcPort));
  }
  command.Fill("%DestAddr%", values.destAddr.ToText());
  if (values.hasPorts) {
    command.Fill("%DestPort%", PortText(values.destPort));
  }
}

}  // namespace harlune
