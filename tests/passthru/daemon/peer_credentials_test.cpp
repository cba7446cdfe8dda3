// Who may control the driver, and the credentials the kernel gives for a
// client's connection.

#include "passthru/daemon/peer_credentials.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace harlune {
namespace {

constexpr gid_t kDriverGroup = 990;
constexpr uid_t kUser = 1000;
constexpr gid_t kUserGroup = 1000;

TEST(SystemDriverAccessTest, RootAndTheGroupsMembersAreLetIn) {
  const std::vector<gid_t> none;
  const std::vector<gid_t> withDriverGroup{27, kDriverGroup, 100};
  // Root, whatever its groups, with or without the driver's group.
  EXPECT_TRUE(MayControlSystemDriver(0, 0, none, kDriverGroup));
  EXPECT_TRUE(MayControlSystemDriver(0, kUserGroup, none, std::nullopt));
  // A member by its own group, or by a supplementary group alone.
  EXPECT_TRUE(MayControlSystemDriver(kUser, kDriverGroup, none, kDriverGroup));
  EXPECT_TRUE(MayControlSystemDriver(kUser, kUserGroup, withDriverGroup, kDriverGroup));
}

TEST(SystemDriverAccessTest, EveryoneElseIsRefused) {
  const std::vector<gid_t> others{27, 100, kDriverGroup + 1};
  EXPECT_FALSE(MayControlSystemDriver(kUser, kUserGroup, {}, kDriverGroup));
  EXPECT_FALSE(MayControlSystemDriver(kUser, kUserGroup, others, kDriverGroup));
  // Root's group is not root: only uid 0 is.
  EXPECT_FALSE(MayControlSystemDriver(kUser, 0, std::vector<gid_t>{0}, kDriverGroup));
  EXPECT_FALSE(MayControlSystemDriver(65534, 65534, {}, kDriverGroup));
}

TEST(SystemDriverAccessTest, WithoutTheGroupOnlyRootIsLetIn) {
  // Any gid could be taken for a group that does not exist; none may count.
  for (const gid_t gid : {gid_t{0}, kDriverGroup, kUserGroup, gid_t{65534}}) {
    EXPECT_FALSE(MayControlSystemDriver(kUser, gid, std::vector<gid_t>{gid}, std::nullopt)) << gid;
  }
  EXPECT_TRUE(MayControlSystemDriver(0, 0, {}, std::nullopt));
}

TEST(UserDriverAccessTest, OnlyTheDaemonsUserAndRootAreLetIn) {
  EXPECT_TRUE(MayControlUserDriver(kUser, kUser));
  EXPECT_TRUE(MayControlUserDriver(0, kUser));
  EXPECT_FALSE(MayControlUserDriver(kUser + 1, kUser));
  EXPECT_FALSE(MayControlUserDriver(65534, kUser));
  // A root daemon's socket is root's alone.
  EXPECT_FALSE(MayControlUserDriver(kUser, 0));
}

// The refusal line says whom the daemon serves.
TEST(ClientGateTest, TheGateNamesWhomItLetsIn) {
  EXPECT_EQ(SystemDriverGate(kDriverGroup, "harlune").admitted, "root and the group harlune");
  EXPECT_EQ(SystemDriverGate(std::nullopt, "harlune").admitted,
            "root alone (there is no group harlune)");
  EXPECT_EQ(UserDriverGate(kUser).admitted, "root and uid 1000");
  EXPECT_EQ(UserDriverGate(0).admitted, "root");
}

std::vector<gid_t> OwnGroups() {
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  groups.resize(static_cast<std::size_t>(
      std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
  std::sort(groups.begin(), groups.end());
  return groups;
}

TEST(ReadPeerCredentialsTest, AConnectionGivesTheClientsIds) {
  std::array<int, 2> fds{};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
  const std::optional<PeerCredentials> peer = ReadPeerCredentials(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(peer.has_value());
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(peer->gid, ::getegid());
  EXPECT_EQ(peer->pid, ::getpid());
  std::vector<gid_t> groups = peer->groups;
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(groups, OwnGroups());
}

TEST(ReadPeerCredentialsTest, AnythingButAUnixSocketGivesNothing) {
  std::array<int, 2> pipe{};
  ASSERT_EQ(::pipe2(pipe.data(), O_CLOEXEC), 0);
  EXPECT_FALSE(ReadPeerCredentials(pipe[0]).has_value());
  EXPECT_EQ(errno, ENOTSOCK);
  ::close(pipe[0]);
  ::close(pipe[1]);
  EXPECT_FALSE(ReadPeerCredentials(-1).has_value());
}

// A listening socket of an abstract name (nothing to remove afterwards),
// or -1.
int ListenAbstract(sockaddr_un& address, socklen_t& length) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string name = "harlune-peer-test-" + std::to_string(::getpid());
  std::copy(name.begin(), name.end(), address.sun_path + 1);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 1) != 0) {
    ::close(listener);
    return -1;
  }
  return listener;
}

// A child with these supplementary groups connects; the credentials the
// server's end reads, and the child's pid.
std::pair<std::optional<PeerCredentials>, pid_t> PeerOfChild(const std::vector<gid_t>& groups) {
  sockaddr_un address{};
  socklen_t length = 0;
  const int listener = ListenAbstract(address, length);
  const pid_t child = listener < 0 ? -1 : ::fork();
  if (child == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::setgroups(groups.size(), groups.data()) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      ::_exit(1);
    }
    char byte = 0;
    ::_exit(::read(fd, &byte, 1) == 1 ? 0 : 2);  // stays until the parent read
  }
  pollfd waiting{listener, POLLIN, 0};
  const int fd = child > 0 && ::poll(&waiting, 1, 10000) == 1
                     ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                     : -1;
  std::optional<PeerCredentials> peer = fd >= 0 ? ReadPeerCredentials(fd) : std::nullopt;
  if (fd >= 0) {
    (void)::write(fd, "x", 1);
    ::close(fd);
  }
  ::close(listener);
  int status = 0;
  if (child > 0) {
    ::waitpid(child, &status, 0);
  }
  return {peer, child};
}

// The first answer of SO_PEERGROUPS is too small for a client in many
// groups: they must all come back, and none for a client in none.
TEST(ReadPeerCredentialsTest, TheGroupsAreTheClientsAtConnectTime) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "a child that sets its supplementary groups needs root";
  }
  std::vector<gid_t> many;
  for (gid_t gid = 70000; gid < 70300; ++gid) {
    many.push_back(gid);
  }
  for (const std::vector<gid_t>& groups : {many, std::vector<gid_t>{}, std::vector<gid_t>{5}}) {
    const auto [peer, child] = PeerOfChild(groups);
    ASSERT_TRUE(peer.has_value()) << groups.size() << " groups";
    EXPECT_EQ(peer->pid, child);
    std::vector<gid_t> got = peer->groups;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, groups) << groups.size() << " groups";
  }
}

}  // namespace
}  // namespace harlune
