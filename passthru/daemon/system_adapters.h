#pragma once

#include <string>
#include <vector>

namespace harlune {

// The names of the machine's network interfaces, loopback left out, sorted.
std::vector<std::string> SystemAdapterNames();

}  // namespace harlune
