#include "core/filter/packet_filter_file.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/xml_text.h"
#include "core/filter/port_range.h"
#include "protocol/ip_address.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::HostPortRange;
using Ids = std::vector<std::int32_t>;

const std::string kHeader = "<?xml version='1.0' encoding='Shift_JIS'?>\r\n";
const std::string kNihongo = "\x93\xfa\x96\x7b\x8c\xea";  // 日本語 in CP932
const std::string kSoushin = "\x91\x97\x90\x4d";          // 送信 in CP932

// A default record as the file holds it, with the given ID.
std::string DefaultElement(const std::string& id) {
  return "<PacketFilter><Name>NewFilter</Name><Comment/><AppName/><LowerAdapterName/><ID>" + id +
         "</ID><Available>TRUE</Available><Protocol>6</Protocol><LocalIPAddr>0.0.0.0</LocalIPAddr>"
         "<RemoteIPAddr>0.0.0.0</RemoteIPAddr><LocalIPAddrMask>0.0.0.0</LocalIPAddrMask>"
         "<RemoteIPAddrMask>0.0.0.0</RemoteIPAddrMask><LocalPort/><RemotePort/><TBFMode>Send"
         "</TBFMode><TBFMaxQueueSize>0</TBFMaxQueueSize><TBFMaxTokenSize>0</TBFMaxTokenSize>"
         "<TBFMPU>100</TBFMPU><TBFRate>102400</TBFRate><TBFPeakRate>0</TBFPeakRate><TBFMTU>0"
         "</TBFMTU><TBFThrough>FALSE</TBFThrough></PacketFilter>";
}

PacketFilterSetting EveryFieldSet() {
  PacketFilterSetting filter;
  filter.Name = "日本語 & <web>";
  filter.Comment = "送信";
  filter.AppName = "firefox";
  filter.HasApplication = 1;
  filter.LowerAdapterName = "eth0";
  filter.ID = 5;
  filter.Available = 0;
  filter.Protocol = 17;
  filter.LocalIPAddr = Ipv4(192, 168, 0, 2);
  filter.RemoteIPAddr = Ipv4(10, 1, 2, 3);
  filter.LocalIPAddrMask = Ipv4(255, 255, 255, 255);
  filter.RemoteIPAddrMask = Ipv4(255, 0, 0, 0);
  filter.LocalPortCount = 3;
  filter.LocalPorts[0] = HostPortRange(80, 80);
  filter.LocalPorts[1] = HostPortRange(443, 443);
  filter.LocalPorts[2] = HostPortRange(1000, 2000);
  filter.RemotePortCount = 1;
  filter.RemotePorts[0] = HostPortRange(53, 53);
  filter.TBFMode = 1;
  filter.TBFMaxQueueSize = 1;
  filter.TBFMaxTokenSize = 2;
  filter.TBFMPU = 60;
  filter.TBFRate = 3000000000u;
  filter.TBFPeakRate = 4;
  filter.TBFMTU = 1500;
  filter.TBFThrough = 1;
  return filter;
}

void ExpectSameStored(const PacketFilterSetting& actual, const PacketFilterSetting& expected) {
  EXPECT_EQ(static_cast<const _TBF_SETTING_DATA&>(actual),
            static_cast<const _TBF_SETTING_DATA&>(expected));
  EXPECT_EQ(actual.Name, expected.Name);
  EXPECT_EQ(actual.Comment, expected.Comment);
  EXPECT_EQ(actual.AppName, expected.AppName);
  EXPECT_EQ(actual.LowerAdapterName, expected.LowerAdapterName);
  EXPECT_EQ(actual.ID, expected.ID);
}

// The one filter of a document holding the given field elements.
PacketFilterSetting ReadOne(const std::string& fields) {
  const PacketFilterParseResult result =
      ParsePacketFilters(kHeader + "<Root><PacketFilter>" + fields + "</PacketFilter></Root>");
  EXPECT_TRUE(result.filters.has_value()) << result.error;
  EXPECT_EQ(result.filters ? result.filters->size() : 0, 1u);
  return result.filters && result.filters->size() == 1 ? result.filters->front()
                                                       : PacketFilterSetting{};
}

