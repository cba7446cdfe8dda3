// Resets that this process may not make go to the packet driver: the four-
// tuple's bytes, the adapters tried in turn, and what the result says when
// no driver answers.

#include "platform/linux/forwarding_resetter.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/hex.h"

namespace harlune {
namespace {

using testing::FakeDeviceTransport;

constexpr auto kReset = static_cast<std::uint32_t>(protocol::RequestCode::HlResetTcpConnection);
constexpr auto kReset6 = static_cast<std::uint32_t>(protocol::RequestCode::HlResetTcp6Connection);
const TcpFourTuple kKey{Ipv4Address(10, 0, 0, 2), protocol::HostToNet16(50000),
                        Ipv4Address(198, 51, 100, 7), protocol::HostToNet16(80)};
const ConnectionResetResult kRefused{ConnectionResetStatus::kNotPermitted, EPERM};

class ScriptedResetter : public ConnectionResetter {
 public:
  ConnectionResetResult ResetConnection(const TcpFourTuple& key) override {
    asked.push_back(key);
    return result;
  }
  ConnectionResetResult result = kRefused;
  std::vector<TcpFourTuple> asked;
};

SystemAdapter Adapter(std::int32_t index, const char* name) {
  return SystemAdapter{index, name, name, {Ipv4(10, 0, 0, 2)}};
}

class ForwardingResetterTest : public ::testing::Test {
 protected:
  ForwardingResetterTest() { adapters_.SetAdapters({Adapter(2, "eth0"), Adapter(3, "wlan0")}); }

  void AnswerStatus(std::uint32_t status, std::uint32_t code = kReset) {
    const auto word = protocol::EncodeU32(status);
    transport_.replies[code] = {0, {word.begin(), word.end()}};
  }

