#include "core/driver/driver_link.h"

#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "platform/linux/unix_socket_transport.h"
#include "protocol/utf16.h"
#include "support/fake_device_transport.h"
#include "support/hex.h"
#include "support/socket_driver_server.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::FakeDeviceTransport;
using testing::Hex;
using testing::Unhex;

constexpr const char* kSystemDevice = "/run/harlune/PassThru";
constexpr const char* kUserDevice = "/run/user/1000/harlune/PassThru";

std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

// One-shot mode, so that every request's whole exchange can be checked.
class DriverLinkTest : public ::testing::Test {
 protected:
  FakeDeviceTransport device;
  DriverLink link{device, {kSystemDevice, kUserDevice}, DriverConnections::kOneShot};

  void Reply(RequestCode code, std::string_view hex) {
    device.replies[Code(code)] = {0, Unhex(hex)};
  }
  void Fail(RequestCode code, std::uint32_t error = 31) {
    device.replies[Code(code)] = {error, {}};
  }

  // The one request after the bind, checked to be the only one.
  FakeDeviceTransport::Call OnlyRequest() {
    EXPECT_EQ(device.calls.size(), 2U);
    EXPECT_EQ(device.opened, 1);
    EXPECT_EQ(device.closed, 1);
    return device.calls.back();
  }
};

TEST_F(DriverLinkTest, EveryRequestIsOpenBindOneRequestClose) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  ASSERT_EQ(device.calls.size(), 2U);
  const auto& bind = device.calls[0];
  EXPECT_EQ(bind.device, kSystemDevice);
  EXPECT_EQ(bind.code, Code(RequestCode::HlBindAdapter));
  EXPECT_EQ(bind.input, protocol::EncodeUtf16Le(u"\\DEVICE\\eth0"));  // no terminator
  EXPECT_EQ(bind.outputCapacity, 4U);
  const auto request = OnlyRequest();
  EXPECT_EQ(request.code, Code(RequestCode::HlInitialize));
  EXPECT_TRUE(request.input.empty());
  EXPECT_EQ(request.outputCapacity, 0U);
}

TEST_F(DriverLinkTest, RequestsWithoutDataSendNothingAndReportTheResult) {
  using Call = bool (DriverLink::*)(std::string_view);
  const std::pair<RequestCode, Call> requests[] = {
      {RequestCode::HlInitialize, &DriverLink::HlInitialize},
      {RequestCode::HlUninitialize, &DriverLink::HlUninitialize},
      {RequestCode::HlReleaseAdapter, &DriverLink::HlReleaseAdapter},
      {RequestCode::HlResetTraffic, &DriverLink::HlResetTraffic},
      {RequestCode::HlStartFiltering, &DriverLink::HlStartFiltering},
      {RequestCode::HlStopFiltering, &DriverLink::HlStopFiltering},
  };
  for (const auto& [code, call] : requests) {
    device.calls.clear();
    EXPECT_TRUE((link.*call)("eth0"));
    ASSERT_EQ(device.calls.size(), 2U);
    EXPECT_EQ(device.calls[1].code, Code(code));
    EXPECT_TRUE(device.calls[1].input.empty());
    EXPECT_EQ(device.calls[1].outputCapacity, 0U);
    Fail(code);
    EXPECT_FALSE((link.*call)("eth0")) << protocol::RequestName(code);
  }
}

TEST_F(DriverLinkTest, FallsBackToTheSecondDeviceName) {
  device.devices = {kUserDevice};
  Reply(RequestCode::HlGetVersion, "26 4e 00 00");
  EXPECT_EQ(link.HlGetVersion("eth0"), protocol::kDriverVersion);
  EXPECT_EQ(device.calls[0].device, kUserDevice);
}

TEST_F(DriverLinkTest, NoDeviceMeansEveryRequestFails) {
  device.devices.clear();
  EXPECT_EQ(link.HlGetVersion("eth0"), 0U);
  EXPECT_FALSE(link.HlStartFiltering("eth0"));
  EXPECT_TRUE(device.calls.empty());
}

TEST_F(DriverLinkTest, RefusedBindKeepsItsStatusAsLastErrorAndClosesTheHandle) {
  device.bindStatus = 5;
  EXPECT_FALSE(link.HlInitialize("eth0"));
  EXPECT_EQ(link.LastError(), 5U);
  EXPECT_EQ(device.calls.size(), 1U);  // nothing after the bind
  EXPECT_EQ(device.opened, device.closed);
  EXPECT_EQ(link.Open(std::string_view("\\DEVICE\\eth0")), nullptr);
}

