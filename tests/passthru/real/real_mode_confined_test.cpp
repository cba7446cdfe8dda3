// harlune-passthru --real under its systemd unit's restrictions, as far as
// they can be made without systemd (confined_daemon.h): the capability
// bounding set and NoNewPrivileges are read from the unit itself, so that
// the test and the unit cannot drift apart. The daemon still shapes a flow
// and removes its rules on SIGTERM; without CAP_NET_ADMIN it cannot start,
// without CAP_CHOWN its socket cannot be given to the harlune group.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
constexpr const char* kStrace = "/usr/bin/strace";
constexpr const char* kSystemdAnalyze = "/usr/bin/systemd-analyze";
// The connection the tests reset goes to the peer's last iperf3 server, out
// of the way of the measured flows.
constexpr std::uint16_t kResetPort = kLastServerPort;

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

// What `systemd-analyze syscall-filter` lists for a group, its own groups
// expanded; a plain call name stands for itself.
std::set<std::string> SystemCalls(const std::string& name, const std::filesystem::path& scratch) {
  if (!name.starts_with("@")) {
    return {name};
  }
  const std::filesystem::path out = scratch / "syscall-filter.out";
  Child analyze(kSystemdAnalyze, {"syscall-filter", name}, {}, out);
  analyze.WaitForExit(10s);
  std::istringstream lines(ReadFileText(out));
  std::set<std::string> calls;
  std::string line;
  std::getline(lines, line);  // the group's own name
  while (std::getline(lines, line)) {
    const std::vector<std::string> words = Words(line);
    if (!words.empty() && !words.front().starts_with("#")) {
      const std::set<std::string> named = SystemCalls(words.front(), scratch);
      calls.insert(named.begin(), named.end());
    }
  }
  return calls;
}

// The calls the unit's SystemCallFilter= lines allow, taken in order: the
// first is an allow list, a later "~" line takes its calls out again.
std::set<std::string> AllowedSystemCalls(const std::filesystem::path& scratch) {
  std::set<std::string> allowed;
  for (const std::string& line : UnitValues(HARLUNE_UNIT_FILE, "SystemCallFilter")) {
    const bool deny = line.starts_with("~");
    for (const std::string& name : Words(deny ? line.substr(1) : line)) {
      for (const std::string& call : SystemCalls(name, scratch)) {
        if (deny) {
          allowed.erase(call);
        } else {
          allowed.insert(call);
        }
      }
    }
  }
  return allowed;
}

struct Traced {
  std::set<std::string> calls;
  std::set<std::string> families;  // of the socket() calls
};

// `strace -f -o` lines: "PID name(arguments) = result".
Traced ReadTrace(const std::filesystem::path& trace) {
  static const std::regex kCall(R"(^\d+\s+([a-z_0-9]+)\((AF_[A-Z0-9]+)?)");
  std::istringstream lines(ReadFileText(trace));
  Traced traced;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, kCall)) {
      traced.calls.insert(match[1]);
      if (match[1] == "socket" && match[2].matched) {
        traced.families.insert(match[2]);
      }
    }
  }
  return traced;
}

// A TCP connection from the daemon's namespace to the peer, made by a
// thread that enters the namespace (a network namespace is a thread's own).
int ConnectInDaemonSide(std::uint16_t port) {
  int fd = -1;
  std::thread([&fd, port] {
    const int netns =
        ::open((std::string("/run/netns/") + kDaemonSide).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = netns >= 0 && ::setns(netns, CLONE_NEWNET) == 0;
    if (netns >= 0) {
      ::close(netns);
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    ::inet_pton(AF_INET, kPeerAddress, &peer.sin_addr);
    fd = entered ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
      ::close(fd);
      fd = -1;
    }
  }).join();
  return fd;
}

TcpFourTuple TupleOf(int fd) {
  sockaddr_in local{};
  sockaddr_in remote{};
  socklen_t size = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  size = sizeof remote;
  ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &size);
  return {IpAddress::FromIpv4(local.sin_addr.s_addr), local.sin_port,
          IpAddress::FromIpv4(remote.sin_addr.s_addr), remote.sin_port};
}

class ConfinedRealModeTest : public RealModeTest {
 protected:
  void SetUp() override {
    RealModeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    for (const char* program : {"/usr/bin/setpriv", kCapsh}) {
      ASSERT_TRUE(std::filesystem::exists(program))
          << program << " is missing (packages util-linux, libcap2-bin)";
    }
    ASSERT_EQ(UnitValue(HARLUNE_UNIT_FILE, "NoNewPrivileges"), "yes");
    capabilities_ = Words(UnitValue(HARLUNE_UNIT_FILE, "CapabilityBoundingSet"));
    ASSERT_FALSE(capabilities_.empty()) << HARLUNE_UNIT_FILE << " has no CapabilityBoundingSet";
    const std::string umask = UnitValue(HARLUNE_UNIT_FILE, "UMask");
    ASSERT_FALSE(umask.empty()) << HARLUNE_UNIT_FILE << " has no UMask";
    umask_ = static_cast<mode_t>(std::stoul(umask, nullptr, 8));
  }

