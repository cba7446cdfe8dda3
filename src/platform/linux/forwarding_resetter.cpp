#include "platform/linux/forwarding_resetter.h"

#include <limits>

#include "platform/linux/sock_destroy_resetter.h"
#include "protocol/framing.h"

namespace harlune {
namespace {

namespace device_error = protocol::device_error;

// A status word read as an errno; a value no errno has stays an error.
int ErrnoOfStatus(std::uint32_t status) {
  constexpr auto kMaxInt = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  return static_cast<int>(status > kMaxInt ? kMaxInt : status);
}

}  // namespace

std::optional<ConnectionResetResult> ForwardingResetter::AskDriver(
    const SystemAdapter& adapter, const TcpFourTuple& key, const ConnectionResetResult& direct) {
  const bool ipv4 = key.localAddr.IsIpv4();
  const DriverResetReply reply = ipv4 ? driver_.HlResetTcpConnection(adapter.name, key)
                                      : driver_.HlResetTcp6Connection(adapter.name, key);
  if (reply.status) {
    return ConnectionResetResultOfErrno(ErrnoOfStatus(*reply.status));
  }
  if (ipv4) {
    return std::nullopt;  // as before: the next adapter, then "no driver"
  }
  // The driver read the request and cannot carry it out; the same driver
  // serves every adapter, so none is asked again.
  if (reply.deviceError == device_error::kInvalidFunction ||
      reply.deviceError == device_error::kInvalidParameter) {
    return direct;
  }
  return std::nullopt;
}

ConnectionResetResult ForwardingResetter::ResetConnection(const TcpFourTuple& key) {
  const ConnectionResetResult direct = direct_.ResetConnection(key);
  if (direct.status != ConnectionResetStatus::kNotPermitted) {
    return direct;
  }
  if (!protocol::NamesTcpConnection(key)) {
    return direct;  // the driver would refuse it
  }
  const AdapterListResult listed = adapters_.ListAdapters();
  for (const SystemAdapter& adapter : listed.adapters) {
    if (const auto result = AskDriver(adapter, key, direct)) {
      return *result;
    }
  }
  // Told apart from a plain refusal: the user can fix it either way, by
  // the privilege or by running the driver.
  return {ConnectionResetStatus::kNoDriver, direct.errorCode};
}

}  // namespace harlune
