// Who may control the real-mode daemon. Its socket is 0660 root:harlune;
// with the mode loosened by hand to 0666, a client of another uid outside
// the group is still closed before any reply, while root and the group's
// members (by their own or a supplementary group) are served. The clients
// that change the driver are named in the daemon's log once per session.

#include <grp.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "daemon/protocol_client.h"
#include "peer_client.h"
#include "protocol/tbf_setting_data.h"
#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;
using protocol::RequestCode;

// A uid and gid no user of the machine has (nobody's would do as well).
constexpr uid_t kStranger = 65533;
constexpr gid_t kStrangerGroup = 65533;
constexpr const char* kGroupName = "harlune";

std::optional<gid_t> GroupId(const char* name) {
  const group* found = ::getgrnam(name);
  return found == nullptr ? std::nullopt : std::optional<gid_t>(found->gr_gid);
}

// The group `harlune` for the test: the machine's when it has one, else one
// made for the test and removed after it.
class DriverGroup {
 public:
  explicit DriverGroup(const std::filesystem::path& output) : output_(output) {
    gid_ = GroupId(kGroupName);
    if (!gid_ && Run("/usr/sbin/groupadd", {"--system", kGroupName})) {
      made_ = true;
      gid_ = GroupId(kGroupName);
    }
  }
  ~DriverGroup() {
    if (made_) {
      Run("/usr/sbin/groupdel", {kGroupName});
    }
  }
  DriverGroup(const DriverGroup&) = delete;
  DriverGroup& operator=(const DriverGroup&) = delete;
  std::optional<gid_t> Gid() const { return gid_; }

 private:
  bool Run(const std::string& program, const std::vector<std::string>& arguments) const {
    Child child(program, arguments, {}, output_);
    return child.Started() && child.WaitForExit(30s) == std::optional<int>(0);
  }
  std::filesystem::path output_;
  std::optional<gid_t> gid_;
  bool made_ = false;
};

std::vector<std::uint8_t> Frame(RequestCode code, std::span<const std::uint8_t> input = {}) {
  return protocol::EncodeRequest(static_cast<std::uint32_t>(code), input,
                                 static_cast<std::uint32_t>(protocol::LayoutOf(code).outputSize));
}

std::vector<std::uint8_t> BindFrame() {
  const std::string name = kDaemonVeth;
  return Frame(RequestCode::HlBindAdapter,
               protocol::EncodeUtf16Le(u"\\DEVICE\\" + std::u16string(name.begin(), name.end())));
}

// A bind to the veth and a version request: two replies.
std::vector<std::uint8_t> BindAndVersion() {
  std::vector<std::uint8_t> frames = BindFrame();
  const std::vector<std::uint8_t> version = Frame(RequestCode::HlGetVersion);
  frames.insert(frames.end(), version.begin(), version.end());
  return frames;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class RealModeAccessTest : public RealModeTest {
 protected:
  // What a client outside root and the group would need to reach the
  // socket, were it not for the daemon's own check.
  void LoosenByHand() {
    for (const std::filesystem::path& folder :
         {runtime_.path(), runtime_.path() / "run", socket_.parent_path()}) {
      ASSERT_EQ(::chmod(folder.c_str(), 0755), 0) << folder;
    }
    ASSERT_EQ(::chmod(socket_.c_str(), 0666), 0);
  }
  PeerOutcome As(const PeerIdentity& identity, pid_t* pid = nullptr) {
    const PeerRun run = RunPeer(socket_, identity, BindAndVersion(), 2);
    if (pid != nullptr) {
      *pid = run.pid;
    }
    return run.outcome;
  }
  std::string DaemonLog() { return ReadFileText(runtime_.path() / "daemon.out"); }
  void Stop(std::unique_ptr<Child> daemon) {
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(0)) << DaemonLog();
  }
};

TEST_F(RealModeAccessTest, OnALoosenedSocketOnlyRootAndTheGroupAreServed) {
  const DriverGroup group(runtime_.path() / "groupadd.out");
  ASSERT_TRUE(group.Gid().has_value()) << ReadFileText(runtime_.path() / "groupadd.out");
  const gid_t driverGroup = *group.Gid();
  auto daemon = StartDaemon();
  struct stat info {};
  ASSERT_EQ(::stat(socket_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0660u);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, driverGroup);
  LoosenByHand();

  pid_t stranger = -1;
  EXPECT_EQ(As({kStranger, kStrangerGroup, {}}, &stranger), PeerOutcome::ClosedUnanswered);
  // Root's group is not root.
  EXPECT_EQ(As({kStranger, 0, {0}}), PeerOutcome::ClosedUnanswered);
  pid_t member = -1;
  EXPECT_EQ(As({kStranger, driverGroup, {}}, &member), PeerOutcome::Served);
  EXPECT_EQ(As({kStranger, kStrangerGroup, {driverGroup}}), PeerOutcome::Served);
  EXPECT_EQ(As({0, 0, {}}), PeerOutcome::Served);
  // And the test itself, root, as the application talks.
  std::array<std::uint8_t, 4> version{};
  EXPECT_TRUE(RawRequest(RequestCode::HlGetVersion, {}, version).succeeded);

  const std::string log = DaemonLog();
  EXPECT_EQ(CountOf(log, "refused the client of uid " + std::to_string(kStranger) + " pid " +
                             std::to_string(stranger) + ":"),
            1u)
      << log;
  EXPECT_EQ(CountOf(log, "refused"), 2u) << log;
  EXPECT_EQ(CountOf(log, "pid " + std::to_string(member) + ":"), 0u) << log;
  Stop(std::move(daemon));
}

