#include "platform/linux/unix_socket_transport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/driver/driver_link.h"
#include "protocol/device_names.h"
#include "protocol/replies.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/utf16.h"
#include "support/hex.h"
#include "support/socket_driver_server.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using protocol::RequestCode;
using protocol::RequestHeader;
using testing::Hex;
using testing::SocketDriverServer;
using testing::TempDir;

constexpr std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

// A driver that knows one adapter, "eth0", and answers the version.
SocketDriverServer::Handler VersionDriver() {
  return [](const RequestHeader& header,
            std::span<const std::uint8_t> input) -> std::optional<std::vector<std::uint8_t>> {
    if (header.code == Code(RequestCode::HlBindAdapter)) {
      const auto known = protocol::EncodeUtf16Le(u"\\DEVICE\\eth0") ==
                         std::vector<std::uint8_t>(input.begin(), input.end());
      return SocketDriverServer::Answer(0, protocol::EncodeU32(known ? 0 : 2));
    }
    if (header.code == Code(RequestCode::HlGetVersion)) {
      return SocketDriverServer::Answer(0, protocol::EncodeU32(protocol::kDriverVersion));
    }
    return SocketDriverServer::Answer(protocol::device_error::kInvalidFunction);
  };
}

class UnixSocketTransportTest : public ::testing::Test {
 protected:
  TempDir dir;
  UnixSocketTransport transport{{500ms, 500ms}};
  std::string SocketPath() const { return (dir.path() / "PassThru").string(); }
};

TEST_F(UnixSocketTransportTest, RoundTripDeliversOutputAndByteCount) {
  std::vector<std::uint8_t> seenInput;
  RequestHeader seenHeader;
  SocketDriverServer server(SocketPath(), [&](const RequestHeader& header, auto input) {
    seenHeader = header;
    seenInput.assign(input.begin(), input.end());
    const std::vector<std::uint8_t> out{1, 2, 3};
    return std::optional(SocketDriverServer::Answer(0, out));
  });
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  const std::vector<std::uint8_t> input{9, 8};
  std::array<std::uint8_t, 12> output{};
  const DeviceCallResult result = handle->Control(0x4323A0FC, input, output);
  EXPECT_TRUE(result.succeeded);
  EXPECT_EQ(result.bytesReturned, 3U);
  EXPECT_EQ(Hex(std::span(output).first(3)), "01 02 03");
  EXPECT_EQ(seenHeader, (RequestHeader{0x4323A0FC, 2, 12}));
  EXPECT_EQ(seenInput, input);
}

TEST_F(UnixSocketTransportTest, ErrorWordFailsTheCall) {
  SocketDriverServer server(SocketPath(), [](auto&, auto) {
    return std::optional(SocketDriverServer::Answer(protocol::device_error::kInvalidParameter));
  });
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  const DeviceCallResult result = handle->Control(1, {}, {});
  EXPECT_FALSE(result.succeeded);
  EXPECT_EQ(result.error, 87U);
  // The stream is still in step: the next call works.
  EXPECT_EQ(handle->Control(1, {}, {}).error, 87U);
}

TEST_F(UnixSocketTransportTest, MissingOrUnusableSocketDoesNotOpen) {
  EXPECT_EQ(transport.OpenDevice(SocketPath()), nullptr);
  EXPECT_EQ(transport.OpenDevice(""), nullptr);
  EXPECT_EQ(transport.OpenDevice("/tmp/" + std::string(200, 'x')), nullptr);
}

TEST_F(UnixSocketTransportTest, ReplyLongerThanTheCapacityBreaksTheHandle) {
  SocketDriverServer server(SocketPath(), [](const RequestHeader&, auto) {
    // Claims 8 bytes where 4 were asked for.
    return std::optional(protocol::EncodeReply(0, std::vector<std::uint8_t>(8)));
  });
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  std::array<std::uint8_t, 4> output{};
  EXPECT_FALSE(handle->Control(1, {}, output).succeeded);
  EXPECT_FALSE(handle->Control(1, {}, output).succeeded);
}

TEST_F(UnixSocketTransportTest, ConnectionClosedByTheDriverFailsTheCall) {
  SocketDriverServer server(SocketPath(),
                            [](auto&, auto) { return std::optional<std::vector<std::uint8_t>>(); });
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  const DeviceCallResult result = handle->Control(1, {}, {});
  EXPECT_FALSE(result.succeeded);
  EXPECT_EQ(result.error, protocol::device_error::kGenFailure);
  EXPECT_FALSE(result.notSent);                     // it was read before the close
  EXPECT_TRUE(handle->Control(1, {}, {}).notSent);  // the handle is done
}