TEST_F(DriverLinkTest, FailedBindCallFailsTheRequest) {
  Fail(RequestCode::HlBindAdapter);
  EXPECT_FALSE(link.HlInitialize("eth0"));
  EXPECT_EQ(device.calls.size(), 1U);
}

TEST_F(DriverLinkTest, UnknownAdapterIsRefusedByItsBindStatus) {
  device.bindStatusOf[u"\\DEVICE\\wlan9"] = protocol::kBindStatusNoSuchAdapter;
  EXPECT_FALSE(link.HlInitialize("wlan9"));
  EXPECT_EQ(link.LastError(), 2U);
  EXPECT_TRUE(link.HlInitialize("eth0"));
}

TEST_F(DriverLinkTest, VersionNeedsASuccessfulReplyOfExactlyFourBytes) {
  Reply(RequestCode::HlGetVersion, "26 4e 00 00");
  EXPECT_EQ(link.HlGetVersion("eth0"), 20006U);
  EXPECT_EQ(OnlyRequest().outputCapacity, 4U);
  Reply(RequestCode::HlGetVersion, "26 4e");
  EXPECT_EQ(link.HlGetVersion("eth0"), 0U);
  Reply(RequestCode::HlGetVersion, "25 4e 00 00");
  EXPECT_EQ(link.HlGetVersion("eth0"), 20005U);
  Fail(RequestCode::HlGetVersion);
  EXPECT_EQ(link.HlGetVersion("eth0"), 0U);
}

TEST_F(DriverLinkTest, AddedClassIdIsWrittenIntoTheRecord) {
  Reply(RequestCode::HlAddTBFClass, "78 56 34 12");
  _TBF_SETTING_DATA record;
  record.TBFRate = 4096;
  ASSERT_TRUE(link.HlAddTBFClass("eth0", record));
  EXPECT_EQ(record.DriverClassId, 0x12345678U);
  const auto request = OnlyRequest();
  EXPECT_EQ(request.outputCapacity, 4U);
  _TBF_SETTING_DATA sent = record;
  sent.DriverClassId = 0;
  EXPECT_EQ(Hex(request.input), Hex(protocol::EncodeTbfSettingData(sent)));

  // A refused add leaves no id behind, not even the one the record held.
  Fail(RequestCode::HlAddTBFClass);
  record.DriverClassId = 7;
  EXPECT_FALSE(link.HlAddTBFClass("eth0", record));
  EXPECT_EQ(record.DriverClassId, kNoDriverClass);
}

TEST_F(DriverLinkTest, ModifySendsTheWholeRecordWithItsClassId) {
  _TBF_SETTING_DATA record;
  record.DriverClassId = 9;
  ASSERT_TRUE(link.HlModifyTBFClass("eth0", record));
  const auto request = OnlyRequest();
  EXPECT_EQ(request.input.size(), 200U);
  EXPECT_EQ(protocol::LoadLe32(request.input, 32), 9U);
  EXPECT_EQ(request.outputCapacity, 0U);
}

TEST_F(DriverLinkTest, ClassRequestsCarryTheClassId) {
  ASSERT_TRUE(link.HlDeleteTBFClass("eth0", 0x01020304));
  EXPECT_EQ(Hex(device.calls.back().input), "04 03 02 01");
  EXPECT_EQ(device.calls.back().code, Code(RequestCode::HlDeleteTBFClass));
  ASSERT_TRUE(link.HlUpTBFClass("eth0", 1));
  EXPECT_EQ(device.calls.back().code, Code(RequestCode::HlUpTBFClass));
  ASSERT_TRUE(link.HlDownTBFClass("eth0", 1));
  EXPECT_EQ(device.calls.back().code, Code(RequestCode::HlDownTBFClass));
  ASSERT_TRUE(link.HlSetTBFClassRate("eth0", 2, 102400));
  EXPECT_EQ(Hex(device.calls.back().input), "02 00 00 00 00 90 01 00");
  Fail(RequestCode::HlUpTBFClass);
  EXPECT_FALSE(link.HlUpTBFClass("eth0", 1));
}

