#pragma once

// Serves the device protocol on a Unix stream socket: one epoll loop, non-
// blocking sockets, any number of connections, each with its own bind state.
// A frame whose input length or output capacity exceeds the protocol's limit
// closes its connection without a reply; buffers never outgrow one frame.
// With a gate, a client the gate refuses is closed as soon as it is
// accepted, before it is served, and the clients that change the driver's
// state are named in the log.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "passthru/daemon/peer_credentials.h"
#include "passthru/engine/request_dispatcher.h"

namespace harlune {

// At most this many connections are open at once; more wait in the backlog.
inline constexpr std::size_t kMaxConnections = 256;

class SocketServer {
 public:
  explicit SocketServer(RequestDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Binds and listens on `path`, whose folder must exist. Empty on success,
  // else a message naming the path and the reason. The socket file is
  // removed when the server goes.
  std::string Listen(const std::filesystem::path& path);

  // From now on a client is served only when `gate` admits the credentials
  // it connected with; a refused one is closed at once, with one line on
  // `log` naming its uid and pid. `log` also gets one line for each client
  // (a uid and pid, whatever number of connections it opens) and session of
  // an adapter in which it changes the driver's state (ChangesDriverState),
  // at its first such request. A session starts with HlInitialize; changes
  // before the first count as one session too. Without a gate every client
  // is served and nothing is logged.
  void GuardClients(ClientGate gate, std::ostream& log);

  // Waits up to `timeoutMilliseconds` for socket events and serves them.
  void Poll(int timeoutMilliseconds);

  std::size_t ConnectionCount() const { return connections_.size(); }
  // Readable while a client waits to be served: a loop that waits for
  // other things as well can wake for the clients too.
  int Fd() const { return epollFd_; }

 private:
  struct Connection {
    ConnectionState state;
    PeerCredentials peer;
    std::vector<std::uint8_t> input;   // bytes received, not yet a whole frame
    std::vector<std::uint8_t> output;  // reply bytes not yet sent
    std::size_t outputSent = 0;
  };

  void Accept();
  // Whether the client on `fd` may be served; its credentials go to `peer`.
  bool Admit(int fd, PeerCredentials& peer);
  void LogChange(const Connection& connection, std::uint32_t code);
  // False when the connection is to be closed.
  bool Receive(int fd, Connection& connection);
  bool ServeFrames(Connection& connection);
  bool Flush(int fd, Connection& connection);
  void Watch(int fd, const Connection& connection);
  void Close(int fd);

  RequestDispatcher& dispatcher_;
  std::filesystem::path path_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  std::map<int, Connection> connections_;
  std::optional<ClientGate> gate_;
  std::ostream* log_ = nullptr;
  // The clients named in the current session of each adapter.
  std::map<const AdapterState*, std::set<std::pair<uid_t, pid_t>>> namedClients_;
};

}  // namespace harlune
