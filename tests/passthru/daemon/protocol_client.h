#pragma once

// A client of the device protocol over the daemon's Unix socket, and a
// private folder for the socket, for the daemon's tests.

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

#include "protocol/byte_order.h"
#include "protocol/framing.h"
#include "protocol/request_codes.h"
#include "protocol/utf16.h"

namespace harlune::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "passthru-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) == nullptr ? "" : pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class Client {
 public:
  explicit Client(const std::filesystem::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }

  bool SendBytes(std::span<const std::uint8_t> bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // The reply's error word and output, or nothing when the server closed.
  std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Receive() {
    std::array<std::uint8_t, protocol::kReplyHeaderSize> header{};
    if (!ReceiveAll(header)) {
      return std::nullopt;
    }
    const protocol::ReplyHeader decoded = protocol::DecodeReplyHeader(header);
    std::vector<std::uint8_t> output(decoded.bytesReturned);
    if (decoded.bytesReturned > 65536 || !ReceiveAll(output)) {
      return std::nullopt;
    }
    return std::pair{decoded.error, std::move(output)};
  }

  std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Request(
      std::uint32_t code, std::span<const std::uint8_t> input, std::uint32_t capacity) {
    if (!SendBytes(protocol::EncodeRequest(code, input, capacity))) {
      return std::nullopt;
    }
    return Receive();
  }

  std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Request(
      protocol::RequestCode code, std::span<const std::uint8_t> input = {}) {
    return Request(static_cast<std::uint32_t>(code), input,
                   static_cast<std::uint32_t>(protocol::LayoutOf(code).outputSize));
  }

  bool Bind(std::u16string_view path, std::uint32_t expectedStatus = 0) {
    const auto reply = Request(protocol::RequestCode::HlBindAdapter, protocol::EncodeUtf16Le(path));
    return reply && reply->first == 0 && reply->second.size() == 4 &&
           protocol::LoadLe32(reply->second, 0) == expectedStatus;
  }

  // Whether the server closed the connection (within two seconds).
  bool ClosedByServer() {
    pollfd fds{fd_, POLLIN, 0};
    if (::poll(&fds, 1, 2000) <= 0) {
      return false;
    }
    std::uint8_t byte = 0;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  bool ReceiveAll(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
      pollfd fds{fd_, POLLIN, 0};
      if (::poll(&fds, 1, 2000) <= 0) {
        return false;
      }
      const ssize_t got = ::recv(fd_, bytes.data(), bytes.size(), 0);
      if (got <= 0) {
        return false;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(got));
    }
    return true;
  }

  int fd_;
  bool connected_ = false;
};

}  // namespace harlune::testing
