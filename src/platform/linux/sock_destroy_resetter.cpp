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

ConnectionResetResult SockDestroyResetter::ResetConnection(const TcpFourTuple& key) {
  // A key no connection can have (a port beyond 16 bits, a listener's) is
  // never sent: the kernel would take the port's low half.
  const bool named = protocol::NamesTcpConnection(key);
  return ConnectionResetResultOfErrno(named ? sock_diag::DestroyTcpConnection(key) : ENOENT);
}

}  // namespace harlune
