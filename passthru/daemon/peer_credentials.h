#pragma once

// Who is on the other end of a client's connection, and whether that client
// may control the driver. The kernel stamps a Unix socket connection with
// the credentials its client had when it connected: a client cannot change
// them afterwards, and the socket file's mode, which anyone with root may
// loosen by hand, does not enter into it.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <sys/types.h>

namespace harlune {

struct PeerCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  pid_t pid = 0;
  // The supplementary groups at connect time; empty where the kernel cannot
  // tell them (before Linux 4.13).
  std::vector<gid_t> groups;
};

// The credentials of the client connected on `fd`, or nothing (errno set)
// when the kernel does not give them.
std::optional<PeerCredentials> ReadPeerCredentials(int fd);

// The system driver: root, and the members of the driver's group (by their
// group or one of their supplementary groups). Without such a group, root
// alone.
bool MayControlSystemDriver(uid_t uid, gid_t gid, std::span<const gid_t> groups,
                            std::optional<gid_t> driverGroup);
// A user's own (simulated) driver: that user and root.
bool MayControlUserDriver(uid_t uid, uid_t daemonUid);

// The rule a server applies to each client it accepts.
struct ClientGate {
  std::function<bool(const PeerCredentials&)> admits;
  // Who is let in, for the line that names a refused client.
  std::string admitted;
};

ClientGate SystemDriverGate(std::optional<gid_t> driverGroup, const std::string& groupName);
ClientGate UserDriverGate(uid_t daemonUid);

}  // namespace harlune
