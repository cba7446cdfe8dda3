#pragma once

// A disconnection the system refused, as the front ends show it: the rule
// that condemned the connection and why the connection could not be ended.
// A rule whose connections cannot be ended otherwise does nothing without a
// word, so the status bar, the status line and the rule page tell of it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/control/connection_resetter.h"

namespace harlune {

enum class DisconnectFailureReason {
  kNoPrivilege,    // this process may not end connections (and a driver could not either)
  kNoDriver,       // this process may not, and no driver answered to do it instead
  kSystemRefused,  // the system cannot or would not end it
};

// The reason of a reset's result; nothing for a connection that was ended
// or that had already gone (neither is a refusal).
std::optional<DisconnectFailureReason> FailureReasonOf(ConnectionResetStatus status);

std::string_view FailureReasonText(DisconnectFailureReason reason);

struct DisconnectFailure {
  std::string ruleName;
  DisconnectFailureReason reason = DisconnectFailureReason::kSystemRefused;
  int errorCode = 0;  // the errno behind the refusal

  friend bool operator==(const DisconnectFailure&, const DisconnectFailure&) = default;
};

// The last refused disconnection. changeCount grows by one whenever `last`
// changes: a refusal of another rule or for another reason, or the clearing
// of `last` when a connection of its rule is ended. Refusals that repeat
// the standing one (the same connection tried again every second) change
// nothing, so a front end that shows each change once shows it once.
struct DisconnectFailureReport {
  std::uint64_t changeCount = 0;
  std::optional<DisconnectFailure> last;
};

// "ルール「Name」の切断に失敗しました（reason）", with the errno for a
// refusal of the system.
std::string DisconnectFailureText(const DisconnectFailure& failure);

// The note of a rule row whose disconnections fail.
std::string RuleFailureNote(const DisconnectFailure& failure);

}  // namespace harlune
