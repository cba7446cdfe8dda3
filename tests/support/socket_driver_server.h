#pragma once

// A driver endpoint on a Unix socket, served by a background thread, for
// tests and benchmarks of the socket transport. It does the framing; a
// handler decides each reply.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "protocol/framing.h"
#include "support/temp_dir.h"

namespace harlune::testing {

class SocketDriverServer {
 public:
  // The whole reply frame to send, or nothing to close the connection.
  using Handler = std::function<std::optional<std::vector<std::uint8_t>>(
      const protocol::RequestHeader&, std::span<const std::uint8_t> input)>;

  // The same, told which connection (numbered from 1 in the order they were
  // accepted) the request came on.
  using ConnectionHandler = std::function<std::optional<std::vector<std::uint8_t>>(
      std::uint64_t connection, const protocol::RequestHeader&, std::span<const std::uint8_t>)>;

  // Listens on `socketPath` (its folder must exist) until destroyed. Every
  // connection is served by one thread, one request at a time, as the
  // daemon's single loop serves them: a slow answer delays every client.
  SocketDriverServer(std::filesystem::path socketPath, Handler handler);
  SocketDriverServer(std::filesystem::path socketPath, ConnectionHandler handler);
  ~SocketDriverServer();
  SocketDriverServer(const SocketDriverServer&) = delete;
  SocketDriverServer& operator=(const SocketDriverServer&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // A well-formed reply frame.
  static std::vector<std::uint8_t> Answer(std::uint32_t error,
                                          std::span<const std::uint8_t> output = {});

  // A handler that binds every adapter and answers every other request with
  // success and a zero-filled output of the full capacity.
  static Handler AcceptEverything();

 private:
  void Serve();
  // Reads one request of the connection and answers it; false when the
  // connection is to be closed.
  bool ServeRequest(int fd, std::uint64_t connection);

  std::filesystem::path path_;
  ConnectionHandler handler_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace harlune::testing
