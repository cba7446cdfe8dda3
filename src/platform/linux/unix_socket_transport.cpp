#include "platform/linux/unix_socket_transport.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include "protocol/framing.h"
#include "protocol/request_codes.h"

namespace harlune {
namespace {

namespace device_error = protocol::device_error;

void SetTimeout(int fd, int option, std::chrono::milliseconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

class SocketHandle final : public DeviceHandle {
 public:
  SocketHandle(int fd, ReplyLimits limits) : fd_(fd), limits_(limits) {}
  ~SocketHandle() override { ::close(fd_); }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;

  DeviceCallResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                           std::span<std::uint8_t> output) override {
    if (broken_ || input.size() > protocol::kMaxFrameBuffer ||
        output.size() > protocol::kMaxFrameBuffer) {
      return NotSent();
    }
    UseLimit(protocol::RequestRepeatable(code) ? limits_.repeatable : limits_.changing);
    const auto frame =
        protocol::EncodeRequest(code, input, static_cast<std::uint32_t>(output.size()));
    if (!SendAll(frame)) {
      // A Unix socket refuses the write at once when the driver has closed
      // its end, and a frame cut short is never carried out.
      Broken();
      return NotSent();
    }
    std::array<std::uint8_t, protocol::kReplyHeaderSize> headerBytes{};
    if (!ReceiveAll(headerBytes)) {
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
  static DeviceCallResult NotSent() { return {false, device_error::kGenFailure, 0, true}; }

  DeviceCallResult Broken() {
    broken_ = true;
    return Failure();
  }

  void UseLimit(std::chrono::milliseconds limit) {
    if (limit != current_) {
      SetTimeout(fd_, SO_RCVTIMEO, limit);
      SetTimeout(fd_, SO_SNDTIMEO, limit);
      current_ = limit;
    }
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
  ReplyLimits limits_;
  std::chrono::milliseconds current_{-1};
  bool broken_ = false;
};

}  // namespace

std::unique_ptr<DeviceHandle> AdoptDeviceSocket(int fd, ReplyLimits limits) {
  return std::make_unique<SocketHandle>(fd, limits);
}

UnixSocketTransport::UnixSocketTransport(ReplyLimits limits) : limits_(limits) {}

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
  // The bind's limit; each call then sets the limit of its request.
  SetTimeout(fd, SO_RCVTIMEO, limits_.repeatable);
  SetTimeout(fd, SO_SNDTIMEO, limits_.repeatable);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    ::close(fd);
    return nullptr;
  }
  return AdoptDeviceSocket(fd, limits_);
}

}  // namespace harlune
