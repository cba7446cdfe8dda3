#include "core/control/operate_connection_rule.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/base/ascii_case.h"
#include "core/base/text_encoding.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

// The blanks that surround host list lines.
constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A failed reverse lookup leaves the address text as the host name: dotted
// for IPv4 (a '.' and a digit at the end), RFC 5952 text for IPv6, which no
// host name can be since names hold no ':'. The unspecified address names
// no remote host, so it is no failed lookup.
std::optional<bool> UnresolvedAddressVerdict(std::string_view hostName) {
  if (hostName.find('.') != std::string_view::npos && IsDigit(hostName.back())) {
    return hostName != "0.0.0.0";
  }
  if (hostName.find(':') != std::string_view::npos) {
    if (const std::optional<IpAddress> address = ParseIpAddress(hostName)) {
      return !address->IsUnspecified();
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view ActionText(std::int32_t action) {
  return action >= 0 && static_cast<std::size_t>(action) < kActionTexts.size()
             ? kActionTexts[static_cast<std::size_t>(action)]
             : std::string_view{};
}

std::string_view PriorConditionText(std::int32_t priorCondition) {
  return priorCondition >= 0 &&
                 static_cast<std::size_t>(priorCondition) < kPriorConditionTexts.size()
             ? kPriorConditionTexts[static_cast<std::size_t>(priorCondition)]
             : std::string_view{};
}

HostListParseResult ParseHostList(std::string_view cp932) {
  HostList list;
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start < cp932.size()) {
    const std::size_t end = std::min(cp932.find('\n', start), cp932.size());
    const std::string_view bytes = cp932.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (bytes.find('\0') != std::string_view::npos) {
      return {std::nullopt, lineNumber, "line " + std::to_string(lineNumber) + " holds a NUL byte"};
    }
    std::string text;
    try {
      text = Cp932ToUtf8(bytes);
    } catch (const TextEncodingError& error) {
      return {std::nullopt, lineNumber,
              "line " + std::to_string(lineNumber) + ": the byte at column " +
                  std::to_string(error.offset() + 1) + " is not CP932 text"};
    }
    // '#' is ASCII and never a trail byte in UTF-8, so the cut is exact.
    const std::string_view line = Trim(std::string_view(text).substr(0, text.find('#')));
    if (line.empty()) {
      continue;
    }
    if (line == kResolveFailedHostLine) {
      list.resolveFailedHost = true;
    } else {
      list.patterns.emplace_back(line);
    }
  }
  return {std::move(list), 0, {}};
}

std::filesystem::path StoredPathToLocal(std::string_view storedPath) {
  std::string local(storedPath);
  std::ranges::replace(local, '\\', '/');
  return std::filesystem::path(local);
}

FileReadResult ReadHostListFile(std::string_view storedPath) {
  return ReadFileBytes(StoredPathToLocal(storedPath));
}

bool MatchesHostPattern(std::string_view pattern, std::string_view name) {
  const std::size_t star = pattern.find('*');
  if (star == std::string_view::npos) {
    return EqualIgnoringAsciiCase(pattern, name);
  }
  const std::string_view prefix = pattern.substr(0, star);
  if (name.size() < prefix.size() ||
      !EqualIgnoringAsciiCase(prefix, name.substr(0, prefix.size()))) {
    return false;
  }
  std::string_view rest = name.substr(prefix.size());

  std::vector<std::string_view> segments;
  std::string_view tail = pattern.substr(star + 1);
  while (!tail.empty()) {
    const std::size_t next = std::min(tail.find('*'), tail.size());
    if (next > 0) {
      segments.push_back(tail.substr(0, next));
    }
    tail.remove_prefix(std::min(next + 1, tail.size()));
  }
  const bool openEnd = pattern.back() == '*';
  // Middle segments take their first occurrence, which leaves the most room
  // for the rest; a closed last segment must sit at the very end.
  const std::size_t middle = openEnd || segments.empty() ? segments.size() : segments.size() - 1;
  for (std::size_t i = 0; i < middle; ++i) {
    const std::size_t at = FindIgnoringAsciiCase(rest, segments[i]);
    if (at == std::string_view::npos) {
      return false;
    }
    rest.remove_prefix(at + segments[i].size());
  }
  if (middle == segments.size()) {
    return true;
  }
  const std::string_view last = segments.back();
  return rest.size() >= last.size() &&
         EqualIgnoringAsciiCase(rest.substr(rest.size() - last.size()), last);
}

std::string OperateConnectionRule::ConditionText() const {
  std::string text;
  if (TriggerTimeLow != 0 || TriggerTimeHigh != 0) {
    text += "接続時間が";
    if (TriggerTimeLow != 0) {
      text += std::to_string(TriggerTimeLow) + "秒以上";
    }
    if (TriggerTimeHigh != 0) {
      text += std::to_string(TriggerTimeHigh) + "秒以下";
    }
  }
  const auto addTraffic = [&text](std::string_view label, std::uint64_t low, std::uint64_t high) {
    if (low == 0 && high == 0) {
      return;
    }
    if (!text.empty()) {
      text += " かつ ";
    }
    text += label;
    if (low != 0) {
      text += std::to_string(low) + "Byte以上";
    }
    if (high != 0) {
      text += std::to_string(high) + "Byte以下";
    }
  };
  addTraffic("UP転送量が", TriggerAmountOfUpTrafficLow, TriggerAmountOfUpTrafficHigh);
  addTraffic("DOWN転送量が", TriggerAmountOfDownTrafficLow, TriggerAmountOfDownTrafficHigh);
  return text.empty() ? "なし" : text;
}

namespace {

// A bound of 0 is no bound.
template <typename T>
bool Above(T value, T lowBound) {
  return lowBound == 0 || value > lowBound;
}

template <typename T>
bool Below(T value, T highBound) {
  return highBound == 0 || value < highBound;
}

}  // namespace

bool OperateConnectionRule::ConditionHolds(const ConnectionConditionValues& connection) const {
  return connection.controlMark == 0 && Above(connection.connectedSeconds, TriggerTimeLow) &&
         Below(connection.connectedSeconds, TriggerTimeHigh) &&
         Above(connection.upTotal, TriggerAmountOfUpTrafficLow) &&
         Below(connection.upTotal, TriggerAmountOfUpTrafficHigh) &&
         Above(connection.downTotal, TriggerAmountOfDownTrafficLow) &&
         Below(connection.downTotal, TriggerAmountOfDownTrafficHigh);
}

bool OperateConnectionRule::MatchesProcess(std::string_view processName) const {
  return TargetProcessName.empty() || EqualIgnoringAsciiCase(TargetProcessName, processName);
}

bool OperateConnectionRule::HasHostCondition() const {
  return !HostPatterns.empty() || ResolveFailedHost || !HostListProblem.empty();
}

bool OperateConnectionRule::MatchesHost(std::string_view hostName) const {
  if (!HostListProblem.empty()) {
    return false;
  }
  if (HostPatterns.empty() && !ResolveFailedHost) {
    return true;
  }
  if (ResolveFailedHost) {
    if (const std::optional<bool> verdict = UnresolvedAddressVerdict(hostName)) {
      return *verdict;
    }
  }
  return std::ranges::any_of(HostPatterns, [hostName](const std::string& pattern) {
    return MatchesHostPattern(pattern, hostName);
  });
}

bool OperateConnectionRule::LoadHostList(const HostListReader& read) {
  if (RemoteHostListPath.empty()) {
    HostPatterns.clear();
    ResolveFailedHost = false;
    HostListProblem.clear();
    return true;
  }
  const FileReadResult file = read(RemoteHostListPath);
  if (file.status != FileReadStatus::kRead) {
    HostListProblem = file.status == FileReadStatus::kMissing
                          ? RemoteHostListPath + ": there is no such file"
                          : file.error;
    return false;
  }
  HostListParseResult parsed = ParseHostList(file.bytes);
  if (!parsed.list) {
    HostListProblem = RemoteHostListPath + ": " + parsed.error;
    return false;
  }
  HostPatterns = std::move(parsed.list->patterns);
  ResolveFailedHost = parsed.list->resolveFailedHost;
  HostListProblem.clear();
  return true;
}

}  // namespace harlune