class PacketFilterFileTest : public ::testing::Test {
 protected:
  RecordingUserDialogs dialogs;
  PacketFilterManager manager{dialogs};
};

TEST_F(PacketFilterFileTest, AnEmptyListIsTheDeclarationAndAnEmptyRoot) {
  EXPECT_EQ(SerializePacketFilters(manager), kHeader + "<Root/>\r\n");
  const PacketFilterParseResult back = ParsePacketFilters(kHeader + "<Root/>\r\n");
  ASSERT_TRUE(back.filters.has_value());
  EXPECT_TRUE(back.filters->empty());
}

TEST_F(PacketFilterFileTest, WritesEveryFieldInOrderAsCp932) {
  manager.Add(EveryFieldSet());
  manager.Add(PacketFilterSetting{});
  const std::string expected =
      kHeader + "<Root><PacketFilter><Name>" + kNihongo + " &amp; &lt;web&gt;</Name><Comment>" +
      kSoushin +
      "</Comment><AppName>firefox</AppName><LowerAdapterName>eth0</LowerAdapterName><ID>5</ID>"
      "<Available>FALSE</Available><Protocol>17</Protocol><LocalIPAddr>192.168.0.2</LocalIPAddr>"
      "<RemoteIPAddr>10.1.2.3</RemoteIPAddr><LocalIPAddrMask>255.255.255.255</LocalIPAddrMask>"
      "<RemoteIPAddrMask>255.0.0.0</RemoteIPAddrMask><LocalPort>80,443,1000-2000</LocalPort>"
      "<RemotePort>53</RemotePort><TBFMode>Receive</TBFMode><TBFMaxQueueSize>1</TBFMaxQueueSize>"
      "<TBFMaxTokenSize>2</TBFMaxTokenSize><TBFMPU>60</TBFMPU><TBFRate>3000000000</TBFRate>"
      "<TBFPeakRate>4</TBFPeakRate><TBFMTU>1500</TBFMTU><TBFThrough>TRUE</TBFThrough>"
      "</PacketFilter>" +
      DefaultElement("0") + "</Root>\r\n";
  EXPECT_EQ(SerializePacketFilters(manager), expected);
}

TEST_F(PacketFilterFileTest, EveryStoredFieldReadsBack) {
  manager.Add(EveryFieldSet());
  PacketFilterSetting plain;
  plain.Name = " ";  // a name of a blank stays one
  plain.Comment = "line\r\nbreak\ttab";
  manager.Add(plain);
  manager.At(0).DriverClassId = 77;  // run-time state is not stored
  manager.At(0).AdapterIndex = 3;

  RecordingUserDialogs otherDialogs;
  PacketFilterManager back(otherDialogs);
  ASSERT_EQ(ReadPacketFilters(SerializePacketFilters(manager), back), std::nullopt);
  ASSERT_EQ(back.Size(), 2u);
  PacketFilterSetting expected = EveryFieldSet();
  ExpectSameStored(back.At(0), expected);
  EXPECT_EQ(back.At(0).AdapterIndex, -1);
  ExpectSameStored(back.At(1), manager.At(1));
}

