#include "platform/linux/unix_socket_transport.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include "protocol/framing.h"

namespace harlune {
namespace {

namespace device_error = protocol::device_error;

class SocketHandle final : public DeviceHandle {
 public:
  explicit SocketHandle(int fd) : fd_(fd) {}
  ~SocketHandle() override { ::close(fd_); }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;

  DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                           std::span<std::uint8_t> output) override {
    if (broken_ || input.size() > protocol::kMaxFrameBuffer ||
        output.size() > protocol::kMaxFrameBuffer) {
      return Failure();
    }
    const auto frame =
        protocol::EncodeRequest(code, input, static_cast<std::uint32_t>(output.size()));
    std::array<std::uint8_t, protocol::kReplyHeaderSize> headerBytes{};
    if (!SendAll(frame) || !ReceiveAll(headerBytes)) {
      return Broken();
    }
    const protocol::ReplyHeader header = protocol::DecodeReplyHeader(headerBytes);
    // A reply that breaks the framing leaves the stream unusable.
    if (header.bytesReturned > output.size() ||
        (header.error != device_error::kSuccess && header.bytesReturned != 0)) {
      return Broken();
    }
    if (!ReceiveAll(output.first(header.bytesReturned))) {
      return Broken();
    }
    return {header.error == device_error::kSuccess, header.error, header.bytesReturned};
  }

 private:
  static DeviceCallResult Failure() { return {false, device_error::kGenFailure, 0}; }

  DeviceCallResult Broken() {
    broken_ = true;
    return Failure();
  }

  bool SendAll(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) {
        continue;
      }
      if (sent <= 0) {
        return false;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return true;
  }

  bool ReceiveAll(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t got = ::recv(fd_, bytes.data(), bytes.size(), 0);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        return false;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(got));
    }
    return true;
  }

  int fd_;
  bool broken_ = false;
};

void SetTimeout(int fd, int option, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

std::unique_ptr<DeviceHandle> AdoptDeviceSocket(int fd) {
  return std::make_unique<SocketHandle>(fd);
}

UnixSocketTransport::UnixSocketTransport(std::chrono::milliseconds timeout) : timeout_(timeout) {}

std::unique_ptr<DeviceHandle> UnixSocketTransport::OpenDevice(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return nullptr;
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return nullptr;
  }
  SetTimeout(fd, SO_RCVTIMEO, timeout_);
  SetTimeout(fd, SO_SNDTIMEO, timeout_);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    ::close(fd);
    return nullptr;
  }
  return AdoptDeviceSocket(fd);
}

}  // namespace harlune
