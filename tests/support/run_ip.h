#pragma once

// The `ip` command for tests that build network namespaces of their own.

#include <string>
#include <vector>

namespace harlune::testing {

// Runs /usr/sbin/ip with the arguments, without a shell, its output
// dropped; true when it exits with 0.
bool RunIp(std::vector<std::string> arguments);

}  // namespace harlune::testing
