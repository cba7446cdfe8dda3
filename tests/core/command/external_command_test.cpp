#include "core/command/external_command.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

using Args = std::vector<std::string>;
using Kind = CommandTemplate::Part::Kind;
using protocol::HostToNet16;

Args MustSplit(const CommandTemplate& command) {
  CommandArguments split = command.Arguments();
  EXPECT_EQ(split.error, "");
  return split.arguments;
}

Args Split(std::string_view commandLine) { return MustSplit(CommandTemplate::Parse(commandLine)); }

ConnectionMacroValues SampleConnection() {
  ConnectionMacroValues values;
  values.localAddr = IpAddress::FromIpv4(Ipv4(192, 168, 0, 2));
  values.localPort = HostToNet16(50123);
  values.remoteAddr = IpAddress::FromIpv4(Ipv4(203, 0, 113, 9));
  values.remotePort = HostToNet16(443);
  values.remoteHost = "www.example.co.jp";
  values.remoteDomain = "example.co.jp";
  values.processName = "firefox";
  values.processPath = "/usr/lib/firefox/firefox";
  values.processId = 4242;
  return values;
}

TEST(CommandTemplateParse, FindsOnlyTheKnownMacrosInExactCase) {
  const CommandTemplate command =
      CommandTemplate::Parse("ping %%RemoteAddr%%Foo% %remoteaddr% %UserIn%%UserIn%");
  const std::vector<CommandTemplate::Part> expected = {
      {Kind::kText, "ping %"},
      {Kind::kMacro, "%RemoteAddr%"},
      {Kind::kText, "%Foo% %remoteaddr% "},
      {Kind::kMacro, "%UserIn%"},
      {Kind::kMacro, "%UserIn%"},
  };
  EXPECT_EQ(command.Parts(), expected);
  EXPECT_EQ(command.Text(), "ping %%RemoteAddr%%Foo% %remoteaddr% %UserIn%%UserIn%");
  EXPECT_EQ(command.OpenMacros(), (std::vector<std::string_view>{"%RemoteAddr%", "%UserIn%"}));

  EXPECT_TRUE(CommandTemplate::Parse("").Parts().empty());
  EXPECT_EQ(CommandTemplate::Parse("%").Text(), "%");
  EXPECT_EQ(CommandTemplate::Parse("%RemoteAddr").OpenMacros().size(), 0u);
}

TEST(CommandTemplateFill, FilledValuesAreNeverSearchedForMacros) {
  CommandTemplate command = CommandTemplate::Parse("echo %RemoteHost% %ProcessName% %UserIn%");
  ConnectionMacroValues values = SampleConnection();
  values.remoteHost = "%ProcessName%%UserIn%";
  values.processName = "%RemoteHost%";
  FillConnectionMacros(command, values);
  EXPECT_EQ(command.Text(), "echo %ProcessName%%UserIn% %RemoteHost% %UserIn%");
  EXPECT_EQ(command.OpenMacros(), std::vector<std::string_view>{"%UserIn%"});
  ASSERT_TRUE(command.FillFirst("%UserIn%", "typed"));
  EXPECT_FALSE(command.Contains("%UserIn%"));
  EXPECT_EQ(MustSplit(command), (Args{"echo", "%ProcessName%%UserIn%", "%RemoteHost%", "typed"}));
}

TEST(CommandTemplateFill, UserInputFillsOneOccurrenceAtATimeLeftToRight) {
  CommandTemplate command = CommandTemplate::Parse("x %UserIn% y %UserIn%");
  ASSERT_TRUE(command.FillFirst("%UserIn%", "first"));
  EXPECT_EQ(command.Text(), "x first y %UserIn%");
  ASSERT_TRUE(command.FillFirst("%UserIn%", ""));
  EXPECT_EQ(command.Text(), "x first y ");
  EXPECT_FALSE(command.FillFirst("%UserIn%", "third"));
  EXPECT_EQ(MustSplit(command), (Args{"x", "first", "y", ""}));
}

