// The server's gate: refused clients are closed before any reply, and the
// clients that change the driver's state are named once per session.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "daemon/protocol_client.h"
#include "engine/engine_test_support.h"
#include "passthru/daemon/peer_credentials.h"
#include "passthru/daemon/socket_server.h"
#include "passthru/engine/clock.h"
#include "protocol/request_codes.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::Client;
using testing::TempFolder;

constexpr std::u16string_view kEth0 = u"\\DEVICE\\eth0";

std::vector<std::uint8_t> Bytes(std::span<const std::uint8_t> bytes) {
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> Record(std::uint32_t id = 0) {
  _TBF_SETTING_DATA record = testing::AnyTcpSend(1000);
  record.DriverClassId = id;
  return Bytes(protocol::EncodeTbfSettingData(record));
}

std::vector<std::uint8_t> Id(std::uint32_t id) { return Bytes(protocol::EncodeU32(id)); }

// 127.0.0.1:40000 to 127.0.0.1:40001, ports in network order.
const std::vector<std::uint8_t> kTuple{127, 0, 0, 1, 0x9C, 0x40, 0, 0,
                                       127, 0, 0, 1, 0x9C, 0x41, 0, 0};

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class ClientGateServerTest : public ::testing::Test {
 protected:
  ClientGateServerTest() { engine_.AddAdapter("eth0"); }
  ~ClientGateServerTest() override { Stop(); }

  void Start(ClientGate gate) {
    server_.GuardClients(std::move(gate), log_);
    ASSERT_EQ(server_.Listen(path_), "");
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        server_.Poll(10);
      }
    });
  }
  // The log, read once the server's thread is done with it.
  std::string StoppedLog() {
    Stop();
    return log_.str();
  }
  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  std::uint32_t AddClass(Client& client) {
    const auto reply = client.Request(RequestCode::HlAddTBFClass, Record());
    EXPECT_TRUE(reply && reply->first == 0 && reply->second.size() == 4);
    return reply && reply->second.size() == 4 ? protocol::LoadLe32(reply->second, 0) : 0;
  }
  // "uid U pid P" of this process, as the log names a client of it.
  static std::string OwnClient() {
    return "uid " + std::to_string(::geteuid()) + " pid " + std::to_string(::getpid());
  }

  TempFolder folder_;
  std::filesystem::path path_ = folder_.path() / "PassThru";
  ManualClock clock_;
  PacketEngine engine_{clock_};
  RequestDispatcher dispatcher_{engine_};
  SocketServer server_{dispatcher_};
  std::ostringstream log_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

ClientGate Refusing(std::vector<PeerCredentials>* seen) {
  return {[seen](const PeerCredentials& peer) {
            seen->push_back(peer);
            return false;
          },
          "nobody"};
}

ClientGate Admitting() {
  return {[](const PeerCredentials&) { return true; }, "everybody"};
}

TEST_F(ClientGateServerTest, ARefusedClientIsClosedBeforeAnyReplyWithOneLine) {
  std::vector<PeerCredentials> seen;
  Start(Refusing(&seen));
  for (int i = 0; i < 2; ++i) {
    Client client(path_);
    ASSERT_TRUE(client.connected());
    EXPECT_FALSE(client.Request(RequestCode::HlBindAdapter, protocol::EncodeUtf16Le(kEth0)));
    EXPECT_TRUE(client.ClosedByServer());
  }
  EXPECT_EQ(server_.ConnectionCount(), 0u);
  const std::string log = StoppedLog();
  EXPECT_EQ(CountOf(log, "refused the client of " + OwnClient() + ": only nobody"), 2u) << log;
  // The gate judged the ids the kernel gave, not made-up ones.
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].uid, ::geteuid());
  EXPECT_EQ(seen[0].gid, ::getegid());
  EXPECT_EQ(seen[0].pid, ::getpid());
  // Nothing reached the engine.
  EXPECT_EQ(CountOf(log, "changes the driver"), 0u);
}

