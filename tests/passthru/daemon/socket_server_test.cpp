// The daemon's server driven over a real socket with every request code.

#include "passthru/daemon/socket_server.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "daemon/protocol_client.h"
#include "engine/engine_test_support.h"
#include "passthru/daemon/socket_path.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/utf16.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::Client;
using testing::TempFolder;
namespace device_error = protocol::device_error;

std::vector<std::uint8_t> RecordBytes(std::uint32_t id = 0) {
  _TBF_SETTING_DATA record = testing::AnyTcpSend(1000);
  record.DriverClassId = id;
  const auto bytes = protocol::EncodeTbfSettingData(record);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> U32(std::uint32_t value) {
  const auto bytes = protocol::EncodeU32(value);
  return {bytes.begin(), bytes.end()};
}

class SocketServerTest : public ::testing::Test {
 protected:
  SocketServerTest() {
    engine_.AddAdapter("eth0");
    path_ = folder_.path() / "PassThru";
    listenError_ = server_.Listen(path_);
    if (listenError_.empty()) {
      thread_ = std::thread([this] {
        while (!stop_.load()) {
          server_.Poll(10);
        }
      });
    }
  }
  ~SocketServerTest() override {
    stop_.store(true);
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  void SetUp() override { ASSERT_EQ(listenError_, ""); }

  // A bound connection's request for a class added on a fresh connection.
  std::uint32_t AddClass() {
    Client client(path_);
    EXPECT_TRUE(client.Bind(u"\\DEVICE\\eth0"));
    const auto reply = client.Request(RequestCode::HlAddTBFClass, RecordBytes());
    EXPECT_TRUE(reply && reply->first == 0 && reply->second.size() == 4);
    return reply && reply->second.size() == 4 ? protocol::LoadLe32(reply->second, 0) : 0;
  }

  TempFolder folder_;
  std::filesystem::path path_;
  ManualClock clock_;
  PacketEngine engine_{clock_};
  RequestDispatcher dispatcher_{engine_};
  SocketServer server_{dispatcher_};
  std::string listenError_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(SocketServerTest, EveryRequestCodeWithCorrectSizesSucceedsAfterABind) {
  const std::uint32_t id = AddClass();
  const std::vector<std::pair<RequestCode, std::vector<std::uint8_t>>> requests{
      {RequestCode::HlGetVersion, {}},
      {RequestCode::HlAddTBFClass, RecordBytes()},
      {RequestCode::HlModifyTBFClass, RecordBytes(id)},
      {RequestCode::HlUpTBFClass, U32(id)},
      {RequestCode::HlDownTBFClass, U32(id)},
      {RequestCode::HlSetTBFClassRate,
       [id] {
         auto bytes = U32(id);
         const auto rate = U32(5000);
         bytes.insert(bytes.end(), rate.begin(), rate.end());
         return bytes;
       }()},
      {RequestCode::HlSetApplicationPorts, *protocol::EncodeApplicationPorts({id, {80}})},
      {RequestCode::HlResetTraffic, {}},
      {RequestCode::HlStartFiltering, {}},
      {RequestCode::HlStopFiltering, {}},
      {RequestCode::HlGetTBFClassStatistics, U32(id)},
      {RequestCode::HlGetTotalStatistics, {}},
      {RequestCode::HlReadPackets, {}},
      {RequestCode::HlDeleteTBFClass, U32(id)},
      {RequestCode::HlReleaseAdapter, {}},
      {RequestCode::HlUninitialize, {}},
      {RequestCode::HlInitialize, {}},
  };
  for (const auto& [code, input] : requests) {
    // One-shot connections, as the application makes them.
    Client client(path_);
    ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth0"));
    const auto reply = client.Request(code, input);
    ASSERT_TRUE(reply.has_value()) << protocol::RequestName(code);
    EXPECT_EQ(reply->first, 0u) << protocol::RequestName(code);
    if (code == RequestCode::HlGetVersion) {
      EXPECT_EQ(protocol::DecodeVersion(reply->second), protocol::kDriverVersion);
    }
  }
}

TEST_F(SocketServerTest, ErrorsComeBackAsTheirNumbers) {
  Client client(path_);
  ASSERT_TRUE(client.connected());
  for (const RequestCode code : {RequestCode::HlGetVersion, RequestCode::HlInitialize,
                                 RequestCode::HlReadPackets, RequestCode::HlGetTotalStatistics}) {
    EXPECT_EQ(client.Request(code)->first, device_error::kNotReady);
  }
  EXPECT_EQ(client.Request(0x22222222u, {}, 0)->first, device_error::kInvalidFunction);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth7", protocol::kBindStatusNoSuchAdapter));
  EXPECT_EQ(client.Request(RequestCode::HlGetVersion)->first, device_error::kNotReady);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth0"));
  EXPECT_EQ(client.Request(static_cast<std::uint32_t>(RequestCode::HlGetVersion), {}, 8)->first,
            device_error::kInvalidParameter);
  EXPECT_EQ(client.Request(RequestCode::HlDeleteTBFClass, U32(999))->first,
            device_error::kGenFailure);
  // The connection still serves after every failure.
  EXPECT_EQ(client.Request(RequestCode::HlGetVersion)->first, 0u);
}

TEST_F(SocketServerTest, OversizedFramesCloseTheConnectionAndTheServerGoesOn) {
  for (const auto& header : {protocol::RequestHeader{0x001260EC, 65537, 4},
                             protocol::RequestHeader{0x001260EC, 0, 65537},
                             protocol::RequestHeader{0x001260EC, 0xFFFFFFFF, 0xFFFFFFFF}}) {
    Client client(path_);
    ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth0"));
    ASSERT_TRUE(client.SendBytes(protocol::EncodeRequestHeader(header)));
    EXPECT_TRUE(client.ClosedByServer());
  }
  Client next(path_);
  ASSERT_TRUE(next.Bind(u"\\DEVICE\\eth0"));
  EXPECT_EQ(next.Request(RequestCode::HlGetVersion)->first, 0u);
}

TEST_F(SocketServerTest, AFrameOfTheLargestAllowedSizeIsAnswered) {
  Client client(path_);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth0"));
  const std::vector<std::uint8_t> input(protocol::kMaxFrameBuffer, 0);
  const auto reply = client.Request(static_cast<std::uint32_t>(RequestCode::HlGetVersion), input,
                                    protocol::kMaxFrameBuffer);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->first, device_error::kInvalidParameter);
}

TEST_F(SocketServerTest, FramesSplitOrRunTogetherAreServedInOrder) {
  Client client(path_);
  std::vector<std::uint8_t> bytes =
      protocol::EncodeRequest(0x0012C808, protocol::EncodeUtf16Le(u"\\DEVICE\\eth0"), 4);
  for (int i = 0; i < 3; ++i) {
    const auto version = protocol::EncodeRequest(0x001260EC, {}, 4);
    bytes.insert(bytes.end(), version.begin(), version.end());
  }
  // Byte by byte for the first frame, the rest in one go.
  for (std::size_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(client.SendBytes(std::span(bytes).subspan(i, 1)));
  }
  ASSERT_TRUE(client.SendBytes(std::span(bytes).subspan(30)));
  EXPECT_EQ(client.Receive()->second, U32(0));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client.Receive()->second, U32(protocol::kDriverVersion));
  }
}