TEST_F(PacketFilterFileTest, ReadsLikeTheWindowsBuild) {
  // Names are not checked, unknown elements are ignored, the later of two
  // elements wins and a missing one keeps its default.
  const PacketFilterParseResult result = ParsePacketFilters(
      "<Anything><Whatever><Name>a</Name><Unknown>x</Unknown><Name>b</Name><TBFRate>7</TBFRate>"
      "</Whatever><!-- not a filter -->\r\n  <Other/></Anything>");
  ASSERT_TRUE(result.filters.has_value()) << result.error;
  ASSERT_EQ(result.filters->size(), 2u);
  EXPECT_EQ(result.filters->at(0).Name, "b");
  EXPECT_EQ(result.filters->at(0).TBFRate, 7u);
  EXPECT_EQ(result.filters->at(0).TBFMPU, 100u);
  EXPECT_EQ(result.filters->at(0).ID, -1);
  ExpectSameStored(result.filters->at(1), PacketFilterSetting{});

  EXPECT_EQ(ReadOne("<Available>true</Available>").Available, 0u);
  EXPECT_EQ(ReadOne("<Available>TRUE</Available>").Available, 1u);
  EXPECT_EQ(ReadOne("<TBFThrough>True</TBFThrough>").TBFThrough, 0u);
  EXPECT_EQ(ReadOne("<TBFMode>Receive</TBFMode>").TBFMode, 1u);
  EXPECT_EQ(ReadOne("<TBFMode>send</TBFMode>").TBFMode, 1u);
  EXPECT_EQ(ReadOne("<TBFMode/>").TBFMode, 1u);
  EXPECT_EQ(ReadOne("<TBFMode>Receive</TBFMode><TBFMode>Send</TBFMode>").TBFMode, 0u);
  EXPECT_EQ(ReadOne("<LocalIPAddr>1.2.3</LocalIPAddr>").LocalIPAddr, 0xFFFFFFFFu);
  EXPECT_EQ(ReadOne("<RemoteIPAddrMask/>").RemoteIPAddrMask, 0xFFFFFFFFu);
  EXPECT_EQ(ReadOne("<TBFMPU>many</TBFMPU>").TBFMPU, 0u);
  EXPECT_EQ(ReadOne("<Protocol>70000</Protocol>").Protocol, 70000 % 65536);
}

TEST_F(PacketFilterFileTest, ReadsPortListsOfUpToSixteenPieces) {
  const PacketFilterSetting three = ReadOne("<LocalPort>80,443,1000-2000</LocalPort>");
  EXPECT_EQ(PortListText(three.LocalPortCount, three.LocalPorts), "80,443,1000-2000");
  EXPECT_EQ(three.LocalPorts[2], HostPortRange(1000, 2000));

  const PacketFilterSetting gaps = ReadOne("<RemotePort>,,2000-1000,,All,</RemotePort>");
  ASSERT_EQ(gaps.RemotePortCount, 2u);
  EXPECT_EQ(gaps.RemotePorts[0], HostPortRange(1000, 2000));
  EXPECT_EQ(gaps.RemotePorts[1], HostPortRange(0, 0));

  std::string twenty;
  for (int port = 1; port <= 20; ++port) {
    twenty += (port == 1 ? "" : ",") + std::to_string(port);
  }
  const PacketFilterSetting many = ReadOne("<LocalPort>" + twenty + "</LocalPort>");
  EXPECT_EQ(many.LocalPortCount, 16u);
  EXPECT_EQ(many.LocalPorts[15], HostPortRange(16, 16));

  const PacketFilterSetting none = ReadOne("<LocalPort>80</LocalPort><LocalPort/>");
  EXPECT_EQ(none.LocalPortCount, 0u);
  EXPECT_EQ(none.LocalPorts[0], HostPortRange(0, 0));
}

TEST_F(PacketFilterFileTest, HasApplicationFollowsTheAppNameThatWins) {
  EXPECT_EQ(ReadOne("<AppName>ftp.exe</AppName>").HasApplication, 1u);
  EXPECT_EQ(ReadOne("<AppName>ftp.exe</AppName><AppName/>").HasApplication, 0u);
  EXPECT_EQ(ReadOne("<Name>x</Name>").HasApplication, 0u);
}

TEST_F(PacketFilterFileTest, TheListAssignsMissingAndRepeatedIds) {
  std::string filters =
      "<PacketFilter><ID>3</ID></PacketFilter>"
      "<PacketFilter><ID>3</ID></PacketFilter>"
      "<PacketFilter><Name>no id</Name></PacketFilter>"
      "<PacketFilter><ID>4294967295</ID></PacketFilter>"
      "<PacketFilter><ID>500</ID></PacketFilter>";
  ASSERT_EQ(ReadPacketFilters(kHeader + "<Root>" + filters + "</Root>", manager), std::nullopt);
  Ids ids;
  for (std::size_t i = 0; i < manager.Size(); ++i) {
    ids.push_back(manager.At(i).ID);
  }
  EXPECT_EQ(ids, (Ids{3, 0, 1, 2, 500}));
}

