#include "peer_client.h"

#include <grp.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "protocol/framing.h"

namespace harlune::testing {
namespace {

constexpr int kWaitMilliseconds = 10000;

// -1 on the daemon's close (end of file or a reset), 0 when nothing came in
// time, else 1 with `bytes` filled.
int ReadExactly(int fd, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, kWaitMilliseconds) != 1) {
      return 0;
    }
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), 0);
    if (got <= 0) {
      return got == 0 || errno == ECONNRESET ? -1 : 0;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return 1;
}

PeerOutcome ReadReplies(int fd, std::size_t replies) {
  std::array<std::uint8_t, protocol::kMaxFrameBuffer> output{};
  for (std::size_t i = 0; i < replies; ++i) {
    std::array<std::uint8_t, protocol::kReplyHeaderSize> header{};
    const int got = ReadExactly(fd, header);
    if (got <= 0) {
      return got == 0 ? PeerOutcome::NoAnswer
                      : (i == 0 ? PeerOutcome::ClosedUnanswered : PeerOutcome::Refused);
    }
    const protocol::ReplyHeader reply = protocol::DecodeReplyHeader(header);
    if (reply.error != 0 || reply.bytesReturned > output.size() ||
        ReadExactly(fd, std::span(output).first(reply.bytesReturned)) != 1) {
      return PeerOutcome::Refused;
    }
  }
  return PeerOutcome::Served;
}

// The child's part: system calls only, on memory the parent prepared.
PeerOutcome ServeAsPeer(const sockaddr_un& address, const PeerIdentity& identity,
                        const std::vector<std::uint8_t>& frames, std::size_t replies) {
  if (::setgroups(identity.groups.size(), identity.groups.data()) != 0 ||
      ::setgid(identity.gid) != 0 || ::setuid(identity.uid) != 0) {
    return PeerOutcome::CannotTakeIds;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return PeerOutcome::CannotConnect;
  }
  // A send may fail once the daemon closed: what the reads see tells.
  (void)::send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
  return ReadReplies(fd, replies);
}

}  // namespace

PeerRun RunPeer(const std::filesystem::path& socket, const PeerIdentity& identity,
                const std::vector<std::uint8_t>& frames, std::size_t replies) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(static_cast<int>(ServeAsPeer(address, identity, frames, replies)));
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return {PeerOutcome::NoAnswer, child};
  }
  return {static_cast<PeerOutcome>(WEXITSTATUS(status)), child};
}

const char* OutcomeName(PeerOutcome outcome) {
  switch (outcome) {
    case PeerOutcome::Served:
      return "served";
    case PeerOutcome::ClosedUnanswered:
      return "closed before any reply";
    case PeerOutcome::Refused:
      return "refused after a reply";
    case PeerOutcome::CannotConnect:
      return "cannot connect";
    case PeerOutcome::CannotTakeIds:
      return "cannot take the ids";
    case PeerOutcome::NoAnswer:
      return "no answer";
  }
  return "?";
}

}  // namespace harlune::testing