TEST_F(DriverLinkTest, ApplicationPortsRequestLength) {
  ASSERT_TRUE(link.HlSetApplicationPorts("eth0", 3, {}));
  EXPECT_EQ(Hex(OnlyRequest().input), "03 00 00 00 00 00 00 00");
  const std::vector<std::uint16_t> ports{80, 8080};
  ASSERT_TRUE(link.HlSetApplicationPorts("eth0", 3, ports));
  EXPECT_EQ(Hex(device.calls.back().input), "03 00 00 00 02 00 00 00 50 00 90 1f");
}

TEST_F(DriverLinkTest, TooManyApplicationPortsAreRefusedWithoutARequest) {
  const std::vector<std::uint16_t> ports(2049, 80);
  EXPECT_FALSE(link.HlSetApplicationPorts("eth0", 3, ports));
  EXPECT_TRUE(device.calls.empty());
}

TEST_F(DriverLinkTest, StatisticsReplies) {
  Reply(RequestCode::HlGetTBFClassStatistics, "08 07 06 05 04 03 02 01 0d 0c 0b 0a");
  protocol::ClassStatistics cls;
  ASSERT_TRUE(link.HlGetTBFClassStatistics("eth0", 4, cls));
  EXPECT_EQ(cls, (protocol::ClassStatistics{0x0102030405060708, 0x0A0B0C0D}));
  EXPECT_EQ(Hex(device.calls.back().input), "04 00 00 00");
  EXPECT_EQ(device.calls.back().outputCapacity, 12U);

  Reply(RequestCode::HlGetTotalStatistics,
        "01 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 04 00 00 00");
  protocol::TotalStatistics total;
  ASSERT_TRUE(link.HlGetTotalStatistics("eth0", total));
  EXPECT_EQ(total, (protocol::TotalStatistics{1, 2, 3, 4}));
  EXPECT_EQ(device.calls.back().outputCapacity, 24U);

  Fail(RequestCode::HlGetTotalStatistics);
  EXPECT_FALSE(link.HlGetTotalStatistics("eth0", total));
}

TEST_F(DriverLinkTest, ShortStatisticsReplyReadsMissingBytesAsZero) {
  Reply(RequestCode::HlGetTBFClassStatistics, "ff 00 00 00");
  protocol::ClassStatistics cls{99, 99};
  ASSERT_TRUE(link.HlGetTBFClassStatistics("eth0", 4, cls));
  EXPECT_EQ(cls, (protocol::ClassStatistics{0xFF, 0}));
}

TEST_F(DriverLinkTest, PacketReadCountsWholeRecords) {
  device.replies[Code(RequestCode::HlReadPackets)] = {0, std::vector<std::uint8_t>(119, 0xAB)};
  PacketReadBuffer buffer{};
  EXPECT_EQ(link.HlReadPackets("eth0", buffer), 1U);
  EXPECT_EQ(device.calls.back().outputCapacity, 6000U);
  EXPECT_EQ(buffer[59], 0xAB);
  Fail(RequestCode::HlReadPackets);
  EXPECT_EQ(link.HlReadPackets("eth0", buffer), std::nullopt);
}

TEST_F(DriverLinkTest, AdapterNamesThatMakeNoValidPathNeverReachTheDevice) {
  EXPECT_TRUE(link.HlInitialize(std::string(251, 'e')));  // 8 + 251 = 259 units
  device.calls.clear();
  device.opened = 0;
  EXPECT_FALSE(link.HlInitialize(std::string(252, 'e')));
  EXPECT_FALSE(link.HlInitialize("eth\xFF"));
  EXPECT_EQ(device.opened, 0);
  EXPECT_TRUE(device.calls.empty());
}

class ReusedConnectionTest : public ::testing::Test {
 protected:
  FakeDeviceTransport device;
  DriverLink link{device, {kSystemDevice, kUserDevice}};

  void Reply(RequestCode code, std::string_view hex) {
    device.replies[Code(code)] = {0, Unhex(hex)};
  }
  std::size_t Binds() const {
    return device.CallsWithCode(Code(RequestCode::HlBindAdapter)).size();
  }
  std::size_t Sent(RequestCode code) const { return device.CallsWithCode(Code(code)).size(); }
};