TEST_F(SocketServerTest, ManyConnectionsKeepTheirOwnBindState) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(std::make_unique<Client>(path_));
    if (i % 2 == 0) {
      ASSERT_TRUE(clients.back()->Bind(u"\\DEVICE\\eth0"));
    }
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    EXPECT_EQ(clients[i]->Request(RequestCode::HlGetVersion)->first,
              i % 2 == 0 ? 0u : device_error::kNotReady);
  }
}

TEST(SocketServerListen, ATakenOrUnwritablePathIsAClearError) {
  TempFolder folder;
  ManualClock clock;
  PacketEngine engine(clock);
  RequestDispatcher dispatcher(engine);
  SocketServer first(dispatcher);
  ASSERT_EQ(first.Listen(folder.path() / "s"), "");
  SocketServer second(dispatcher);
  EXPECT_NE(second.Listen(folder.path() / "s").find("Address already in use"), std::string::npos);
  SocketServer third(dispatcher);
  EXPECT_NE(third.Listen(folder.path() / "missing" / "s").find("missing"), std::string::npos);
}

TEST(SocketServerListen, TheSocketFileGoesWithTheServer) {
  TempFolder folder;
  ManualClock clock;
  PacketEngine engine(clock);
  RequestDispatcher dispatcher(engine);
  {
    SocketServer server(dispatcher);
    ASSERT_EQ(server.Listen(folder.path() / "s"), "");
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "s"));
  }
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "s"));
}

TEST(PrepareSocketPath, RefusesLiveSocketsAndOtherFilesAndClearsStaleOnes) {
  TempFolder folder;
  const auto path = folder.path() / "PassThru";
  EXPECT_EQ(PrepareSocketPath(path, false).status, SocketPathResult::Status::Ready);

  ManualClock clock;
  PacketEngine engine(clock);
  RequestDispatcher dispatcher(engine);
  {
    SocketServer server(dispatcher);
    ASSERT_EQ(server.Listen(path), "");
    EXPECT_EQ(PrepareSocketPath(path, false).status, SocketPathResult::Status::InUse);
  }
  // A socket file left by a daemon that died.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  EXPECT_EQ(PrepareSocketPath(path, false).status, SocketPathResult::Status::Ready);
  EXPECT_FALSE(std::filesystem::exists(path));

  std::filesystem::create_directory(path);
  EXPECT_EQ(PrepareSocketPath(path, false).status, SocketPathResult::Status::InUse);
}

TEST(PrepareSocketPath, CreatesThePerUserFolderPrivate) {
  TempFolder folder;
  const auto userFolder = folder.path() / "harlune";
  ASSERT_EQ(PrepareSocketPath(userFolder / "PassThru", true).status,
            SocketPathResult::Status::Ready);
  EXPECT_EQ(std::filesystem::status(userFolder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  std::filesystem::permissions(userFolder, std::filesystem::perms::all);
  ASSERT_EQ(PrepareSocketPath(userFolder / "PassThru", true).status,
            SocketPathResult::Status::Ready);
  EXPECT_EQ(std::filesystem::status(userFolder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  std::filesystem::remove(userFolder);
  { std::ofstream(userFolder) << "x"; }
  EXPECT_EQ(PrepareSocketPath(userFolder / "PassThru", true).status,
            SocketPathResult::Status::Unusable);
}

}  // namespace
}  // namespace harlune
