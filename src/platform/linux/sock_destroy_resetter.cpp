#include "platform/linux/sock_destroy_resetter.h"

#include <cerrno>

#include "platform/linux/sock_diag_destroy.h"

namespace harlune {

ConnectionResetResult ConnectionResetResultOfErrno(int error) {
  switch (error) {
    case 0:
      return {ConnectionResetStatus::kOk, 0};
    case EPERM:
    case EACCES:
      return {ConnectionResetStatus::kNotPermitted, error};
    case EOPNOTSUPP:
      return {ConnectionResetStatus::kNotSupported, error};
    case ENOENT:
      return {ConnectionResetStatus::kGone, error};
    default:
      return {ConnectionResetStatus::kError, error};
  }
}

std::optional<protocol::TcpFourTuple> FourTupleOfKey(const TcpConnectionKey& key) {
  constexpr std::uint32_t kPortMask = 0xFFFF;
  if (key.localPort > kPortMask || key.remotePort > kPortMask) {
    return std::nullopt;
  }
  return protocol::TcpFourTuple{key.localAddr, static_cast<std::uint16_t>(key.localPort),
                                key.remoteAddr, static_cast<std::uint16_t>(key.remotePort)};
}

SockDiagAnswer DecodeSockDiagAnswer(std::span<const std::byte> datagram, std::uint32_t sequence) {
  const sock_diag::Answer answer = sock_diag::DecodeAnswer(datagram, sequence);
  SockDiagAnswer converted{answer.complete, answer.error, std::nullopt};
  if (answer.socket) {
    const protocol::TcpFourTuple& tuple = answer.socket->tuple;
    converted.socket = SockDiagSocket{
        TcpConnectionKey{tuple.localAddr, tuple.localPort, tuple.remoteAddr, tuple.remotePort},
        answer.socket->cookie};
  }
  return converted;
}

ConnectionResetResult SockDestroyResetter::ResetConnection(const TcpConnectionKey& key) {
  const std::optional<protocol::TcpFourTuple> tuple = FourTupleOfKey(key);
  return ConnectionResetResultOfErrno(tuple ? sock_diag::DestroyTcpConnection(*tuple) : ENOENT);
}

}  // namespace harlune