  ScriptedResetter direct_;
  FakeDeviceTransport transport_;
  DriverLink link_{transport_, {"/run/harlune/PassThru"}, DriverConnections::kOneShot};
  FakeAdapterSource adapters_;
  ForwardingResetter resetter_{direct_, link_, adapters_};
};

TEST_F(ForwardingResetterTest, AnythingButARefusalOfThePrivilegeIsFinal) {
  for (const ConnectionResetResult result :
       {ConnectionResetResult{ConnectionResetStatus::kOk, 0},
        ConnectionResetResult{ConnectionResetStatus::kGone, ENOENT},
        ConnectionResetResult{ConnectionResetStatus::kNotSupported, EOPNOTSUPP},
        ConnectionResetResult{ConnectionResetStatus::kError, EIO}}) {
    direct_.result = result;
    EXPECT_EQ(resetter_.ResetConnection(kKey), result);
  }
  EXPECT_EQ(direct_.asked, std::vector(4, kKey));
  EXPECT_EQ(transport_.opened, 0);
}

TEST_F(ForwardingResetterTest, ARefusedResetGoesToTheDriverAndItsStatusDecides) {
  const std::vector<std::pair<std::uint32_t, ConnectionResetResult>> cases{
      {0, {ConnectionResetStatus::kOk, 0}},
      {ENOENT, {ConnectionResetStatus::kGone, ENOENT}},
      {EPERM, {ConnectionResetStatus::kNotPermitted, EPERM}},  // a driver without root
      {EOPNOTSUPP, {ConnectionResetStatus::kNotSupported, EOPNOTSUPP}},
      {EIO, {ConnectionResetStatus::kError, EIO}},
  };
  for (const auto& [status, expected] : cases) {
    AnswerStatus(status);
    EXPECT_EQ(resetter_.ResetConnection(kKey), expected) << "status " << status;
  }
  const auto calls = transport_.CallsWithCode(kReset);
  ASSERT_EQ(calls.size(), cases.size());
  EXPECT_EQ(calls[0].adapterPath, u"\\DEVICE\\eth0");
  EXPECT_EQ(calls[0].outputCapacity, 4u);
  EXPECT_EQ(testing::Hex(calls[0].input), "0a 00 00 02 c3 50 00 00 c6 33 64 07 00 50 00 00");
}

TEST_F(ForwardingResetterTest, TheNextAdapterIsTriedWhenOneCannotBeBound) {
  transport_.bindStatusOf[u"\\DEVICE\\eth0"] = 2;
  AnswerStatus(0);
  EXPECT_EQ(resetter_.ResetConnection(kKey).status, ConnectionResetStatus::kOk);
  EXPECT_EQ(transport_.CallsWithCode(kReset, "wlan0").size(), 1u);
  EXPECT_TRUE(transport_.CallsWithCode(kReset, "eth0").empty());
}

TEST_F(ForwardingResetterTest, WithoutADriverThatAnswersTheResultSaysSo) {
  const ConnectionResetResult noDriver{ConnectionResetStatus::kNoDriver, EPERM};
  // A driver that does not know the request, on every adapter.
  transport_.replies[kReset] = {1, {}};
  EXPECT_EQ(resetter_.ResetConnection(kKey), noDriver);
  EXPECT_EQ(transport_.CallsWithCode(kReset).size(), 2u);
  // A status cut short is no answer.
  transport_.replies[kReset] = {0, {0, 0}};
  EXPECT_EQ(resetter_.ResetConnection(kKey), noDriver);
  // No driver at all, or no adapter to bind.
  transport_.devices.clear();
  EXPECT_EQ(resetter_.ResetConnection(kKey), noDriver);
  adapters_.SetResult(FakeAdapterSource::Failure(EIO));
  transport_.opened = 0;
  EXPECT_EQ(resetter_.ResetConnection(kKey), noDriver);
  EXPECT_EQ(transport_.opened, 0);
}

TEST_F(ForwardingResetterTest, KeysThatNameNoConnectionAreNeverForwarded) {
  AnswerStatus(0);
  TcpFourTuple wide = kKey;
  wide.remotePort = 0x10050;  // beyond 16 bits
  TcpFourTuple listener = kKey;
  listener.remoteAddr = IpAddress();
  listener.remotePort = 0;
  EXPECT_EQ(resetter_.ResetConnection(wide), kRefused);
  EXPECT_EQ(resetter_.ResetConnection(listener), kRefused);
  EXPECT_EQ(transport_.opened, 0);
}

// [2001:2::10]:50000 -> [2001:2:0:1::7]:443.
const TcpFourTuple kIpv6Key{*ParseIpAddress("2001:2::10"), protocol::HostToNet16(50000),
                            *ParseIpAddress("2001:2:0:1::7"), protocol::HostToNet16(443)};

TEST_F(ForwardingResetterTest, IPv6KeysGoByTheIPv6RequestAndItsStatusDecides) {
  const std::vector<std::pair<std::uint32_t, ConnectionResetResult>> cases{
      {0, {ConnectionResetStatus::kOk, 0}},
      {ENOENT, {ConnectionResetStatus::kGone, ENOENT}},
      {EPERM, {ConnectionResetStatus::kNotPermitted, EPERM}},
      {EIO, {ConnectionResetStatus::kError, EIO}},
  };
  for (const auto& [status, expected] : cases) {
    AnswerStatus(status, kReset6);
    EXPECT_EQ(resetter_.ResetConnection(kIpv6Key), expected) << "status " << status;
  }
  EXPECT_TRUE(transport_.CallsWithCode(kReset).empty());
  const auto calls = transport_.CallsWithCode(kReset6);
  ASSERT_EQ(calls.size(), cases.size());
  EXPECT_EQ(calls[0].adapterPath, u"\\DEVICE\\eth0");
  EXPECT_EQ(calls[0].outputCapacity, 4u);
  EXPECT_EQ(testing::Hex(calls[0].input),
            "20 01 00 02 00 00 00 00 00 00 00 00 00 00 00 10 c3 50 00 00 "
            "20 01 00 02 00 00 00 01 00 00 00 00 00 00 00 07 01 bb 00 00");
}

TEST_F(ForwardingResetterTest, AMappedKeyIsAnIPv4ConnectionForTheDriver) {
  AnswerStatus(0);
  // The key an IPv6 socket's table row gives for 10.0.0.2 -> 198.51.100.7.
  const IpAddress::Bytes16 local{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, 2};
  const IpAddress::Bytes16 remote{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 198, 51, 100, 7};
  const TcpFourTuple mapped{IpAddress::FromIpv6(local), kKey.localPort, IpAddress::FromIpv6(remote),
                            kKey.remotePort};
  EXPECT_EQ(resetter_.ResetConnection(mapped).status, ConnectionResetStatus::kOk);
  EXPECT_TRUE(transport_.CallsWithCode(kReset6).empty());
  const auto calls = transport_.CallsWithCode(kReset);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(testing::Hex(calls[0].input), "0a 00 00 02 c3 50 00 00 c6 33 64 07 00 50 00 00");
}

TEST_F(ForwardingResetterTest, ADriverThatCannotEndIPv6ConnectionsLeavesTheRefusal) {
  // A driver that ends IPv4 connections only does not know the request;
  // one that refuses the tuple read it too. Neither is asked again on the
  // next adapter, and neither reads as a missing driver.
  for (const std::uint32_t error : {1u, 87u}) {
    transport_.calls.clear();
    transport_.replies[kReset6] = {error, {}};
    EXPECT_EQ(resetter_.ResetConnection(kIpv6Key), kRefused) << "error " << error;
    EXPECT_EQ(transport_.CallsWithCode(kReset6).size(), 1u);
  }
}

TEST_F(ForwardingResetterTest, WithoutADriverThatAnswersTheIPv6RequestTheResultSaysSo) {
  const ConnectionResetResult noDriver{ConnectionResetStatus::kNoDriver, EPERM};
  // A general failure on the first adapter: the next one is asked.
  transport_.repliesOf[u"\\DEVICE\\eth0"][kReset6] = {31, {}};
  AnswerStatus(0, kReset6);
  EXPECT_EQ(resetter_.ResetConnection(kIpv6Key).status, ConnectionResetStatus::kOk);
  EXPECT_EQ(transport_.CallsWithCode(kReset6, "wlan0").size(), 1u);
  // Failing everywhere, or a status cut short, is no answer.
  transport_.replies[kReset6] = {31, {}};
  EXPECT_EQ(resetter_.ResetConnection(kIpv6Key), noDriver);
  transport_.repliesOf.clear();
  transport_.replies[kReset6] = {0, {0, 0}};
  EXPECT_EQ(resetter_.ResetConnection(kIpv6Key), noDriver);
  transport_.devices.clear();
  EXPECT_EQ(resetter_.ResetConnection(kIpv6Key), noDriver);
}

TEST_F(ForwardingResetterTest, IPv6KeysThatNameNoConnectionAreNeverForwarded) {
  AnswerStatus(0, kReset6);
  TcpFourTuple multicast = kIpv6Key;
  multicast.remoteAddr = *ParseIpAddress("ff02::1");
  TcpFourTuple listener = kIpv6Key;
  listener.remoteAddr = *ParseIpAddress("::");
  listener.remotePort = 0;
  TcpFourTuple mixed = kIpv6Key;
  mixed.remoteAddr = Ipv4Address(198, 51, 100, 7);
  for (const TcpFourTuple& key : {multicast, listener, mixed}) {
    EXPECT_EQ(resetter_.ResetConnection(key), kRefused);
  }
  EXPECT_EQ(transport_.opened, 0);
}

TEST(DriverLinkResetReply, KeepsTheDriversErrorApartFromItsStatus) {
  FakeDeviceTransport transport;
  DriverLink link{transport, {"/run/harlune/PassThru"}};
  const auto word = protocol::EncodeU32(ENOENT);
  transport.replies[kReset6] = {0, {word.begin(), word.end()}};
  const DriverResetReply answered = link.HlResetTcp6Connection("eth0", kIpv6Key);
  EXPECT_EQ(answered.status, std::optional<std::uint32_t>(ENOENT));
  EXPECT_EQ(answered.deviceError, 0u);

  transport.replies[kReset6] = {1, {}};
  const DriverResetReply unknown = link.HlResetTcp6Connection("eth0", kIpv6Key);
  EXPECT_FALSE(unknown.status);
  EXPECT_EQ(unknown.deviceError, 1u);
  // The driver answered: its connection is kept for the next request.
  EXPECT_EQ(link.KeptConnectionCount(), 1u);

  transport.devices.clear();
  link.DropConnections();
  const DriverResetReply unbound = link.HlResetTcp6Connection("eth0", kIpv6Key);
  EXPECT_FALSE(unbound.status);
  EXPECT_EQ(unbound.deviceError, 0u);
}

}  // namespace
}  // namespace harlune
