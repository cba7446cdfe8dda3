#include "support/socket_driver_server.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/un.h>

namespace harlune::testing {
namespace {

// Waits until `fd` is readable; false when the stop pipe fired first.
bool WaitReadable(int fd, int stopFd) {
  std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {stopFd, POLLIN, 0}}};
  while (::poll(fds.data(), fds.size(), -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return (fds[1].revents & POLLIN) == 0;
}

bool ReceiveAll(int fd, int stopFd, std::span<std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (!WaitReadable(fd, stopFd)) {
      return false;
    }
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), 0);
    if (got <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return true;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

SocketDriverServer::SocketDriverServer(std::filesystem::path socketPath, Handler handler)
    : SocketDriverServer(std::move(socketPath),
                         [handler = std::move(handler)](std::uint64_t, auto& header, auto input) {
                           return handler(header, input);
                         }) {}

SocketDriverServer::SocketDriverServer(std::filesystem::path socketPath, ConnectionHandler handler)
    : path_(std::move(socketPath)), handler_(std::move(handler)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path_.string();
  if (text.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long: " + text);
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0 ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
      ::listen(listenFd_, 16) < 0 || ::pipe(stopPipe_) < 0) {
    throw std::runtime_error("cannot listen on " + text + ": " + std::strerror(errno));
  }
  thread_ = std::thread([this] { Serve(); });
}

SocketDriverServer::~SocketDriverServer() {
  const char stop = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(stopPipe_[1], &stop, 1);
  thread_.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  std::filesystem::remove(path_);
}

void SocketDriverServer::Serve() {
  struct Connection {
    int fd;
    std::uint64_t number;
  };
  std::vector<Connection> connections;
  std::uint64_t accepted = 0;
  for (;;) {
    std::vector<pollfd> fds{{stopPipe_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (const Connection& connection : connections) {
      fds.push_back({connection.fd, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      break;
    }
    // One request of each ready connection per turn, in the order they
    // came, as the daemon's single loop serves its clients.
    for (std::size_t i = connections.size(); i-- > 0;) {
      if (fds[i + 2].revents != 0 && !ServeRequest(connections[i].fd, connections[i].number)) {
        ::close(connections[i].fd);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if ((fds[1].revents & POLLIN) != 0) {
      if (const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0) {
        connections.push_back({fd, ++accepted});
      }
    }
  }
  for (const Connection& connection : connections) {
    ::close(connection.fd);
  }
}

bool SocketDriverServer::ServeRequest(int fd, std::uint64_t connection) {
  std::array<std::uint8_t, protocol::kRequestHeaderSize> headerBytes{};
  if (!ReceiveAll(fd, stopPipe_[0], headerBytes)) {
    return false;
  }
  const protocol::RequestHeader header = protocol::DecodeRequestHeader(headerBytes);
  if (!header.WithinLimits()) {
    return false;
  }
  std::vector<std::uint8_t> input(header.inputLength);
  if (!ReceiveAll(fd, stopPipe_[0], input)) {
    return false;
  }
  const auto reply = handler_(connection, header, input);
  return reply && SendAll(fd, *reply);
}

std::vector<std::uint8_t> SocketDriverServer::Answer(std::uint32_t error,
                                                     std::span<const std::uint8_t> output) {
  return protocol::EncodeReply(error, output);
}

SocketDriverServer::Handler SocketDriverServer::AcceptEverything() {
  return [](const protocol::RequestHeader& header, std::span<const std::uint8_t>) {
    const std::vector<std::uint8_t> output(header.outputCapacity, 0);
    return std::optional(Answer(protocol::device_error::kSuccess, output));
  };
}

}  // namespace harlune::testing