TEST(CommandTemplateArguments, SplitsLiteralTextLikeAShellWithoutExpanding) {
  EXPECT_EQ(Split("  ping   -n 1,2\t host  "), (Args{"ping", "-n", "1,2", "host"}));
  EXPECT_EQ(Split("a 'b c' \"d e\" f\\ g"), (Args{"a", "b c", "d e", "f g"}));
  EXPECT_EQ(Split("'' \"\" x"), (Args{"", "", "x"}));
  EXPECT_EQ(Split("\"a\\\"b\\\\c\\d\" 'e\\f'"), (Args{"a\"b\\c\\d", "e\\f"}));
  EXPECT_EQ(Split("a\"b\"'c'd"), Args{"abcd"});
  EXPECT_EQ(Split("echo $HOME * ; | > `x`"), (Args{"echo", "$HOME", "*", ";", "|", ">", "`x`"}));
  EXPECT_EQ(Split("trailing\\"), Args{"trailing\\"});
  EXPECT_EQ(Split(""), Args{});
  EXPECT_EQ(Split("   "), Args{});
}

TEST(CommandTemplateArguments, OpenQuoteIsAnError) {
  for (const std::string_view line : {"echo \"open", "echo 'open", "a \"b' c"}) {
    const CommandArguments split = CommandTemplate::Parse(line).Arguments();
    EXPECT_NE(split.error, "") << line;
    EXPECT_TRUE(split.arguments.empty()) << line;
  }
}

TEST(CommandTemplateArguments, AValueIsAlwaysInsideExactlyOneArgument) {
  CommandTemplate command = CommandTemplate::Parse("net send %RemoteAddr% \"%UserIn%\" %UserIn%");
  ConnectionMacroValues values = SampleConnection();
  FillConnectionMacros(command, values);
  ASSERT_TRUE(command.FillFirst("%UserIn%", "hello \"world\" 'x' \\ $y"));
  ASSERT_TRUE(command.FillFirst("%UserIn%", "  two  words "));
  EXPECT_EQ(MustSplit(command),
            (Args{"net", "send", "203.0.113.9", "hello \"world\" 'x' \\ $y", "  two  words "}));

  // A value joins the literal text around it and an empty value still
  // makes its argument.
  command = CommandTemplate::Parse("tool --host=%RemoteHost%:%RemotePort% %ProcessName%");
  values.remoteHost = "a b";
  values.processName = "";
  FillConnectionMacros(command, values);
  EXPECT_EQ(MustSplit(command), (Args{"tool", "--host=a b:443", ""}));

  // An unclosed quote inside a value is the value's own text.
  command = CommandTemplate::Parse("echo %UserIn%");
  command.Fill("%UserIn%", "it's");
  EXPECT_EQ(MustSplit(command), (Args{"echo", "it's"}));
}

TEST(ConnectionMacros, FillsTheTenMacrosOfTheConnectionMonitor) {
  CommandTemplate command = CommandTemplate::Parse(
      "%LocalAddr%|%LocalPort%|%RemoteAddr%|%RemotePort%|%RemoteHost%|%RemoteDomain%|"
      "%ProcessName%|%ProcessPath%|%ProcessID%|%ProcessDir%|%SrcAddr%|%UserIn%");
  FillConnectionMacros(command, SampleConnection());
  EXPECT_EQ(command.Text(),
            "192.168.0.2|50123|203.0.113.9|443|www.example.co.jp|example.co.jp|firefox|"
            "/usr/lib/firefox/firefox|4242|/usr/lib/firefox/|%SrcAddr%|%UserIn%");
  EXPECT_EQ(command.OpenMacros(), (std::vector<std::string_view>{"%SrcAddr%", "%UserIn%"}));
}

TEST(ConnectionMacros, UnknownProcessAndUnresolvedHost) {
  ConnectionMacroValues values;
  values.processName = "不明";
  values.processPath = "不明";
  CommandTemplate command =
      CommandTemplate::Parse("x %ProcessID% %ProcessDir% %RemoteHost% %LocalPort%");
  FillConnectionMacros(command, values);
  EXPECT_EQ(MustSplit(command), (Args{"x", "4294967295", "不明", "", "0"}));
}