TEST_F(PacketFilterFileTest, TheFilterBeyond128IsWrittenAndReadWithoutAnId) {
  for (int i = 0; i < 129; ++i) {
    manager.Add(PacketFilterSetting{});
  }
  ASSERT_EQ(manager.At(128).ID, -1);
  const std::string bytes = SerializePacketFilters(manager);
  EXPECT_NE(bytes.find("<ID>4294967295</ID>"), std::string::npos);  // "%u" of -1
  RecordingUserDialogs otherDialogs;
  PacketFilterManager back(otherDialogs);
  ASSERT_EQ(ReadPacketFilters(bytes, back), std::nullopt);
  EXPECT_EQ(back.At(127).ID, 127);
  EXPECT_EQ(back.At(128).ID, -1);
}

TEST_F(PacketFilterFileTest, ValuesWithoutATextAreWrittenEmpty) {
  PacketFilterSetting odd;
  odd.Available = 2;
  odd.TBFMode = 7;
  odd.TBFThrough = 9;
  manager.Add(odd);
  const std::string bytes = SerializePacketFilters(manager);
  EXPECT_NE(bytes.find("<Available/>"), std::string::npos);
  EXPECT_NE(bytes.find("<TBFMode/>"), std::string::npos);
  EXPECT_NE(bytes.find("<TBFThrough/>"), std::string::npos);
  const PacketFilterParseResult back = ParsePacketFilters(bytes);
  ASSERT_TRUE(back.filters.has_value());
  EXPECT_EQ(back.filters->front().Available, 0u);
  EXPECT_EQ(back.filters->front().TBFMode, 1u);
  EXPECT_EQ(back.filters->front().TBFThrough, 0u);
}

TEST_F(PacketFilterFileTest, ADamagedDocumentChangesNothing) {
  manager.Add(PacketFilterSetting{});
  for (const std::string& bytes :
       {std::string(), kHeader, kHeader + "<Root><PacketFilter></Root>",
        kHeader + "<Root><PacketFilter><Name>\x82</Name></PacketFilter></Root>",
        kHeader + "<Root/><Root/>"}) {
    const std::optional<std::string> error = ReadPacketFilters(bytes, manager);
    EXPECT_TRUE(error.has_value()) << bytes;
  }
  EXPECT_EQ(manager.Size(), 1u);
}

