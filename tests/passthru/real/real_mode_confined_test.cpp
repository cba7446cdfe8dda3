// harlune-passthru --real under its systemd unit's restrictions, as far as
// they can be made without systemd (confined_daemon.h): the capability
// bounding set and NoNewPrivileges are read from the unit itself, so that
// the test and the unit cannot drift apart. The daemon still shapes a flow
// and removes its rules on SIGTERM; without CAP_NET_ADMIN it cannot start,
// without CAP_CHOWN its socket cannot be given to the harlune group.

#include <algorithm>
#include <csignal>
#include <set>
#include <sstream>

#include <sys/stat.h>

#include "confined_daemon.h"
#include "e2e_support.h"
#include "real_mode_fixture.h"

namespace harlune::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLimit = 1024 * 1024;  // bytes per second
constexpr std::uint16_t kLimitedPort = kFirstServerPort;
constexpr int kExitSocketUnusable = 4;
constexpr int kExitRealMode = 5;
// The daemon's view of /etc/group has a harlune group of this id, so that
// the socket's group does not depend on the machine's groups.
constexpr gid_t kDriverGroupId = 64999;
constexpr const char* kCapsh = "/usr/sbin/capsh";

std::set<std::string> LowerCase(const std::vector<std::string>& names) {
  std::set<std::string> lower;
  for (std::string name : names) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    lower.insert(name);
  }
  return lower;
}

// A field of /proc/PID/status ("CapBnd", "NoNewPrivs").
std::string StatusField(pid_t pid, const std::string& field) {
  std::istringstream lines(
      ReadFileText(std::filesystem::path("/proc") / std::to_string(pid) / "status"));
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(field + ":")) {
      continue;
    }
    const std::vector<std::string> words = Words(line.substr(field.size() + 1));
    return words.empty() ? std::string() : words.front();
  }
  return {};
}

class ConfinedRealModeTest : public RealModeTest {
 protected:
  void SetUp() override {
    RealModeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    for (const char* program : {"/usr/bin/setpriv", kCapsh}) {
      if (!std::filesystem::exists(program)) {
        GTEST_SKIP() << program << " is missing (util-linux, libcap2-bin)";
      }
    }
    ASSERT_EQ(UnitValue(HARLUNE_UNIT_FILE, "NoNewPrivileges"), "yes");
    capabilities_ = Words(UnitValue(HARLUNE_UNIT_FILE, "CapabilityBoundingSet"));
    ASSERT_FALSE(capabilities_.empty()) << HARLUNE_UNIT_FILE << " has no CapabilityBoundingSet";
    umask_ = static_cast<mode_t>(std::stoul(UnitValue(HARLUNE_UNIT_FILE, "UMask"), nullptr, 8));
  }

  std::unique_ptr<ConfinedDaemon> StartConfined(const std::vector<std::string>& capabilities) {
    std::filesystem::remove(socket_);
    std::filesystem::create_directories(runtime_.path() / "scratch");
    Confinement confinement;
    confinement.networkNamespace = kDaemonSide;
    confinement.capabilities = capabilities;
    confinement.umask = umask_;
    confinement.writable = socket_.parent_path();
    confinement.scratch = runtime_.path() / "scratch";
    confinement.groupFile = GroupFile();
    return std::make_unique<ConfinedDaemon>(
        confinement,
        std::vector<std::string>{HARLUNE_PASSTHRU_BIN, "--real", "--socket", socket_.string()},
        DaemonOutput());
  }