TEST_F(UnixSocketTransportTest, OversizedRequestIsRefusedBeforeSending) {
  std::atomic<int> requests = 0;
  SocketDriverServer server(SocketPath(), [&](auto&, auto) {
    ++requests;
    return std::optional(SocketDriverServer::Answer(0));
  });
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  const std::vector<std::uint8_t> big(protocol::kMaxFrameBuffer + 1);
  EXPECT_FALSE(handle->Control(1, big, {}).succeeded);
  EXPECT_TRUE(handle->Control(1, {}, {}).succeeded);
  EXPECT_EQ(requests, 1);
}

TEST_F(UnixSocketTransportTest, SilentDriverTimesOut) {
  SocketDriverServer server(SocketPath(), [](auto&, auto) {
    std::this_thread::sleep_for(300ms);
    return std::optional<std::vector<std::uint8_t>>();
  });
  UnixSocketTransport impatient({50ms, 50ms});
  auto handle = impatient.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  const DeviceCallResult result = handle->Control(1, {}, {});
  EXPECT_FALSE(result.succeeded);
  EXPECT_FALSE(result.notSent);  // the driver has it and may yet carry it out
}

TEST_F(UnixSocketTransportTest, RequestThatChangesTheDriverIsGivenTheLongerLimit) {
  SocketDriverServer server(SocketPath(), [](auto& header, auto) {
    std::this_thread::sleep_for(200ms);
    return std::optional(
        SocketDriverServer::Answer(0, std::vector<std::uint8_t>(header.outputCapacity, 0)));
  });
  UnixSocketTransport patientWithChanges({50ms, 2000ms});
  std::array<std::uint8_t, 4> classId{};
  const std::vector<std::uint8_t> record(protocol::kTbfSettingDataSize);
  auto handle = patientWithChanges.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(handle->Control(Code(RequestCode::HlAddTBFClass), record, classId).succeeded);
  std::array<std::uint8_t, protocol::kTotalStatisticsSize> totals{};
  EXPECT_FALSE(handle->Control(Code(RequestCode::HlGetTotalStatistics), {}, totals).succeeded);
}

TEST_F(UnixSocketTransportTest, RequestToADriverThatClosedItsEndIsReportedUnsent) {
  auto server = std::make_unique<SocketDriverServer>(SocketPath(), VersionDriver());
  auto handle = transport.OpenDevice(SocketPath());
  ASSERT_NE(handle, nullptr);
  std::array<std::uint8_t, 4> version{};
  ASSERT_TRUE(handle->Control(Code(RequestCode::HlGetVersion), {}, version).succeeded);
  server.reset();  // the driver ends, closing the connection
  const DeviceCallResult result = handle->Control(Code(RequestCode::HlInitialize), {}, {});
  EXPECT_FALSE(result.succeeded);
  EXPECT_TRUE(result.notSent);
  EXPECT_TRUE(handle->Control(Code(RequestCode::HlInitialize), {}, {}).notSent);
}

TEST_F(UnixSocketTransportTest, DriverLinkReachesTheUserDriverThroughTheFallbackName) {
  SocketDriverServer server(SocketPath(), VersionDriver());
  DriverLink link(transport, {(dir.path() / "missing").string(), SocketPath()});
  EXPECT_EQ(link.HlGetVersion("eth0"), protocol::kDriverVersion);
  EXPECT_EQ(link.HlGetVersion("eth1"), 0U);
  EXPECT_EQ(link.LastError(), protocol::kBindStatusNoSuchAdapter);
  EXPECT_FALSE(link.HlInitialize("eth0"));  // answered with error 1
}

TEST(DeviceNames, SystemDriverFirstThenThePerUserDriver) {
  EXPECT_EQ(protocol::DeviceNamesFor("/run/user/1000", 1000),
            (std::vector<std::string>{"/run/harlune/PassThru", "/run/user/1000/harlune/PassThru"}));
  EXPECT_EQ(protocol::DeviceNamesFor(nullptr, 1000)[1], "/tmp/harlune-1000/PassThru");
  EXPECT_EQ(protocol::DeviceNamesFor("", 42)[1], "/tmp/harlune-42/PassThru");
}

}  // namespace
}  // namespace harlune
