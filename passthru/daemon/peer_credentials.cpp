#include "passthru/daemon/peer_credentials.h"

#include <algorithm>
#include <cerrno>

#include <sys/socket.h>

namespace harlune {
namespace {

// SO_PEERGROUPS answers ERANGE with the size it needs when the buffer is
// too small; a user is in at most NGROUPS_MAX (65536) groups.
constexpr std::size_t kMaxGroups = 65536;

std::vector<gid_t> ReadPeerGroups(int fd) {
  std::vector<gid_t> groups(64);
  for (;;) {
    socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
      groups.resize(length / sizeof(gid_t));
      return groups;
    }
    const std::size_t needed = length / sizeof(gid_t);
    if (errno != ERANGE || needed <= groups.size() || needed > kMaxGroups) {
      return {};  // an older kernel: the client's own group still counts
    }
    groups.resize(needed);
  }
}

}  // namespace

std::optional<PeerCredentials> ReadPeerCredentials(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return PeerCredentials{credentials.uid, credentials.gid, credentials.pid, ReadPeerGroups(fd)};
}

bool MayControlSystemDriver(uid_t uid, gid_t gid, std::span<const gid_t> groups,
                            std::optional<gid_t> driverGroup) {
  if (uid == 0) {
    return true;
  }
  if (!driverGroup) {
    return false;
  }
  return gid == *driverGroup ||
         std::find(groups.begin(), groups.end(), *driverGroup) != groups.end();
}

bool MayControlUserDriver(uid_t uid, uid_t daemonUid) { return uid == 0 || uid == daemonUid; }

ClientGate SystemDriverGate(std::optional<gid_t> driverGroup, const std::string& groupName) {
  return {[driverGroup](const PeerCredentials& peer) {
            return MayControlSystemDriver(peer.uid, peer.gid, peer.groups, driverGroup);
          },
          driverGroup ? "root and the group " + groupName
                      : "root alone (there is no group " + groupName + ")"};
}

ClientGate UserDriverGate(uid_t daemonUid) {
  return {[daemonUid](const PeerCredentials& peer) {
            return MayControlUserDriver(peer.uid, daemonUid);
          },
          daemonUid == 0 ? std::string("root") : "root and uid " + std::to_string(daemonUid)};
}

}  // namespace harlune