TEST_F(ReusedConnectionTest, OneOpenAndBindServeEveryRequestUntilDropped) {
  protocol::ClassStatistics statistics;
  ASSERT_TRUE(link.HlInitialize("eth0"));
  for (std::uint32_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(link.HlGetTBFClassStatistics("eth0", id, statistics));
  }
  ASSERT_TRUE(link.HlInitialize("eth1"));
  EXPECT_EQ(device.opened, 2);
  EXPECT_EQ(device.closed, 0);
  EXPECT_EQ(Binds(), 2U);
  EXPECT_EQ(device.CallsWithCode(Code(RequestCode::HlGetTBFClassStatistics), "eth0").size(), 3U);

  link.DropConnections();
  EXPECT_EQ(device.closed, 2);
  ASSERT_TRUE(link.HlStartFiltering("eth0"));
  EXPECT_EQ(device.opened, 3);
}

TEST_F(ReusedConnectionTest, ClosedConnectionIsReplacedOnceAndTheRequestSucceeds) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  device.CloseConnections();  // the driver restarted
  Reply(RequestCode::HlGetTBFClassStatistics, "08 07 06 05 04 03 02 01");
  protocol::ClassStatistics statistics;
  ASSERT_TRUE(link.HlGetTBFClassStatistics("eth0", 4, statistics));
  // The rate was not returned and reads as 0, not as the lost reply's bytes.
  EXPECT_EQ(statistics, (protocol::ClassStatistics{0x0102030405060708, 0}));
  EXPECT_EQ(device.lostCalls, 1);  // unsent: no version check is needed
  EXPECT_EQ(device.opened, 2);
  EXPECT_EQ(device.closed, 1);
  EXPECT_EQ(Sent(RequestCode::HlGetTBFClassStatistics), 1U);
  // The restart is not hidden from the owner.
  const std::vector<DriverSuspect> suspects = link.TakeSuspects();
  ASSERT_EQ(suspects.size(), 1U);
  EXPECT_EQ(suspects[0].adapterName, "eth0");
  EXPECT_TRUE(suspects[0].connectionLost);
  EXPECT_TRUE(link.TakeSuspects().empty());

  // A driver that does not come back: one fresh attempt, then failure.
  device.CloseConnections();
  device.devices.clear();
  EXPECT_FALSE(link.HlGetTBFClassStatistics("eth0", 4, statistics));
  EXPECT_EQ(device.lostCalls, 2);
  EXPECT_EQ(link.KeptConnectionCount(), 0U);
  EXPECT_EQ(device.opened, device.closed);
}

TEST_F(ReusedConnectionTest, RequestWhoseReplyWasLostIsNeverCarriedOutTwice) {
  _TBF_SETTING_DATA record;
  for (const RequestCode code :
       {RequestCode::HlAddTBFClass, RequestCode::HlUpTBFClass, RequestCode::HlInitialize}) {
    ASSERT_TRUE(link.HlStartFiltering("eth0"));  // a kept connection
    device.calls.clear();
    device.loseReplyTo.insert(Code(code));
    const bool done = code == RequestCode::HlAddTBFClass  ? link.HlAddTBFClass("eth0", record)
                      : code == RequestCode::HlUpTBFClass ? link.HlUpTBFClass("eth0", 4)
                                                          : link.HlInitialize("eth0");
    EXPECT_FALSE(done) << RequestName(code);
    EXPECT_EQ(Sent(code), 1U) << RequestName(code);
    const std::vector<DriverSuspect> suspects = link.TakeSuspects();
    ASSERT_EQ(suspects.size(), 1U) << RequestName(code);
    EXPECT_TRUE(suspects[0].connectionLost);
  }
  EXPECT_EQ(device.lostReplies.size(), 3U);
  EXPECT_EQ(record.DriverClassId, kNoDriverClass);

  // A read may go again: it changes nothing.
  ASSERT_TRUE(link.HlStartFiltering("eth0"));
  device.calls.clear();
  device.loseReplyTo.insert(Code(RequestCode::HlGetTotalStatistics));
  protocol::TotalStatistics totals;
  EXPECT_TRUE(link.HlGetTotalStatistics("eth0", totals));
  EXPECT_EQ(Sent(RequestCode::HlGetTotalStatistics), 2U);
}

