#pragma once

// A client of the daemon's socket in a child process of the test, with the
// ids it is given: the daemon sees another process, of another user if
// need be. Root only (the child changes its ids).

#include <cstdint>
#include <filesystem>
#include <vector>

#include <sys/types.h>

namespace harlune::testing {

struct PeerIdentity {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

enum class PeerOutcome {
  Served,            // every request answered with error 0
  ClosedUnanswered,  // the daemon closed the connection before any reply
  Refused,           // an answer with an error, or the connection closed after some
  CannotConnect,     // connect() failed (the socket's mode, say)
  CannotTakeIds,     // setgroups, setgid or setuid failed
  NoAnswer,          // nothing within ten seconds
};

struct PeerRun {
  PeerOutcome outcome = PeerOutcome::NoAnswer;
  pid_t pid = -1;
};

// Connects to `socket` as `identity`, sends `frames` (whole request frames,
// one after the other) and reads `replies` replies.
PeerRun RunPeer(const std::filesystem::path& socket, const PeerIdentity& identity,
                const std::vector<std::uint8_t>& frames, std::size_t replies);

const char* OutcomeName(PeerOutcome outcome);

}  // namespace harlune::testing
