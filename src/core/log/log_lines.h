#pragma once

// The lines of the two logs: the connection statistics line, made from a
// user-defined format with placeholders, and the connection control line.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ip_address.h"

namespace harlune {

inline constexpr std::string_view kDefaultConnectionStatsLogFileName =
    ".\\log\\ConnectionStats\\[%Year%%Month%%Day%]ConnectionStats.csv";
// One opening bracket and no closing one, as users' files have it.
inline constexpr std::string_view kDefaultConnectionStatsLogFormat =
    "[%Hour%:%Minute%:%Second%,%LocalAddr%,%LocalPort%,%RemoteAddr%,%RemotePort%,%RemoteHost%,"
    "%ProcessName%,%TimePeriod%,%SendTraffic%,%ReceiveTraffic%";
inline constexpr std::string_view kDefaultConnectionControlLogFileName =
    ".\\log\\ConnectionControl\\[%Year%%Month%%Day%]ConnectionControl.log";

// What a statistics line tells of one connection.
struct ConnectionStatsValues {
  IpAddress localAddr;
  std::uint16_t localPort = 0;  // network order
  IpAddress remoteAddr;
  std::uint16_t remotePort = 0;  // network order
  std::string remoteHost;        // empty while unresolved
  std::string remoteDomain;
  std::int32_t processId = -1;  // -1 = unknown
  std::string processName = "不明";
  std::string processPath = "不明";  // or "N/A (...)" when it could not be read
  std::int32_t connectedSeconds = 0;
  std::uint64_t upTotal = 0;
  std::uint64_t downTotal = 0;
};

// The format with each placeholder replaced, placeholder by placeholder,
// and "\n" appended. Values are never searched for placeholders, and their
// control characters become '?' so the line stays one line. Time fields are
// the local time of `now`.
std::string ConnectionStatsLine(std::string_view format, const ConnectionStatsValues& values,
                                std::int64_t now);

// `"[05/Jan/2024:13:04:05] \"host\" reason\n"`; the remote address stands
// for an empty host name. Month names are English whatever the locale.
std::string ConnectionControlLine(std::int64_t now, std::string_view remoteHost,
                                  const IpAddress& remoteAddr, std::string_view reason);

// The local time of seconds since the epoch; nullopt when it has none.
std::optional<std::tm> LocalLogTime(std::int64_t time);

// The text with every control character (below 0x20, and 0x7F) as '?'.
std::string SanitizeLogValue(std::string_view text);

}  // namespace harlune