  // The machine's groups with a harlune group of kDriverGroupId.
  std::filesystem::path GroupFile() const {
    std::istringstream lines(ReadFileText("/etc/group"));
    std::string groups;
    for (std::string line; std::getline(lines, line);) {
      groups += line.starts_with("harlune:") ? "" : line + "\n";
    }
    const std::filesystem::path file = runtime_.path() / "group";
    WriteFileText(file, groups + "harlune:x:" + std::to_string(kDriverGroupId) + ":\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    return file;
  }

  std::filesystem::path DaemonOutput() const { return runtime_.path() / "daemon.out"; }

  // The names libcap gives the bounding set of the process.
  std::set<std::string> BoundingSet(pid_t pid) {
    const std::filesystem::path out = runtime_.path() / "capsh.out";
    Child capsh(kCapsh, {"--decode=" + StatusField(pid, "CapBnd")}, {}, out);
    capsh.WaitForExit(5s);
    const std::string text = ReadFileText(out);
    std::set<std::string> names;
    std::istringstream list(text.substr(text.find('=') + 1));
    for (std::string name; std::getline(list, name, ',');) {
      names.insert(Words(name).empty() ? name : Words(name).front());
    }
    return names;
  }

  void ExpectConfined(pid_t pid) {
    EXPECT_EQ(BoundingSet(pid), LowerCase(capabilities_));
    EXPECT_EQ(StatusField(pid, "CapEff"), StatusField(pid, "CapBnd"));
    EXPECT_EQ(StatusField(pid, "NoNewPrivs"), "1");
    EXPECT_EQ(WritableMounts(pid), std::vector<std::string>{socket_.parent_path().string()});
  }

  // The daemon sets the socket's mode itself, whatever the unit's umask.
  void ExpectSocketMode() {
    struct stat status {};
    ASSERT_EQ(::stat(socket_.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0660u);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, kDriverGroupId);
  }

  std::vector<std::string> capabilities_;
  mode_t umask_ = 0077;
};

TEST_F(ConfinedRealModeTest, ShapesAndRemovesItsRulesOnSigtermUnderTheUnitsRestrictions) {
  auto daemon = StartConfined(capabilities_);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(socket_); }, 5s))
      << ReadFileText(DaemonOutput());
  ExpectConfined(daemon->Pid());
  ExpectSocketMode();

  ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
  PacketFilterSetting filter = SendFilter("limited", 6, kLimitedPort, kLimit, 0);
  ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, filter));
  ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
  ASSERT_TRUE(WaitFor([this] { return VethQueued() && VethQueued6(); }, 10s))
      << QueueRules() << QueueRules6() << ReadFileText(DaemonOutput());
  const Measured limited = Iperf(kLimitedPort, "", 8, 3);
  EXPECT_NEAR(limited.Rate(), kLimit, kLimit * 0.1) << limited.json;
  EXPECT_GE(static_cast<double>(ClassBytes(filter.DriverClassId)), limited.bytes);

  ASSERT_TRUE(daemon->Signal(SIGTERM));
  EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(0)) << ReadFileText(DaemonOutput());
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
  EXPECT_EQ(QueueRules6().find("HARLUNE"), std::string::npos) << QueueRules6();
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_EQ(ReadFileText(DaemonOutput()).find("cannot"), std::string::npos)
      << ReadFileText(DaemonOutput());
}

// The bounding set is what the daemon gets: without CAP_NET_ADMIN iptables
// refuses, and real mode ends with its exit code, leaving no chain.
TEST_F(ConfinedRealModeTest, WithoutNetAdminRealModeCannotStart) {
  std::vector<std::string> fewer = capabilities_;
  std::erase(fewer, "CAP_NET_ADMIN");
  ASSERT_LT(fewer.size(), capabilities_.size()) << "the unit lacks CAP_NET_ADMIN";
  auto daemon = StartConfined(fewer);
  EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(kExitRealMode))
      << ReadFileText(DaemonOutput());
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

// Root is no member of the harlune group: without CAP_CHOWN the socket
// cannot be given to it, and the daemon ends, removing the chains it made.
TEST_F(ConfinedRealModeTest, WithoutChownTheSocketCannotBeGivenToTheGroup) {
  std::vector<std::string> fewer = capabilities_;
  std::erase(fewer, "CAP_CHOWN");
  ASSERT_LT(fewer.size(), capabilities_.size()) << "the unit lacks CAP_CHOWN";
  auto daemon = StartConfined(fewer);
  EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(kExitSocketUnusable))
      << ReadFileText(DaemonOutput());
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
  EXPECT_EQ(QueueRules6().find("HARLUNE"), std::string::npos) << QueueRules6();
}

}  // namespace
}  // namespace harlune::testing