class PacketFilterFilePathTest : public PacketFilterFileTest {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("harlune-filter-file-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    path = folder / "PacketFilterSetting.xml";
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::filesystem::path folder;
  std::filesystem::path path;
};

TEST_F(PacketFilterFilePathTest, SavesLoadsAndTellsMissingFromDamaged) {
  EXPECT_EQ(LoadPacketFilterFile(path, manager).outcome, SettingsLoadOutcome::kMissing);
  manager.Add(EveryFieldSet());
  ASSERT_TRUE(SavePacketFilterFile(path, manager).ok());
  RecordingUserDialogs otherDialogs;
  PacketFilterManager back(otherDialogs);
  EXPECT_EQ(LoadPacketFilterFile(path, back).outcome, SettingsLoadOutcome::kLoaded);
  ASSERT_EQ(back.Size(), 1u);
  ExpectSameStored(back.At(0), manager.At(0));

  std::ofstream(path) << kHeader << "<Root><PacketFilter>";
  const SettingsLoadResult damaged = LoadPacketFilterFile(path, back);
  EXPECT_EQ(damaged.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_TRUE(std::filesystem::exists(damaged.damagedCopy));
  EXPECT_EQ(back.Size(), 1u);
}

TEST_F(PacketFilterFilePathTest, TextShiftJisLacksIsSavedAndComesBackExactly) {
  PacketFilterSetting filter;
  filter.Name = "한국";
  filter.Comment = "😀";
  // CP932 would store U+00A3 as a look-alike read back as U+FFE1.
  filter.AppName = "\xC2\xA3.exe";
  manager.Add(filter);
  ASSERT_TRUE(SavePacketFilterFile(path, manager).ok());
  RecordingUserDialogs otherDialogs;
  PacketFilterManager back(otherDialogs);
  ASSERT_EQ(LoadPacketFilterFile(path, back).outcome, SettingsLoadOutcome::kLoaded);
  ASSERT_EQ(back.Size(), 1u);
  EXPECT_EQ(back.At(0).Name, "한국");
  EXPECT_EQ(back.At(0).Comment, "😀");
  EXPECT_EQ(back.At(0).AppName, "\xC2\xA3.exe");
}

TEST_F(PacketFilterFilePathTest, AListXmlCannotCarryLeavesTheFileAlone) {
  std::ofstream(path) << "old";
  PacketFilterSetting filter;
  filter.Comment = "bell \x07";
  manager.Add(filter);
  EXPECT_THROW(static_cast<void>(SavePacketFilterFile(path, manager)), XmlWriteError);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

using protocol::AddressFamilies;
using protocol::Ipv6Prefix;

Ipv6Prefix Prefix(std::string_view text, std::uint8_t length) {
  const std::optional<IpAddress> address = ParseIpAddress(text);
  EXPECT_TRUE(address && !address->IsIpv4()) << text;
  return {address ? address->Ipv6Bytes() : IpAddress::Bytes16{}, length};
}

// The text of the one filter's elements after TBFThrough.
std::string Ipv6Tail(const PacketFilterSetting& filter) {
  RecordingUserDialogs dialogs;
  PacketFilterManager manager(dialogs);
  manager.Add(filter);
  const std::string written = SerializePacketFilters(manager);
  const std::string through = "</TBFThrough>";
  const std::size_t from = written.find(through) + through.size();
  return written.substr(from, written.find("</PacketFilter>") - from);
}

std::string Ipv6Fields(const std::string& family, const std::string& address,
                       const std::string& length) {
  return "<AddressFamily>" + family + "</AddressFamily><RemoteIPv6Addr>" + address +
         "</RemoteIPv6Addr><RemoteIPv6PrefixLength>" + length + "</RemoteIPv6PrefixLength>";
}

TEST_F(PacketFilterFileTest, FiltersWithoutIpv6SettingsWriteTheFileAsBefore) {
  manager.Add(EveryFieldSet());
  manager.Add(PacketFilterSetting{});
  const std::string before = SerializePacketFilters(manager);
  // Read back and written again: no IPv6 element appears from nowhere.
  PacketFilterManager back(dialogs);
  ASSERT_EQ(ReadPacketFilters(before, back), std::nullopt);
  EXPECT_FALSE(back.At(0).HasIpv6Settings());
  EXPECT_FALSE(back.At(1).HasIpv6Settings());
  EXPECT_EQ(SerializePacketFilters(back), before);
  EXPECT_EQ(before.find("IPv6"), std::string::npos);
  EXPECT_EQ(before.find("AddressFamily"), std::string::npos);
}

TEST_F(PacketFilterFileTest, Ipv6ElementsFollowTbfThroughOnlyWhereUsed) {
  PacketFilterSetting filter;
  filter.AddressFamily = AddressFamilies::kIpv4;
  EXPECT_EQ(Ipv6Tail(filter), "<AddressFamily>IPv4</AddressFamily>");

  filter.AddressFamily.reset();
  filter.RemoteIpv6 = Prefix("2001:db8:0:0:1:0:0:1", 64);
  EXPECT_EQ(Ipv6Tail(filter),
            "<RemoteIPv6Addr>2001:db8::1:0:0:1</RemoteIPv6Addr>"
            "<RemoteIPv6PrefixLength>64</RemoteIPv6PrefixLength>");

  filter.AddressFamily = AddressFamilies::kBoth;
  filter.LocalIpv6 = Prefix("fe80::1", 128);
  filter.RemoteIpv6 = Prefix("2001:db8::", 0);  // length 0 is any address: not written
  EXPECT_EQ(Ipv6Tail(filter),
            "<AddressFamily>Both</AddressFamily><LocalIPv6Addr>fe80::1</LocalIPv6Addr>"
            "<LocalIPv6PrefixLength>128</LocalIPv6PrefixLength>");
}

TEST_F(PacketFilterFileTest, EveryIpv6FieldReadsBack) {
  for (const AddressFamilies family :
       {AddressFamilies::kBoth, AddressFamilies::kIpv4, AddressFamilies::kIpv6}) {
    PacketFilterSetting filter = EveryFieldSet();
    filter.AddressFamily = family;
    filter.LocalIpv6 = Prefix("2001:db8:aaaa::", 48);
    filter.RemoteIpv6 = Prefix("2001:db8::ff:1", 1);
    RecordingUserDialogs otherDialogs;
    PacketFilterManager written(otherDialogs);
    written.Add(filter);
    PacketFilterManager back(otherDialogs);
    ASSERT_EQ(ReadPacketFilters(SerializePacketFilters(written), back), std::nullopt);
    ASSERT_EQ(back.Size(), 1u);
    ExpectSameStored(back.At(0), filter);
    EXPECT_EQ(back.At(0).AddressFamily, family);
    EXPECT_EQ(back.At(0).LocalIpv6, filter.LocalIpv6);
    EXPECT_EQ(back.At(0).RemoteIpv6, filter.RemoteIpv6);
    EXPECT_EQ(SerializePacketFilters(back), SerializePacketFilters(written));
  }
}

TEST_F(PacketFilterFileTest, DamagedIpv6ValuesLeaveOnlyTheirOwnSideUnset) {
  const Ipv6Prefix good = Prefix("2001:db8::5", 96);
  struct Case {
    std::string family, address, length;
  };
  for (const Case& bad : std::vector<Case>{{"ipv6", "2001:db8::5", "0"},
                                           {"", "192.0.2.1", "96"},
                                           {"Both ", "::ffff:192.0.2.1", "96"},
                                           {"IPV4", "2001:db8::5%eth0", "96"},
                                           {"6", "not an address", "96"},
                                           {"IPv6x", "2001:db8::5", "129"},
                                           {"x", "2001:db8::5", "-1"},
                                           {"x", "2001:db8::5", "96x"},
                                           {"x", "2001:db8::5", " 96"},
                                           {"x", "2001:db8::5", ""},
                                           {"x", "2001:db8::5", "4294967392"}}) {
    const PacketFilterSetting filter = ReadOne(
        "<Name>kept</Name><LocalIPv6Addr>2001:db8::5</LocalIPv6Addr>"
        "<LocalIPv6PrefixLength>96</LocalIPv6PrefixLength>" +
        Ipv6Fields(bad.family, bad.address, bad.length) + "<TBFRate>2048</TBFRate>");
    EXPECT_EQ(filter.AddressFamily, std::nullopt) << bad.family;
    EXPECT_EQ(filter.RemoteIpv6, Ipv6Prefix{}) << bad.address << " /" << bad.length;
    EXPECT_EQ(filter.LocalIpv6, good);
    EXPECT_EQ(filter.Name, "kept");
    EXPECT_EQ(filter.TBFRate, 2048u);
  }
}

TEST_F(PacketFilterFileTest, Ipv6SideNeedsBothElementsAndTheLaterDuplicateWins) {
  EXPECT_EQ(ReadOne("<RemoteIPv6Addr>2001:db8::1</RemoteIPv6Addr>").RemoteIpv6, Ipv6Prefix{});
  EXPECT_EQ(ReadOne("<LocalIPv6PrefixLength>64</LocalIPv6PrefixLength>").LocalIpv6, Ipv6Prefix{});

  // The length may come first; a later family or address replaces an earlier one.
  const PacketFilterSetting filter =
      ReadOne("<RemoteIPv6PrefixLength>32</RemoteIPv6PrefixLength>" +
              Ipv6Fields("IPv4", "2001:db8::1", "16") + Ipv6Fields("IPv6", "2001:DB8:0::2", "24"));
  EXPECT_EQ(filter.AddressFamily, AddressFamilies::kIpv6);
  EXPECT_EQ(filter.RemoteIpv6, Prefix("2001:db8::2", 24));

  // A bad later family unsets an earlier good one, as a bad number reads 0.
  EXPECT_EQ(
      ReadOne("<AddressFamily>IPv4</AddressFamily><AddressFamily>v4</AddressFamily>").AddressFamily,
      std::nullopt);
}

}  // namespace
}  // namespace harlune
