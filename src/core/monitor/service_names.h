#pragma once

// Well-known service names of TCP/UDP ports, and the port text that shows a
// port or a range with its name ("80 (http)", "20-21 (ftp)", "1000-2000").
// Both run for every visible row at every redraw, so neither allocates.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace harlune {

// The name of one host-order port, or empty when it has none.
std::string_view ServiceNameOfPort(std::uint16_t hostPort) noexcept;

// The name of the range low..high (both network order): the port's name
// when low equals high, "ftp" for exactly 20-21, otherwise empty.
std::string_view ServiceName(std::uint16_t lowNet, std::uint16_t highNet) noexcept;

// Room for the longest port text, "65535-65535 (" + an 11-character name + ")".
inline constexpr std::size_t kPortTextCapacity = 32;
using PortTextBuffer = std::array<char, kPortTextCapacity>;

// The port text of low..high (both network order) written into `buffer`;
// the result views the buffer and is valid while the buffer is.
std::string_view FormatPortText(std::uint16_t lowNet, std::uint16_t highNet,
                                PortTextBuffer& buffer) noexcept;

// The same as an owned string, for callers that keep the text.
std::string PortText(std::uint16_t lowNet, std::uint16_t highNet);

}  // namespace harlune
