#pragma once

// External commands: a user-defined command line such as "ping %RemoteAddr%"
// whose macros are filled from the connection or packet the user chose, or
// asked from the user, before it runs.
//
// A command line is kept as a template of literal text, open macros and
// filled values. A filled value stays one piece: it is never searched for
// further macros, and when the line is split into arguments (the way a shell
// splits words, though no shell runs it) a value's blanks and quotes are its
// own text, so a value always lands inside exactly one argument.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/ip_address.h"

namespace harlune {

// Which right-click menu offers a command.
inline constexpr std::int32_t kTargetConnectionMonitor = 1;  // "TCPコネクションモニタ"
inline constexpr std::int32_t kTargetPacketMonitor = 2;      // "パケットモニタ"

class ExternalCommand {
 public:
  ExternalCommand() = default;
  // The fields in the order of a line of the file.
  ExternalCommand(std::int32_t addToMenu, std::int32_t showCommandWindow, std::int32_t target,
                  std::string name, std::string commandLine)
      : AddToMenu(addToMenu),
        ShowCommandWindow(showCommandWindow),
        Name(std::move(name)),
        CommandLine(std::move(commandLine)),
        Target(target) {}
  ExternalCommand(const ExternalCommand&) = default;
  ExternalCommand& operator=(const ExternalCommand&) = default;
  ExternalCommand(ExternalCommand&&) = default;
  ExternalCommand& operator=(ExternalCommand&&) = default;
  virtual ~ExternalCommand() = default;

  friend bool operator==(const ExternalCommand&, const ExternalCommand&) = default;

  // Whether the right-click menu of that monitor offers the command.
  bool OfferedIn(std::int32_t target) const { return AddToMenu == 1 && Target == target; }

  std::int32_t AddToMenu = 1;
  std::int32_t ShowCommandWindow = 0;  // kept and edited; commands always run hidden
  std::string Name;                    // never holds ','
  std::string CommandLine;             // macros included; may hold ','
  std::int32_t Target = kTargetConnectionMonitor;
};

// The factory commands, in their order.
std::vector<ExternalCommand> DefaultExternalCommands();

// Who supplies a macro's value.
enum class MacroSource {
  kConnectionMonitor,  // the selected TCP connection
  kPacketMonitor,      // the selected packet
  kUser,               // always asked from the user, once per occurrence
};

struct MacroDefinition {
  std::string_view name;  // with its percent signs
  MacroSource source;
};

// Every macro a command line may hold; the connection monitor fills its ten
// in this order.
inline constexpr std::array<MacroDefinition, 15> kCommandMacros = {{
    {"%LocalAddr%", MacroSource::kConnectionMonitor},
    {"%LocalPort%", MacroSource::kConnectionMonitor},
    {"%RemoteAddr%", MacroSource::kConnectionMonitor},
    {"%RemotePort%", MacroSource::kConnectionMonitor},
    {"%RemoteHost%", MacroSource::kConnectionMonitor},
    {"%RemoteDomain%", MacroSource::kConnectionMonitor},
    {"%ProcessName%", MacroSource::kConnectionMonitor},
    {"%ProcessPath%", MacroSource::kConnectionMonitor},
    {"%ProcessID%", MacroSource::kConnectionMonitor},
    {"%ProcessDir%", MacroSource::kConnectionMonitor},
    {"%SrcAddr%", MacroSource::kPacketMonitor},
    {"%SrcPort%", MacroSource::kPacketMonitor},
    {"%DestAddr%", MacroSource::kPacketMonitor},
    {"%DestPort%", MacroSource::kPacketMonitor},
    {"%UserIn%", MacroSource::kUser},
}};

inline constexpr std::string_view kUserInputMacro = "%UserIn%";

// The values of a connection that its macros take.
struct ConnectionMacroValues {
  IpAddress localAddr;
  std::uint16_t localPort = 0;  // network order
  IpAddress remoteAddr;
  std::uint16_t remotePort = 0;  // network order
  std::string remoteHost;        // as resolved; empty when not yet
  std::string remoteDomain;      // the host name shortened to its domain
  std::string processName;
  std::string processPath;
  std::int32_t processId = -1;  // -1 = unknown, written as 4294967295
};

// The values of a captured packet that its macros take.
struct PacketMacroValues {
  IpAddress srcAddr;
  IpAddress destAddr;
  bool hasPorts = false;       // TCP and UDP packets only
  std::uint16_t srcPort = 0;   // network order
  std::uint16_t destPort = 0;  // network order
};

// The directory of a process's executable with its trailing separator
// ("/usr/bin/" of "/usr/bin/ping", "C:\WINDOWS\" of "C:\WINDOWS\a.exe");
// "不明" for an unknown process and "N/A" for one whose path could not be
// read, whose texts begin so.
std::string ProcessDirectory(std::string_view processPath);

struct CommandArguments {
  std::vector<std::string> arguments;  // the program first
  std::string error;                   // set when the line cannot be split
};

class CommandTemplate {
 public:
  struct Part {
    enum class Kind {
      kText,   // literal text of the command line
      kMacro,  // a macro not filled yet: `text` is its name
      kValue,  // a filled value
    };
    Kind kind = Kind::kText;
    std::string text;

    friend bool operator==(const Part&, const Part&) = default;
  };

  CommandTemplate() = default;

  // Finds the macros of kCommandMacros in a command line (exact case); any
  // other text, "%...%" that names no macro included, is literal.
  static CommandTemplate Parse(std::string_view commandLine);

  const std::vector<Part>& Parts() const { return parts_; }

  bool Contains(std::string_view macro) const;

  // Fills every occurrence of the macro with the value.
  void Fill(std::string_view macro, std::string_view value);

  // Fills the first occurrence; false when the macro is not open.
  bool FillFirst(std::string_view macro, std::string_view value);

  // The open macros in kCommandMacros order, each once.
  std::vector<std::string_view> OpenMacros() const;

  // The command line as the user reads it, values put in place.
  std::string Text() const;

  // Splits the line into arguments the way a POSIX shell splits words, with
  // no expansion of any kind: blanks separate words outside quotes; '...'
  // keeps its text as it is; "..." keeps its text except that a backslash
  // before '"', '\', '$' or '`' stands for that character; outside quotes a
  // backslash stands for the next character. A filled value is taken as it
  // is, whatever it holds, into the word it is in, and makes that word even
  // when empty. An open macro counts as its literal name. A quote left open
  // is an error.
  CommandArguments Arguments() const;

  friend bool operator==(const CommandTemplate&, const CommandTemplate&) = default;

 private:
  void AppendText(std::string_view text);

  std::vector<Part> parts_;
};

// Fills the connection monitor's macros.
void FillConnectionMacros(CommandTemplate& command, const ConnectionMacroValues& values);

// Fills the packet monitor's macros; the port macros only when the packet has
// ports, so that they are asked from the user otherwise.
void FillPacketMacros(CommandTemplate& command, const PacketMacroValues& values);

}  // namespace harlune