  // `wrapper` runs the daemon (strace, say).
  std::unique_ptr<ConfinedDaemon> StartConfined(const std::vector<std::string>& capabilities,
                                                const std::vector<std::string>& wrapper = {}) {
    std::filesystem::remove(socket_);
    std::filesystem::create_directories(runtime_.path() / "scratch");
    Confinement confinement;
    confinement.networkNamespace = kDaemonSide;
    confinement.capabilities = capabilities;
    confinement.umask = umask_;
    confinement.writable = socket_.parent_path();
    confinement.scratch = runtime_.path() / "scratch";
    confinement.groupFile = GroupFile();
    std::vector<std::string> command = wrapper;
    command.insert(command.end(), {HARLUNE_PASSTHRU_BIN, "--real", "--socket", socket_.string()});
    return std::make_unique<ConfinedDaemon>(confinement, command, DaemonOutput());
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

  // SOCK_DESTROY with the unit's capabilities: the daemon ends a live
  // connection of its namespace.
  void ExpectAResetEndsAConnection() {
    const int fd = ConnectInDaemonSide(kResetPort);
    ASSERT_GE(fd, 0) << "cannot connect to the peer: " << std::strerror(errno);
    const DriverResetReply reply = driver_->HlResetTcpConnection(kDaemonVeth, TupleOf(fd));
    EXPECT_EQ(reply.status, std::optional<std::uint32_t>(0)) << reply.deviceError;
    char byte = 0;
    const ssize_t received = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    const int error = errno;
    ::close(fd);
    EXPECT_EQ(received, -1);
    EXPECT_EQ(error, ECONNABORTED) << std::strerror(error);
  }

  // A session with a limiting class on the veth, queued in both families.
  void StartLimitedSession(PacketFilterSetting& filter) {
    ASSERT_TRUE(driver_->HlInitialize(kDaemonVeth));
    filter = SendFilter("limited", 6, kLimitedPort, kLimit, 0);
    ASSERT_TRUE(driver_->HlAddTBFClass(kDaemonVeth, filter));
    ASSERT_TRUE(driver_->HlStartFiltering(kDaemonVeth));
    ASSERT_TRUE(WaitFor([this] { return VethQueued() && VethQueued6(); }, 10s))
        << QueueRules() << QueueRules6() << ReadFileText(DaemonOutput());
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

  PacketFilterSetting filter;
  StartLimitedSession(filter);
  if (HasFatalFailure()) {
    return;
  }
  const Measured limited = Iperf(kLimitedPort, "", 8, 3);
  EXPECT_NEAR(limited.Rate(), kLimit, kLimit * 0.1) << limited.json;
  EXPECT_GE(static_cast<double>(ClassBytes(filter.DriverClassId)), limited.bytes);
  ExpectAResetEndsAConnection();

  ASSERT_TRUE(daemon->Signal(SIGTERM));
  EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(0)) << ReadFileText(DaemonOutput());
  EXPECT_EQ(QueueRules().find("HARLUNE"), std::string::npos) << QueueRules();
  EXPECT_EQ(QueueRules6().find("HARLUNE"), std::string::npos) << QueueRules6();
  EXPECT_FALSE(std::filesystem::exists(socket_));
  EXPECT_EQ(ReadFileText(DaemonOutput()).find("cannot"), std::string::npos)
      << ReadFileText(DaemonOutput());
}

// Under strace, in the same confinement: every system call the daemon and
// the iptables it runs make in a session (rules, the verdict queue, the
// capture, a reset) and on SIGTERM is one the unit's SystemCallFilter=
// lines allow, and every socket they open is of a family
// RestrictAddressFamilies= lets through. The filters themselves only
// systemd can set up.
TEST_F(ConfinedRealModeTest, TheDaemonAndIptablesCallOnlyWhatTheUnitsFiltersAllow) {
  ASSERT_TRUE(std::filesystem::exists(kStrace)) << kStrace << " is missing (package strace)";
  const std::filesystem::path trace = socket_.parent_path() / "trace";
  auto daemon = StartConfined(capabilities_, {kStrace, "-f", "-qq", "-o", trace.string()});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(socket_); }, 10s))
      << ReadFileText(DaemonOutput());
  PacketFilterSetting filter;
  StartLimitedSession(filter);
  if (HasFatalFailure()) {
    return;
  }
  EXPECT_GT(Iperf(kLimitedPort, "", 2).bytes, 0);
  ExpectAResetEndsAConnection();
  // The daemon is strace's child; strace ends with it.
  const std::optional<pid_t> traced = ChildProcess(daemon->Pid());
  ASSERT_TRUE(traced.has_value());
  ASSERT_EQ(::kill(*traced, SIGTERM), 0);
  ASSERT_EQ(daemon->WaitForExit(20s), std::optional<int>(0)) << ReadFileText(DaemonOutput());

  const Traced calls = ReadTrace(trace);
  ASSERT_TRUE(calls.calls.contains("execve")) << ReadFileText(trace).substr(0, 2000);
  const std::set<std::string> allowed = AllowedSystemCalls(runtime_.path());
  std::string outside;
  for (const std::string& call : calls.calls) {
    outside += allowed.contains(call) ? "" : call + " ";
  }
  EXPECT_EQ(outside, "") << "called, and not in the unit's SystemCallFilter";
  const std::vector<std::string> unitFamilies =
      Words(UnitValue(HARLUNE_UNIT_FILE, "RestrictAddressFamilies"));
  const std::set<std::string> families(unitFamilies.begin(), unitFamilies.end());
  for (const std::string& family : calls.families) {
    EXPECT_TRUE(families.contains(family)) << family << " is not in RestrictAddressFamilies";
  }
  EXPECT_TRUE(calls.families.contains("AF_PACKET") && calls.families.contains("AF_NETLINK"));
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