TEST_F(RealModeAccessTest, WithoutTheGroupOnlyRootIsServed) {
  if (GroupId(kGroupName)) {
    GTEST_SKIP() << "the machine has a group " << kGroupName
                 << ": a daemon without it cannot be started here";
  }
  auto daemon = StartDaemon();
  struct stat info {};
  ASSERT_EQ(::stat(socket_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  LoosenByHand();
  for (const gid_t gid : {kStrangerGroup, gid_t{0}, gid_t{999}}) {
    EXPECT_EQ(As({kStranger, gid, {gid}}), PeerOutcome::ClosedUnanswered) << gid;
  }
  EXPECT_EQ(As({0, kStrangerGroup, {}}), PeerOutcome::Served);
  const std::string log = DaemonLog();
  EXPECT_EQ(CountOf(log, "refused the client of uid " + std::to_string(kStranger)), 3u) << log;
  EXPECT_NE(log.find("there is no group harlune"), std::string::npos) << log;
  Stop(std::move(daemon));
}

std::vector<std::uint8_t> RecordBytes(std::uint32_t id) {
  _TBF_SETTING_DATA record;
  record.DriverClassId = id;
  record.TBFRate = 100000;
  record.Protocol = 6;
  const auto bytes = protocol::EncodeTbfSettingData(record);
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> U32(std::uint32_t value) {
  const auto bytes = protocol::EncodeU32(value);
  return {bytes.begin(), bytes.end()};
}

// One session's changes of every kind, a reset among them, on one client.
void ChangeEverything(Client& client) {
  ASSERT_EQ(client.Request(RequestCode::HlInitialize)->first, 0u);
  const auto added = client.Request(RequestCode::HlAddTBFClass, RecordBytes(0));
  ASSERT_TRUE(added && added->first == 0 && added->second.size() == 4);
  const std::uint32_t id = protocol::LoadLe32(added->second, 0);
  EXPECT_EQ(client.Request(RequestCode::HlModifyTBFClass, RecordBytes(id))->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlStartFiltering)->first, 0u);
  std::vector<std::uint8_t> rate = U32(id);
  const std::vector<std::uint8_t> value = U32(50000);
  rate.insert(rate.end(), value.begin(), value.end());
  EXPECT_EQ(client.Request(RequestCode::HlSetTBFClassRate, rate)->first, 0u);
  // 198.18.0.1:40000 to 198.18.0.2:5201: no such connection, yet a reset.
  const std::vector<std::uint8_t> tuple{198, 18, 0, 1, 0x9C, 0x40, 0, 0,
                                        198, 18, 0, 2, 0x14, 0x51, 0, 0};
  EXPECT_EQ(client.Request(RequestCode::HlResetTcpConnection, tuple)->first, 0u);
  EXPECT_EQ(client.Request(RequestCode::HlDeleteTBFClass, U32(id))->first, 0u);
}

// A reader in a process of its own: statistics, captures and the version.
std::vector<std::uint8_t> Reads() {
  std::vector<std::uint8_t> frames = BindFrame();
  for (const RequestCode code : {RequestCode::HlGetTotalStatistics, RequestCode::HlReadPackets,
                                 RequestCode::HlReadPackets6, RequestCode::HlGetVersion}) {
    const std::vector<std::uint8_t> frame = Frame(code);
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  const std::vector<std::uint8_t> batch = protocol::EncodeRequest(
      static_cast<std::uint32_t>(RequestCode::HlGetStatisticsBatch), U32(0), 32);
  frames.insert(frames.end(), batch.begin(), batch.end());
  return frames;
}

TEST_F(RealModeAccessTest, NamesEachClientThatChangesTheDriverOncePerSession) {
  auto daemon = StartDaemon();
  const std::string self = "the client of uid 0 pid " + std::to_string(::getpid()) +
                           " changes the driver on " + kDaemonVeth;
  {
    Client client(socket_);
    ASSERT_TRUE(client.Bind(u"\\DEVICE\\hlrt0"));
    ChangeEverything(client);
    // A second connection of the same program is the same client.
    Client another(socket_);
    ASSERT_TRUE(another.Bind(u"\\DEVICE\\hlrt0"));
    EXPECT_EQ(another.Request(RequestCode::HlStopFiltering)->first, 0u);
  }
  const PeerRun reader = RunPeer(socket_, {0, 0, {}}, Reads(), 6);
  EXPECT_EQ(reader.outcome, PeerOutcome::Served) << OutcomeName(reader.outcome);
  std::string log = DaemonLog();
  EXPECT_EQ(CountOf(log, self + " (first HlInitialize)"), 1u) << log;
  EXPECT_EQ(CountOf(log, "changes the driver"), 1u) << log;
  EXPECT_EQ(CountOf(log, "pid " + std::to_string(reader.pid) + " "), 0u) << log;

  // The next session names the client again, once.
  Client client(socket_);
  ASSERT_TRUE(client.Bind(u"\\DEVICE\\hlrt0"));
  ChangeEverything(client);
  EXPECT_EQ(client.Request(RequestCode::HlUninitialize)->first, 0u);
  log = DaemonLog();
  EXPECT_EQ(CountOf(log, self + " (first HlInitialize)"), 2u) << log;
  EXPECT_EQ(CountOf(log, "changes the driver"), 2u) << log;
  Stop(std::move(daemon));
}

}  // namespace
}  // namespace harlune::testing