TEST_F(ClientGateServerTest, AClientThatChangesManyThingsIsNamedOncePerSession) {
  Start(Admitting());
  Client client(path_);
  ASSERT_TRUE(client.Bind(kEth0));
  ASSERT_EQ(client.Request(RequestCode::HlInitialize)->first, 0u);
  const std::uint32_t id = AddClass(client);
  EXPECT_EQ(client.Request(RequestCode::HlModifyTBFClass, Record(id))->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlUpTBFClass, Id(id))->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlResetTcpConnection, kTuple)->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlStartFiltering)->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlDeleteTBFClass, Id(id))->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlUninitialize)->first, 0u);
  // A new session of the adapter: the client is named again.
  ASSERT_EQ(client.Request(RequestCode::HlInitialize)->first, 0u);
  AddClass(client);
  const std::string log = StoppedLog();
  EXPECT_EQ(CountOf(log, "the client of " + OwnClient() + " changes the driver on eth0"), 2u)
      << log;
  EXPECT_EQ(CountOf(log, "(first HlInitialize)"), 2u) << log;
}

TEST_F(ClientGateServerTest, ReadsAndRequestsThatFailBeforeTheEngineAreNotNamed) {
  Start(Admitting());
  Client reader(path_);
  // Unbound, a change is refused with 21 and changes nothing.
  EXPECT_EQ(reader.Request(RequestCode::HlAddTBFClass, Record())->first,
            protocol::device_error::kNotReady);
  ASSERT_TRUE(reader.Bind(kEth0));
  const std::vector<std::uint8_t> batch{0, 0, 0, 0};  // no classes
  for (const RequestCode code : {RequestCode::HlGetVersion, RequestCode::HlGetTotalStatistics,
                                 RequestCode::HlReadPackets, RequestCode::HlReadPackets6}) {
    EXPECT_EQ(reader.Request(code)->first, 0u) << protocol::RequestName(code);
  }
  EXPECT_EQ(
      reader.Request(static_cast<std::uint32_t>(RequestCode::HlGetStatisticsBatch), batch, 32)
          ->first,
      0u);
  EXPECT_EQ(reader.Request(RequestCode::HlGetTBFClassStatistics, Id(7))->first,
            protocol::device_error::kGenFailure);
  const std::string log = StoppedLog();
  EXPECT_EQ(log, "") << log;
}

// Runs `work` in a child process, a client with a pid of its own: its pid,
// or -1 when `work` failed.
pid_t InChild(const std::function<bool()>& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(work() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return child;
}

TEST_F(ClientGateServerTest, EachClientIsNamedForItsOwnChangesOnce) {
  Start(Admitting());
  const auto addTwice = [this] {
    Client client(path_);
    return client.Bind(kEth0) && AddClass(client) != 0 && AddClass(client) != 0;
  };
  const auto resetOnce = [this] {
    Client client(path_);
    return client.Bind(kEth0) &&
           client.Request(RequestCode::HlResetTcpConnection, kTuple)->first == 0;
  };
  // Several connections of one process are one client, as a program's
  // connection per adapter or per request is.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(addTwice());
  }
  const pid_t adder = InChild(addTwice);
  const pid_t resetter = InChild(resetOnce);
  ASSERT_GT(adder, 0);
  ASSERT_GT(resetter, 0);
  const std::string log = StoppedLog();
  EXPECT_EQ(CountOf(log, "changes the driver on eth0"), 3u) << log;
  EXPECT_EQ(CountOf(log, OwnClient() + " changes the driver on eth0 (first HlAddTBFClass)"), 1u)
      << log;
  EXPECT_EQ(CountOf(log, "pid " + std::to_string(adder) + " changes"), 1u) << log;
  // A reset alone, with no class change, names its client too.
  EXPECT_EQ(CountOf(log, "pid " + std::to_string(resetter) +
                             " changes the driver on eth0 (first HlResetTcpConnection)"),
            1u)
      << log;
}

TEST_F(ClientGateServerTest, AClientIsNamedForEachAdapterItChanges) {
  engine_.AddAdapter("eth1");
  Start(Admitting());
  Client client(path_);
  ASSERT_TRUE(client.Bind(kEth0));
  AddClass(client);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\eth1"));
  AddClass(client);
  ASSERT_TRUE(client.Bind(kEth0));
  AddClass(client);  // still the session on eth0 it was named for
  const std::string log = StoppedLog();
  EXPECT_EQ(CountOf(log, "changes the driver on eth0"), 1u) << log;
  EXPECT_EQ(CountOf(log, "changes the driver on eth1"), 1u) << log;
}

}  // namespace
}  // namespace harlune
