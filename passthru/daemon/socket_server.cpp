#include "passthru/daemon/socket_server.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "protocol/framing.h"
#include "protocol/request_codes.h"

namespace harlune {
namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr int kBacklog = 64;
constexpr std::size_t kMaxNamedClients = 4096;

std::string Describe(const std::filesystem::path& path, const char* what, int error) {
  return "cannot " + std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

}  // namespace

SocketServer::~SocketServer() {
  for (const auto& [fd, connection] : connections_) {
    ::close(fd);
  }
  if (epollFd_ >= 0) {
    ::close(epollFd_);
  }
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
}

std::string SocketServer::Listen(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.empty() || text.size() >= sizeof address.sun_path) {
    return "socket path too long or empty: " + text;
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return Describe(path, "create a socket for", errno);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    const int error = errno;
    ::close(fd);
    return Describe(path, "bind", error);
  }
  path_ = path;
  listenFd_ = fd;
  if (::listen(fd, kBacklog) < 0) {
    return Describe(path, "listen on", errno);
  }
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) {
    return Describe(path, "watch", errno);
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listenFd_;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event) < 0) {
    return Describe(path, "watch", errno);
  }
  return {};
}

void SocketServer::GuardClients(ClientGate gate, std::ostream& log) {
  gate_ = std::move(gate);
  log_ = &log;
}

void SocketServer::Poll(int timeoutMilliseconds) {
  if (epollFd_ < 0) {
    return;
  }
  std::array<epoll_event, 64> events{};
  const int count =
      ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), timeoutMilliseconds);
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events[static_cast<std::size_t>(i)];
    const int fd = event.data.fd;
    if (fd == listenFd_) {
      Accept();
      continue;
    }
    const auto it = connections_.find(fd);
    if (it == connections_.end()) {
      continue;
    }
    Connection& connection = it->second;
    bool keep = true;
    if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
      keep = Receive(fd, connection);
    }
    if (keep && (event.events & EPOLLOUT) != 0) {
      keep = Flush(fd, connection);
    }
    if (keep) {
      Watch(fd, connection);
    } else {
      Close(fd);
    }
  }
}

void SocketServer::Accept() {
  while (connections_.size() < kMaxConnections) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      return;  // nothing more to accept
    }
    PeerCredentials peer;
    if (!Admit(fd, peer)) {
      ::close(fd);
      continue;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) < 0) {
      ::close(fd);
      continue;
    }
    Connection connection;
    connection.peer = std::move(peer);
    connections_.emplace(fd, std::move(connection));
  }
  // At the limit the listening socket is left alone until a connection
  // closes; pending clients wait in the backlog.
  epoll_event event{};
  event.events = 0;
  event.data.fd = listenFd_;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
}

bool SocketServer::Admit(int fd, PeerCredentials& peer) {
  if (!gate_) {
    return true;
  }
  std::optional<PeerCredentials> read = ReadPeerCredentials(fd);
  if (!read) {
    *log_ << "harlune-passthru: refused a client whose credentials cannot be read: "
          << std::strerror(errno) << std::endl;
    return false;
  }
  peer = std::move(*read);
  if (gate_->admits(peer)) {
    return true;
  }
  *log_ << "harlune-passthru: refused the client of uid " << peer.uid << " pid " << peer.pid
        << ": only " << gate_->admitted << " may control the driver" << std::endl;
  return false;
}

// Every request that starts a session comes through here, so the server
// can tell the sessions apart without the engine's help.
void SocketServer::LogChange(const Connection& connection, std::uint32_t code) {
  const std::optional<protocol::RequestLayout> layout = protocol::FindRequestLayout(code);
  const AdapterState* adapter = connection.state.adapter;
  if (log_ == nullptr || !layout || adapter == nullptr || !ChangesDriverState(layout->code)) {
    return;
  }
  std::set<std::pair<uid_t, pid_t>>& named = namedClients_[adapter];
  // Past the bound, clients of a long session are named again rather than
  // the set growing without end.
  if (layout->code == protocol::RequestCode::HlInitialize || named.size() >= kMaxNamedClients) {
    named.clear();
  }
  if (!named.emplace(connection.peer.uid, connection.peer.pid).second) {
    return;
  }
  *log_ << "harlune-passthru: the client of uid " << connection.peer.uid << " pid "
        << connection.peer.pid << " changes the driver on " << adapter->Name() << " (first "
        << layout->name << ")" << std::endl;
}

bool SocketServer::Receive(int fd, Connection& connection) {
  for (;;) {
    // While a reply waits to be sent, no more is read: a client that never
    // reads cannot make the server buffer without bound.
    if (connection.outputSent < connection.output.size()) {
      return true;
    }
    const std::size_t before = connection.input.size();
    connection.input.resize(before + kReadChunk);
    const ssize_t got = ::recv(fd, connection.input.data() + before, kReadChunk, 0);
    if (got < 0) {
      connection.input.resize(before);
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    connection.input.resize(before + static_cast<std::size_t>(got));
    if (got == 0) {
      return false;  // the client closed its side
    }
    if (!Flush(fd, connection)) {
      return false;
    }
  }
}

bool SocketServer::ServeFrames(Connection& connection) {
  std::size_t offset = 0;
  while (connection.input.size() - offset >= protocol::kRequestHeaderSize &&
         connection.outputSent >= connection.output.size()) {
    const std::span<const std::uint8_t> rest =
        std::span<const std::uint8_t>(connection.input).subspan(offset);
    const protocol::RequestHeader header =
        protocol::DecodeRequestHeader(rest.first<protocol::kRequestHeaderSize>());
    if (!header.WithinLimits()) {
      return false;
    }
    const std::size_t frameSize = protocol::kRequestHeaderSize + header.inputLength;
    if (rest.size() < frameSize) {
      break;
    }
    connection.output = dispatcher_.Dispatch(
        connection.state, header, rest.subspan(protocol::kRequestHeaderSize, header.inputLength));
    LogChange(connection, header.code);
    connection.outputSent = 0;
    offset += frameSize;
  }
  connection.input.erase(connection.input.begin(),
                         connection.input.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

bool SocketServer::Flush(int fd, Connection& connection) {
  for (;;) {
    while (connection.outputSent < connection.output.size()) {
      const ssize_t sent = ::send(fd, connection.output.data() + connection.outputSent,
                                  connection.output.size() - connection.outputSent, MSG_NOSIGNAL);
      if (sent < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      }
      connection.outputSent += static_cast<std::size_t>(sent);
    }
    connection.output.clear();
    connection.outputSent = 0;
    // The next frame already received, if any, is answered in turn.
    if (!ServeFrames(connection)) {
      return false;
    }
    if (connection.output.empty()) {
      return true;
    }
  }
}

void SocketServer::Watch(int fd, const Connection& connection) {
  epoll_event event{};
  const bool waiting = connection.outputSent < connection.output.size();
  event.events = waiting ? EPOLLOUT : EPOLLIN;
  event.data.fd = fd;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event);
}

void SocketServer::Close(int fd) {
  ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  connections_.erase(fd);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listenFd_;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, listenFd_, &event);
}

}  // namespace harlune
