#pragma once

// One connection control rule: which TCP connections it is about (an owning
// process name and a list of remote host patterns), the bounds on connection
// time and traffic under which it acts, what it does, and how many matching
// connections it allows. The rule list and its file are in
// connection_control_rule_file.h; the engine that applies the rules to the
// connection table attaches its connection lists to the rules itself.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/safe_file.h"
#include "core/base/string_resources.h"

namespace harlune {

// Action: what a connection that meets the rule gets.
inline constexpr std::int32_t kActionFollowLowerRules = 0;  // no decision; later rules decide
inline constexpr std::int32_t kActionLeaveAlone = 1;        // spared from every later rule
inline constexpr std::int32_t kActionDisconnect = 2;

// The texts of the Action values, indexed by value (list and editor).
inline constexpr std::array<std::string_view, 3> kActionTexts = {"下位のルールに従う", "何もしない",
                                                                 "切断"};

// PriorCondition: which surplus connections the count limit disconnects first.
inline constexpr std::int32_t kPriorRandom = 0;
inline constexpr std::int32_t kPriorShortTimeFirst = 1;
inline constexpr std::int32_t kPriorLongTimeFirst = 2;
inline constexpr std::int32_t kPriorMostUpFirst = 3;
inline constexpr std::int32_t kPriorLeastUpFirst = 4;
inline constexpr std::int32_t kPriorMostDownFirst = 5;
inline constexpr std::int32_t kPriorLeastDownFirst = 6;

inline constexpr std::array<std::string_view, 7> kPriorConditionTexts = {"ランダム",
                                                                         "接続時間が短いもの",
                                                                         "接続時間が長いもの",
                                                                         "UP転送量が多いもの",
                                                                         "UP転送量が少ないもの",
                                                                         "DOWN転送量が多いもの",
                                                                         "DOWN転送量が少ないもの"};

// The text of a stored value; empty for a value outside the table (a
// hand-edited file may hold one).
std::string_view ActionText(std::int32_t action);
std::string_view PriorConditionText(std::int32_t priorCondition);

// The host list line that stands for every host whose reverse lookup failed.
inline constexpr std::string_view kResolveFailedHostLine = "%ResolveFailedHost%";
// How the rule editor lists that line among the loaded hosts.
inline constexpr std::string_view kResolveFailedHostLabel = "<逆引き失敗したホスト>";

// The contents of a host list file.
struct HostList {
  std::vector<std::string> patterns;  // in file order
  bool resolveFailedHost = false;     // the file holds kResolveFailedHostLine

  friend bool operator==(const HostList&, const HostList&) = default;
};

struct HostListParseResult {
  std::optional<HostList> list;  // set when the bytes are readable text
  std::size_t errorLine = 0;     // 1-based line of the first bad byte
  std::string error;
};

// Reads a host list's bytes (CP932, LF or CRLF lines): text from the first
// '#' on is a comment, blanks around a line are dropped, empty lines are
// skipped. Bytes that are not CP932 text, and NUL bytes, make the list
// unreadable.
HostListParseResult ParseHostList(std::string_view cp932);

// A path as stored in the settings, where "\" and "/" both separate folders,
// as a path of this system.
std::filesystem::path StoredPathToLocal(std::string_view storedPath);

// Reads the file named by a stored host list path.
using HostListReader = std::function<FileReadResult(std::string_view storedPath)>;
FileReadResult ReadHostListFile(std::string_view storedPath);

// Whether a host name matches one host list pattern, without regard to ASCII
// case. A pattern without '*' is the whole name; otherwise each '*' stands for
// any run of characters, the empty run included.
bool MatchesHostPattern(std::string_view pattern, std::string_view name);

// What the condition test of a rule reads of a connection.
struct ConnectionConditionValues {
  std::int32_t controlMark = 0;  // 0 while no rule has decided about it
  std::uint32_t connectedSeconds = 0;
  std::uint64_t upTotal = 0;  // bytes sent
  std::uint64_t downTotal = 0;
};

class OperateConnectionRule {
 public:
  OperateConnectionRule() = default;
  OperateConnectionRule(const OperateConnectionRule&) = default;
  OperateConnectionRule& operator=(const OperateConnectionRule&) = default;
  OperateConnectionRule(OperateConnectionRule&&) = default;
  OperateConnectionRule& operator=(OperateConnectionRule&&) = default;
  virtual ~OperateConnectionRule() = default;

  friend bool operator==(const OperateConnectionRule&, const OperateConnectionRule&) = default;

  // The bounds as the rule list shows them, such as
  // "接続時間が10秒以上 かつ UP転送量が100Byte以下"; "なし" without bounds.
  std::string ConditionText() const;

  // Whether a connection meets every bound, strictly: a connection exactly
  // at a bound does not meet it. A connection already decided about (mark
  // not 0) never does.
  bool ConditionHolds(const ConnectionConditionValues& connection) const;

  // TargetProcessName is empty or names the process, without regard to ASCII
  // case.
  bool MatchesProcess(std::string_view processName) const;

  // Whether the rule limits the hosts it is about. The engine attaches
  // connections whose host name is not known yet only to rules without one.
  bool HasHostCondition() const;

  // The host test of a connection's host name. A rule whose host list could
  // not be read matches no host: it takes part in nothing until its list is
  // readable again, rather than acting on every host.
  bool MatchesHost(std::string_view hostName) const;

  // Loads the host list that RemoteHostListPath names into HostPatterns and
  // ResolveFailedHost. An empty path clears them (the rule is about every
  // host). A list that cannot be read leaves them as they were, keeps the
  // reason in HostListProblem and returns false.
  bool LoadHostList(const HostListReader& read = ReadHostListFile);

  // Persistent fields, with the keys of the rule file.
  std::string Name{strings::kNewRule};
  std::string Comment;
  bool Available = true;
  std::uint32_t TriggerTimeLow = 0;               // seconds; 0 = no bound
  std::uint32_t TriggerTimeHigh = 0;              // seconds; 0 = no bound
  std::uint64_t TriggerAmountOfUpTrafficLow = 0;  // bytes; 0 = no bound
  std::uint64_t TriggerAmountOfUpTrafficHigh = 0;
  std::uint64_t TriggerAmountOfDownTrafficLow = 0;
  std::uint64_t TriggerAmountOfDownTrafficHigh = 0;
  std::string TargetProcessName;   // empty = any process
  std::string RemoteHostListPath;  // empty = any host
  std::int32_t Action = kActionFollowLowerRules;
  std::uint32_t AllowConnectionNum = 0;
  bool BLimitConnectionNum = false;
  std::int32_t PriorCondition = kPriorRandom;

  // Run-time state, loaded from the host list file.
  std::vector<std::string> HostPatterns;
  bool ResolveFailedHost = false;
  std::string HostListProblem;  // why the list could not be read; empty when it was
};

}  // namespace harlune