TEST_F(ReusedConnectionTest, ChangeThatNeverReachedTheDriverGoesOutOnAFreshConnection) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  device.CloseConnections();
  Reply(RequestCode::HlAddTBFClass, "05 00 00 00");
  _TBF_SETTING_DATA record;
  ASSERT_TRUE(link.HlAddTBFClass("eth0", record));
  EXPECT_EQ(record.DriverClassId, 5U);
  EXPECT_EQ(Sent(RequestCode::HlAddTBFClass), 1U);
  EXPECT_EQ(link.TakeSuspects().size(), 1U);
}

TEST_F(ReusedConnectionTest, RefusedClassRequestIsADoubtAndClasslessOnesNeverLeave) {
  protocol::ClassStatistics statistics;
  device.FailOn("eth0", Code(RequestCode::HlGetTBFClassStatistics), 87);
  EXPECT_FALSE(link.HlGetTBFClassStatistics("eth0", 3, statistics));
  EXPECT_TRUE(link.TakeSuspects().empty());  // a malformed request: the link's own fault

  device.FailOn("eth0", Code(RequestCode::HlGetTBFClassStatistics), 31);
  EXPECT_FALSE(link.HlGetTBFClassStatistics("eth0", 3, statistics));
  const std::vector<DriverSuspect> suspects = link.TakeSuspects();
  ASSERT_EQ(suspects.size(), 1U);
  EXPECT_FALSE(suspects[0].connectionLost);

  device.calls.clear();
  _TBF_SETTING_DATA record;
  EXPECT_FALSE(link.HlGetTBFClassStatistics("eth0", kNoDriverClass, statistics));
  EXPECT_FALSE(link.HlSetTBFClassRate("eth0", kNoDriverClass, 100));
  EXPECT_FALSE(link.HlModifyTBFClass("eth0", record));
  EXPECT_FALSE(link.HlDeleteTBFClass("eth0", kNoDriverClass));
  EXPECT_FALSE(link.HlDownTBFClass("eth0", kNoDriverClass));
  EXPECT_FALSE(link.HlSetApplicationPorts("eth0", kNoDriverClass, {}));
  EXPECT_TRUE(device.calls.empty());
  EXPECT_TRUE(link.TakeSuspects().empty());
}

TEST_F(ReusedConnectionTest, ConnectionTheDriverNoLongerHoldsBoundIsBoundAnew) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  device.ForgetBindings("eth0");
  ASSERT_TRUE(link.HlStartFiltering("eth0"));
  EXPECT_EQ(Sent(RequestCode::HlStartFiltering), 2U);  // 21, then success on the new one
  EXPECT_EQ(Sent(RequestCode::HlGetVersion), 0U);      // 21 needs no check
  EXPECT_EQ(Binds(), 2U);
  EXPECT_EQ(device.closed, 1);
}

TEST_F(ReusedConnectionTest, RefusalIsNotRetriedAndKeepsOnlyAConnectionThatWasKept) {
  device.FailOn("eth0", Code(RequestCode::HlUpTBFClass));
  EXPECT_FALSE(link.HlUpTBFClass("eth0", 4));  // a new connection: closed again
  EXPECT_EQ(Sent(RequestCode::HlUpTBFClass), 1U);
  EXPECT_EQ(device.closed, 1);

  ASSERT_TRUE(link.HlInitialize("eth0"));
  for (const std::uint32_t error : {31U, 87U, 1U}) {
    device.calls.clear();
    device.FailOn("eth0", Code(RequestCode::HlUpTBFClass), error);
    EXPECT_FALSE(link.HlUpTBFClass("eth0", 4)) << error;
    EXPECT_EQ(Sent(RequestCode::HlUpTBFClass), 1U) << error;
    // Only 31 is ambiguous, and a version answer shows the connection works.
    EXPECT_EQ(Sent(RequestCode::HlGetVersion), error == 31 ? 1U : 0U) << error;
  }
  EXPECT_EQ(device.opened, 2);
  EXPECT_EQ(device.closed, 1);
  EXPECT_EQ(Binds(), 0U);
}

TEST_F(ReusedConnectionTest, AdapterThatLeavesTheDriverIsRefusedAndTheOthersKeepTheirs) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  ASSERT_TRUE(link.HlInitialize("eth1"));
  device.ForgetBindings("eth1");
  device.bindStatusOf[u"\\DEVICE\\eth1"] = protocol::kBindStatusNoSuchAdapter;

  EXPECT_FALSE(link.HlStartFiltering("eth1"));
  EXPECT_EQ(link.LastError(), protocol::kBindStatusNoSuchAdapter);
  EXPECT_EQ(link.KeptConnectionCount(), 1U);
  ASSERT_TRUE(link.HlStartFiltering("eth0"));
  ASSERT_TRUE(link.HlInitialize("eth2"));  // a new adapter
  EXPECT_EQ(device.opened, 4);             // eth0, eth1, eth1 again, eth2
  EXPECT_EQ(link.KeptConnectionCount(), 2U);
}

