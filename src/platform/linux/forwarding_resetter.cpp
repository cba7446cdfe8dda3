#include "platform/linux/forwarding_resetter.h"

#include <limits>
#include <optional>

#include "platform/linux/sock_destroy_resetter.h"

namespace harlune {
namespace {

// A status word read as an errno; a value no errno has stays an error.
int ErrnoOfStatus(std::uint32_t status) {
  constexpr auto kMaxInt = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
  return static_cast<int>(status > kMaxInt ? kMaxInt : status);
}

}  // namespace

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
    if (const auto status = driver_.HlResetTcpConnection(adapter.name, key)) {
      return ConnectionResetResultOfErrno(ErrnoOfStatus(*status));
    }
  }
  // Told apart from a plain refusal: the user can fix it either way, by
  // the privilege or by running the driver.
  return {ConnectionResetStatus::kNoDriver, direct.errorCode};
}

}  // namespace harlune
