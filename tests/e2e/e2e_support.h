#pragma once

// What the end-to-end tests share: the interface the simulated driver
// stands in for, a settings folder with one rate-limited filter under an
// HTB leaf, and waiting for a condition.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace harlune::testing {

inline constexpr std::uint32_t kFlowRate = 1024 * 1024;
inline constexpr std::uint32_t kFilterRate = 200 * 1024;  // the filter's own rate
inline constexpr std::uint32_t kLeafAssured = 32 * 1024;
inline constexpr std::uint32_t kLeafCeil = 64 * 1024;  // what the HTB lets the flow have

struct Interface {
  std::string name;
  std::uint32_t address = 0;  // network order
};

// The first interface with an IPv4 address, loopback left out.
std::optional<Interface> FirstInterface();

// Settings with filtering on at start, one send filter for TCP at
// kFilterRate on the interface and a send leaf for it (kLeafAssured,
// kLeafCeil) under a root of kFlowRate.
bool WriteSettings(const std::filesystem::path& folder, const Interface& interface);

// A flows file with one TCP send flow of kFlowRate on the interface.
void WriteFlows(const std::filesystem::path& file, const Interface& interface);

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);

}  // namespace harlune::testing