TEST_F(ReusedConnectionTest, LeastRecentlyUsedConnectionMakesRoom) {
  const auto name = [](std::size_t i) { return "eth" + std::to_string(i); };
  for (std::size_t i = 0; i < DriverLink::kMaxKeptConnections; ++i) {
    ASSERT_TRUE(link.HlInitialize(name(i)));
  }
  ASSERT_TRUE(link.HlStartFiltering(name(0)));
  ASSERT_TRUE(link.HlInitialize(name(DriverLink::kMaxKeptConnections)));
  EXPECT_EQ(link.KeptConnectionCount(), DriverLink::kMaxKeptConnections);
  EXPECT_EQ(device.closed, 1);
  const int opened = device.opened;
  ASSERT_TRUE(link.HlStopFiltering(name(0)));  // still kept
  EXPECT_EQ(device.opened, opened);
  ASSERT_TRUE(link.HlStopFiltering(name(1)));  // the one closed to make room
  EXPECT_EQ(device.opened, opened + 1);
}

TEST_F(ReusedConnectionTest, VersionProbeLeavesNoConnectionOpen) {
  Reply(RequestCode::HlGetVersion, "26 4e 00 00");
  EXPECT_EQ(link.HlGetVersion("eth0"), protocol::kDriverVersion);
  device.bindStatusOf[u"\\DEVICE\\eth1"] = protocol::kBindStatusNoSuchAdapter;
  EXPECT_EQ(link.HlGetVersion("eth1"), 0U);
  EXPECT_EQ(link.KeptConnectionCount(), 0U);
  EXPECT_EQ(device.opened, device.closed);

  // A kept connection is used, and closed when the answer is not the
  // accepted version.
  ASSERT_TRUE(link.HlInitialize("eth0"));
  EXPECT_EQ(link.HlGetVersion("eth0"), protocol::kDriverVersion);
  EXPECT_EQ(link.KeptConnectionCount(), 1U);
  device.ReplyOn("eth0", Code(RequestCode::HlGetVersion), Unhex("25 4e 00 00"));
  EXPECT_EQ(link.HlGetVersion("eth0"), 20005U);
  EXPECT_EQ(link.KeptConnectionCount(), 0U);
  EXPECT_EQ(device.opened, device.closed);
  EXPECT_EQ(Binds(), 3U);
}

