#include "core/control/disconnect_failure.h"

namespace harlune {
namespace {

std::string ReasonWithError(const DisconnectFailure& failure) {
  std::string text(FailureReasonText(failure.reason));
  if (failure.reason == DisconnectFailureReason::kSystemRefused && failure.errorCode != 0) {
    text += "：エラー " + std::to_string(failure.errorCode);
  }
  return text;
}

}  // namespace

std::optional<DisconnectFailureReason> FailureReasonOf(ConnectionResetStatus status) {
  switch (status) {
    case ConnectionResetStatus::kOk:
    case ConnectionResetStatus::kGone:
      return std::nullopt;
    case ConnectionResetStatus::kNotPermitted:
      return DisconnectFailureReason::kNoPrivilege;
    case ConnectionResetStatus::kNoDriver:
      return DisconnectFailureReason::kNoDriver;
    case ConnectionResetStatus::kNotSupported:
    case ConnectionResetStatus::kError:
      return DisconnectFailureReason::kSystemRefused;
  }
  return DisconnectFailureReason::kSystemRefused;
}

std::string_view FailureReasonText(DisconnectFailureReason reason) {
  switch (reason) {
    case DisconnectFailureReason::kNoPrivilege:
      return "権限がありません";
    case DisconnectFailureReason::kNoDriver:
      return "権限がなく、ドライバもありません";
    case DisconnectFailureReason::kSystemRefused:
      return "システムが拒否しました";
  }
  return "システムが拒否しました";
}

std::string DisconnectFailureText(const DisconnectFailure& failure) {
  return "ルール「" + failure.ruleName + "」の切断に失敗しました（" + ReasonWithError(failure) +
         "）";
}

std::string RuleFailureNote(const DisconnectFailure& failure) {
  return "このルールの切断は失敗しています（" + ReasonWithError(failure) + "）";
}

}  // namespace harlune