// An address macro is one argument whatever the family: IPv6 text is not
// split at its colons, and a mapped address is the dotted IPv4 text.
TEST(ConnectionMacros, AddressesOfBothFamiliesAreOneArgumentEach) {
  ConnectionMacroValues values = SampleConnection();
  values.localAddr = *ParseIpAddress("2001:2:0:0:0:0:0:1");
  values.remoteAddr = *ParseIpAddress("2001:0002::0007");
  values.remoteHost = "2001:2::7";
  values.remoteDomain = "";
  CommandTemplate command = CommandTemplate::Parse("ping %RemoteAddr%");
  FillConnectionMacros(command, values);
  EXPECT_EQ(MustSplit(command), (Args{"ping", "2001:2::7"}));

  command = CommandTemplate::Parse("nc -s %LocalAddr% %RemoteAddr% %RemotePort% [%RemoteHost%]");
  FillConnectionMacros(command, values);
  EXPECT_EQ(MustSplit(command), (Args{"nc", "-s", "2001:2::1", "2001:2::7", "443", "[2001:2::7]"}));

  values.localAddr = *ParseIpAddress("::ffff:192.168.0.2");
  values.remoteAddr = *ParseIpAddress("::ffff:203.0.113.9");
  command = CommandTemplate::Parse("ping %RemoteAddr% %LocalAddr%");
  FillConnectionMacros(command, values);
  EXPECT_EQ(MustSplit(command), (Args{"ping", "203.0.113.9", "192.168.0.2"}));
}

TEST(PacketMacros, PortsAreFilledOnlyForPacketsThatHaveThem) {
  PacketMacroValues packet;
  packet.srcAddr = Ipv4Address(10, 0, 0, 1);
  packet.destAddr = Ipv4Address(10, 0, 0, 255);
  packet.srcPort = HostToNet16(53);
  packet.destPort = HostToNet16(65535);
  const std::string_view line = "%SrcAddr%:%SrcPort% %DestAddr%:%DestPort% %RemoteAddr%";

  CommandTemplate icmp = CommandTemplate::Parse(line);
  FillPacketMacros(icmp, packet);
  EXPECT_EQ(icmp.Text(), "10.0.0.1:%SrcPort% 10.0.0.255:%DestPort% %RemoteAddr%");
  EXPECT_EQ(icmp.OpenMacros(),
            (std::vector<std::string_view>{"%RemoteAddr%", "%SrcPort%", "%DestPort%"}));

  packet.hasPorts = true;
  CommandTemplate udp = CommandTemplate::Parse(line);
  FillPacketMacros(udp, packet);
  EXPECT_EQ(udp.Text(), "10.0.0.1:53 10.0.0.255:65535 %RemoteAddr%");
}

TEST(ProcessDirectoryText, DirectoryWithItsSeparatorOrTheUnknownTexts) {
  EXPECT_EQ(ProcessDirectory("/usr/bin/ping"), "/usr/bin/");
  EXPECT_EQ(ProcessDirectory("C:\\WINDOWS\\system32\\ping.exe"), "C:\\WINDOWS\\system32\\");
  EXPECT_EQ(ProcessDirectory("C:ping.exe"), "C:");
  EXPECT_EQ(ProcessDirectory("/init"), "/");
  EXPECT_EQ(ProcessDirectory("ping"), "");
  EXPECT_EQ(ProcessDirectory(""), "");
  EXPECT_EQ(ProcessDirectory("不明"), "不明");
  EXPECT_EQ(ProcessDirectory("N/A (security restriction)"), "N/A");
  EXPECT_EQ(ProcessDirectory("N/A (error)"), "N/A");
  EXPECT_EQ(ProcessDirectory("/opt/ソフト/表.bin"), "/opt/ソフト/");
}

TEST(CommandMenus, OnlyCommandsForTheMonitorWithTheMenuFlagAreOffered) {
  ExternalCommand command = DefaultExternalCommands()[0];
  EXPECT_TRUE(command.OfferedIn(kTargetConnectionMonitor));
  EXPECT_FALSE(command.OfferedIn(kTargetPacketMonitor));
  command.AddToMenu = 0;
  EXPECT_FALSE(command.OfferedIn(kTargetConnectionMonitor));
  command.AddToMenu = 1;
  command.Target = 3;
  EXPECT_FALSE(command.OfferedIn(kTargetConnectionMonitor));
  EXPECT_FALSE(command.OfferedIn(kTargetPacketMonitor));
}

}  // namespace
}  // namespace harlune