TEST(ReusedSocketConnectionTest, RequestAfterADriverRestartStillSucceeds) {
  testing::TempDir dir;
  const auto socketPath = dir.path() / "PassThru";
  std::atomic<int> binds = 0;
  const auto countingDriver = [&binds] {
    return [&binds](const protocol::RequestHeader& header, std::span<const std::uint8_t> input) {
      if (header.code == Code(RequestCode::HlBindAdapter)) {
        ++binds;
      }
      return testing::SocketDriverServer::AcceptEverything()(header, input);
    };
  };
  UnixSocketTransport transport;
  DriverLink link(transport, {socketPath.string()});
  auto server = std::make_unique<testing::SocketDriverServer>(socketPath, countingDriver());
  ASSERT_TRUE(link.HlInitialize("eth0"));
  ASSERT_TRUE(link.HlStartFiltering("eth0"));
  EXPECT_EQ(binds, 1);

  server.reset();
  server = std::make_unique<testing::SocketDriverServer>(socketPath, countingDriver());
  EXPECT_TRUE(link.HlStopFiltering("eth0"));
  EXPECT_EQ(binds, 2);
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

protocol::ClassFamily Ipv6Family(std::uint32_t classId) {
  protocol::ClassFamily family;
  family.driverClassId = classId;
  family.families = protocol::AddressFamilies::kIpv6;
  family.remote = {ParseIpAddress("2001:db8::").value().Ipv6Bytes(), 32};
  return family;
}

TEST_F(DriverLinkTest, ClassFamilyGoesAsItsFortyBytesAndTellsAnIpv4OnlyDriver) {
  const protocol::ClassFamily family = Ipv6Family(0x0A0B0C0D);
  const DriverReply done = link.HlSetTBFClassFamily("eth0", family);
  EXPECT_TRUE(done.succeeded);
  EXPECT_FALSE(done.UnknownRequest());
  const auto request = OnlyRequest();
  EXPECT_EQ(request.code, Code(RequestCode::HlSetTBFClassFamily));
  EXPECT_EQ(Hex(request.input), Hex(protocol::EncodeClassFamily(family)));
  EXPECT_EQ(request.outputCapacity, 0U);

  Fail(RequestCode::HlSetTBFClassFamily, 1);
  EXPECT_TRUE(link.HlSetTBFClassFamily("eth0", family).UnknownRequest());
  for (const std::uint32_t error : {31U, 87U}) {
    Fail(RequestCode::HlSetTBFClassFamily, error);
    const DriverReply refused = link.HlSetTBFClassFamily("eth0", family);
    EXPECT_FALSE(refused.succeeded);
    EXPECT_EQ(refused.deviceError, error);
    EXPECT_FALSE(refused.UnknownRequest()) << error;
  }
  // No driver at all is no answer about the request either.
  device.devices.clear();
  const DriverReply unreachable = link.HlSetTBFClassFamily("eth0", family);
  EXPECT_FALSE(unreachable.succeeded);
  EXPECT_FALSE(unreachable.UnknownRequest());
}

TEST_F(DriverLinkTest, Ipv6PacketReadCountsWhole84ByteRecords) {
  device.replies[Code(RequestCode::HlReadPackets6)] = {
      0, std::vector<std::uint8_t>(2 * protocol::kCapture6RecordSize + 83, 0xCD)};
  Packet6ReadBuffer buffer{};
  const DriverReadReply read = link.HlReadPackets6("eth0", buffer);
  EXPECT_EQ(read.records, 2U);
  EXPECT_EQ(OnlyRequest().outputCapacity, 8400U);
  EXPECT_TRUE(device.calls.back().input.empty());
  EXPECT_EQ(buffer[2 * protocol::kCapture6RecordSize - 1], 0xCD);

  Fail(RequestCode::HlReadPackets6, 1);
  const DriverReadReply unknown = link.HlReadPackets6("eth0", buffer);
  EXPECT_EQ(unknown.records, std::nullopt);
  EXPECT_TRUE(unknown.UnknownRequest());
  Fail(RequestCode::HlReadPackets6, 31);
  const DriverReadReply failed = link.HlReadPackets6("eth0", buffer);
  EXPECT_EQ(failed.records, std::nullopt);
  EXPECT_FALSE(failed.UnknownRequest());
}

TEST_F(ReusedConnectionTest, AnIpv4OnlyDriversAnswerKeepsTheConnectionAndRaisesNoDoubt) {
  ASSERT_TRUE(link.HlInitialize("eth0"));
  device.FailOn("eth0", Code(RequestCode::HlSetTBFClassFamily), 1);
  device.FailOn("eth0", Code(RequestCode::HlReadPackets6), 1);
  Packet6ReadBuffer buffer{};
  EXPECT_TRUE(link.HlSetTBFClassFamily("eth0", Ipv6Family(3)).UnknownRequest());
  EXPECT_TRUE(link.HlReadPackets6("eth0", buffer).UnknownRequest());
  EXPECT_TRUE(link.TakeSuspects().empty());
  EXPECT_EQ(Sent(RequestCode::HlGetVersion), 0U);
  EXPECT_EQ(device.opened, 1);
  EXPECT_EQ(link.KeptConnectionCount(), 1U);

  // A refused family names a class the driver may no longer have.
  device.FailOn("eth0", Code(RequestCode::HlSetTBFClassFamily), 31);
  EXPECT_FALSE(link.HlSetTBFClassFamily("eth0", Ipv6Family(3)).succeeded);
  const std::vector<DriverSuspect> suspects = link.TakeSuspects();
  ASSERT_EQ(suspects.size(), 1U);
  EXPECT_FALSE(suspects[0].connectionLost);

  device.calls.clear();
  EXPECT_FALSE(link.HlSetTBFClassFamily("eth0", Ipv6Family(kNoDriverClass)).succeeded);
  EXPECT_TRUE(device.calls.empty());
}

}  // namespace
}  // namespace harlune
